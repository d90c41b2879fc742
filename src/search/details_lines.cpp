#include "search/details_lines.h"

namespace quarrow {

DetailsLines::DetailsLines(OutputFile& report, std::string_view tail)
    : report_(report), tail_(tail) {
  for (size_t s = 0; s < endings_.size(); ++s)
    endings_[s] = EndingOf(PageStatus{static_cast<Status>(s), 0});
}

std::string DetailsLines::EndingOf(const PageStatus& status) const {
  std::string text;
  AppendStatusText(status, text);
  text += tail_;
  return text;
}

void DetailsLines::Append(std::string_view head, const PageStatus& status) {
  pieces_.push_back(head);
  const auto index = static_cast<size_t>(status.status);
  if (status.status == Status::kWal || index >= endings_.size()) {
    pieces_.push_back(wal_endings_.emplace_back(EndingOf(status)));
  } else {
    pieces_.push_back(endings_[index]);
  }
}

void DetailsLines::EndPage() {
  if (pieces_.empty()) return;
  report_.WriteGathered(pieces_);
  pieces_.clear();
  wal_endings_.clear();
}

}  // namespace quarrow
