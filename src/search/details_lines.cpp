#include "search/details_lines.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "text_rule/error.h"

namespace quarrow {

namespace {

// Lines gather up to this much before a write: as much as the report's own
// buffer, so that it writes them as they are, and no more, so that the run
// stays in the cache it is written through.
constexpr size_t kRun = size_t{1} << 20;
// Room kept past a run for one more line's head; a longer head goes out alone.
constexpr size_t kHeadRoom = size_t{64} << 10;
constexpr size_t kEndingRoom = sizeof(std::array<char, 32>);

}  // namespace

DetailsLines::DetailsLines(OutputFile& report, std::string_view tail)
    : report_(report), tail_(tail), bytes_(new char[kRun + kHeadRoom + kEndingRoom]) {
  for (size_t s = 0; s < endings_.size(); ++s)
    endings_[s] = EndingOf(PageStatus{static_cast<Status>(s), 0});
}

DetailsLines::~DetailsLines() {
  try {
    Flush();
  } catch (const Error&) {
    // Only reached when the caller did not Flush(): the error was its to see.
  }
}

DetailsLines::Ending DetailsLines::EndingOf(const PageStatus& status) const {
  std::string text;
  AppendStatusText(status, text);
  text += tail_;
  Ending ending;
  ending.size = std::min(text.size(), ending.bytes.size());
  std::memcpy(ending.bytes.data(), text.data(), ending.size);
  return ending;
}

void DetailsLines::Append(std::string_view head, const PageStatus& status) {
  const auto index = static_cast<size_t>(status.status);
  const Ending* ending = &wal_;
  if (status.status == Status::kWal || index >= endings_.size()) {
    wal_ = EndingOf(status);
  } else {
    ending = &endings_[index];
  }
  if (used_ + head.size() > kRun + kHeadRoom) {
    Flush();
    if (head.size() > kRun + kHeadRoom) {
      report_.Write(head.data(), head.size());
      report_.Write(ending->bytes.data(), ending->size);
      return;
    }
  }
  std::memcpy(bytes_.get() + used_, head.data(), head.size());
  used_ += head.size();
  std::memcpy(bytes_.get() + used_, ending->bytes.data(), kEndingRoom);
  used_ += ending->size;
  if (used_ >= kRun) Flush();
}

void DetailsLines::Flush() {
  if (used_ == 0) return;
  report_.Write(bytes_.get(), used_);
  used_ = 0;
}

}  // namespace quarrow
