// A match's status looked up on the scan worker that formats its line, so
// that a report with statuses is written as the plain one is: a page's lines
// in one piece, with no per-match work on the thread that delivers them.
// Each worker keeps its own (copied with the worker's formatter: a copy starts
// a cursor of its own). The page map must have every database that matters
// before the scan begins (MatchStatus::MapDatabasesBefore) and take no more
// while workers use it: it is then only read. Not thread-safe: one per worker.
#ifndef QUARROW_PAGEMAP_WORKER_STATUS_H_
#define QUARROW_PAGEMAP_WORKER_STATUS_H_

#include <cstdint>
#include <string_view>

#include "engine/scan.h"
#include "pagemap/page_map.h"
#include "pagemap/page_status.h"

namespace quarrow {

class WorkerStatus {
 public:
  // Statuses from `map` (which must outlive this) for a scan whose buffer
  // position 0 is input offset `start_offset`.
  WorkerStatus(const PageMap& map, int64_t start_offset)
      : map_(map), start_offset_(start_offset), cursor_(map) {}
  WorkerStatus(const WorkerStatus& other) : WorkerStatus(other.map_, other.start_offset_) {}
  WorkerStatus& operator=(const WorkerStatus&) = delete;

  // The status of `match` (at its header-length byte), as PageMap::StatusAt
  // gives it. Needs Match::view: b-tree pages lying whole in the view's
  // window are read from there. Cheapest in increasing position order.
  PageStatus At(const Match& match) {
    const BufferView& view = *match.view;
    if (view.start() != window_start_ || view.bytes().data() != window_.data() ||
        view.bytes().size() != window_.size())
      SetWindow(view);
    return cursor_.StatusAt(start_offset_ + match.position);
  }

 private:
  void SetWindow(const BufferView& view);

  const PageMap& map_;
  const int64_t start_offset_;
  StatusCursor cursor_;
  // The window last given to the cursor: a new page's view may reuse the
  // old one's address, never its start.
  int64_t window_start_ = -1;
  std::string_view window_;
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_WORKER_STATUS_H_
