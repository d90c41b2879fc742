#include "search/details_lines.h"

namespace quarrow {

DetailsLines::DetailsLines(OutputFile& report, Ending ending)
    : report_(report), ending_(std::move(ending)) {
  for (size_t s = 0; s < endings_.size(); ++s)
    endings_[s] = EndingOf(PageStatus{static_cast<Status>(s), 0});
}

std::string DetailsLines::EndingOf(const PageStatus& status) const {
  return ending_(status);
}

void DetailsLines::Append(std::string_view head, const PageStatus& status) {
  report_.Hold(head);
  const auto index = static_cast<size_t>(status.status);
  if (status.status == Status::kWal || index >= endings_.size()) {
    report_.Hold(wal_endings_.emplace_back(EndingOf(status)));
  } else {
    report_.Hold(endings_[index]);
  }
}

void DetailsLines::EndPage() {
  report_.WriteHeld();
  wal_endings_.clear();
}

DetailsEndings::DetailsEndings(DetailsLines::Ending ending) : ending_(std::move(ending)) {
  for (size_t s = 0; s < kStatuses; ++s) {
    starts_[s] = text_.size();
    text_ += ending_(PageStatus{static_cast<Status>(s), 0});
    text_.append(kPadding, '\0');
  }
  starts_[kStatuses] = text_.size();
}

std::string_view DetailsEndings::FrameEnding(const PageStatus& status) {
  frame_ending_ = ending_(status);
  const size_t size = frame_ending_.size();
  frame_ending_.append(kPadding, '\0');
  return {frame_ending_.data(), size};
}

}  // namespace quarrow
