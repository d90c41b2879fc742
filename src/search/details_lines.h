// Find's details lines, written where the scan delivers its matches. Each line comes in two
// pieces: the line up to its status, made on the scan's workers, and the
// status with the line's end, which needs the page map. Two writes a line cost
// more than the map itself, so lines are gathered and go to the report in runs
// of a MiB (which the report takes without copying them again), and each
// status's text with the format's line end is made once, a fixed-size copy.
#ifndef QUARROW_SEARCH_DETAILS_LINES_H_
#define QUARROW_SEARCH_DETAILS_LINES_H_

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/file_io.h"
#include "pagemap/page_status.h"

namespace quarrow {

class DetailsLines {
 public:
  // `tail`: what follows the status on a line (at most 8 bytes).
  DetailsLines(OutputFile& report, std::string_view tail);
  // Writes what is gathered, as the report's own end does; errors at this
  // point are lost, so call Flush().
  ~DetailsLines();
  DetailsLines(const DetailsLines&) = delete;
  DetailsLines& operator=(const DetailsLines&) = delete;

  // Adds `head`, then `status`'s text and the tail.
  void Append(std::string_view head, const PageStatus& status);
  // Writes what is gathered to the report; call before closing it.
  void Flush();

 private:
  // A status's text and the tail, padded so that it is copied in one move.
  struct Ending {
    std::array<char, 32> bytes{};
    size_t size = 0;
  };
  Ending EndingOf(const PageStatus& status) const;

  OutputFile& report_;
  std::string_view tail_;
  std::array<Ending, 7> endings_;  // by Status; a WAL frame's is made per line
  Ending wal_;
  // Not zeroed first: a short run never touches most of it.
  std::unique_ptr<char[]> bytes_;
  size_t used_ = 0;
};

}  // namespace quarrow

#endif  // QUARROW_SEARCH_DETAILS_LINES_H_
