// Find's details lines, written where the scan delivers its matches. Each line
// comes in two pieces: the line up to its status, made on the scan's workers,
// and the status with the line's end, which needs the page map. Two writes a
// line cost more than the map itself, and a copy of every line costs as much,
// so the report holds a page's lines as pieces (the heads where the scan
// holds them, each status's text with the format's line end made once) and
// writes them in one gathered write at the page's end.
#ifndef QUARROW_SEARCH_DETAILS_LINES_H_
#define QUARROW_SEARCH_DETAILS_LINES_H_

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "engine/file_io.h"
#include "pagemap/page_status.h"

namespace quarrow {

class DetailsLines {
 public:
  // `ending`: a line's status and what follows it, up to the line's end.
  using Ending = std::function<std::string(const PageStatus&)>;
  DetailsLines(OutputFile& report, Ending ending);
  DetailsLines(const DetailsLines&) = delete;
  DetailsLines& operator=(const DetailsLines&) = delete;

  // Adds `head`, then `status`'s ending. `head` must stay as it is
  // until the next EndPage.
  void Append(std::string_view head, const PageStatus& status);
  // Writes the lines appended since the last call to the report (before the
  // heads' bytes go: at each page's end, and before closing the report).
  // Throws as the report's writes do.
  void EndPage();

 private:
  std::string EndingOf(const PageStatus& status) const;

  OutputFile& report_;
  Ending ending_;
  std::array<std::string, 7> endings_;  // by Status; a WAL frame's is made per line
  std::deque<std::string> wal_endings_;  // this page's: their places stay put
};

// The same endings for lines that the scan's workers finish themselves (their
// statuses looked up there): each status's text made once, a WAL frame's per
// line. Each worker keeps its own copy; not thread-safe.
class DetailsEndings {
 public:
  explicit DetailsEndings(DetailsLines::Ending ending);

  // `status`'s ending, followed by LineBuffer::kSlack readable bytes (for
  // CopyPadded); valid until the next call.
  std::string_view For(const PageStatus& status) {
    const auto index = static_cast<size_t>(status.status);
    if (status.status == Status::kWal || index >= kStatuses) return FrameEnding(status);
    return {text_.data() + starts_[index], starts_[index + 1] - starts_[index] - kPadding};
  }

 private:
  static constexpr size_t kStatuses = 7;
  static constexpr size_t kPadding = 32;  // LineBuffer::kSlack
  std::string_view FrameEnding(const PageStatus& status);

  DetailsLines::Ending ending_;
  std::string text_;                          // each status's ending, padded
  std::array<size_t, kStatuses + 1> starts_;  // by Status, where each starts in text_
  std::string frame_ending_;                  // a WAL frame's, made per line, padded
};

}  // namespace quarrow

#endif  // QUARROW_SEARCH_DETAILS_LINES_H_
