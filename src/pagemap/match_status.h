// Each match's location and status for the commands: builds the input's page
// map when `--details` or `--deleted-only` asks for it, takes the database
// starts the scan reports, and answers per match in position order. Without
// either option it does nothing and costs nothing. Used from the thread that
// runs the scan's handler only; not thread-safe.
#ifndef QUARROW_PAGEMAP_MATCH_STATUS_H_
#define QUARROW_PAGEMAP_MATCH_STATUS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/run_options.h"
#include "engine/scan.h"
#include "pagemap/page_status.h"

namespace quarrow {

class PageMap;

class MatchStatus {
 public:
  // The map of `input_path`, whose scan runs over `buffer`. A map that cannot
  // be built leaves every match `unknown` (the scan itself reports the file's
  // errors).
  MatchStatus(const std::string& input_path, const Buffer& buffer, const RunOptions& options);
  ~MatchStatus();
  MatchStatus(const MatchStatus&) = delete;
  MatchStatus& operator=(const MatchStatus&) = delete;

  bool enabled() const { return map_ != nullptr; }
  // Sets params.database_start so that databases inside an image get mapped,
  // and params.page_window so that the map reads pages the scan holds.
  void Attach(ScanParams& params);

  // Instead of Attach, for statuses looked up on the scan's workers
  // (WorkerStatus): maps every database whose header lies at buffer positions
  // [0, end) before the scan, in position order, as the scan's hook would, so
  // that the map is only read while workers use it. A match's status depends
  // only on the databases starting at or before it: `end` is the end of the
  // scan's candidates. The input is read by up to `threads` threads at once.
  // Throws Error as the buffer's reads do.
  void MapDatabasesBefore(int64_t end, int threads = 1);
  // The map, or null when not enabled.
  const PageMap* map() const { return map_.get(); }

  // The input offset of buffer position `position`.
  int64_t Offset(int64_t position) const { return start_offset_ + position; }
  // The status of the match at buffer position `position`.
  PageStatus At(int64_t position);

  // With --deleted-only: true when the record at `position`, of that status,
  // is no deleted data: a live cell, or an exact copy of one (same rowid and
  // payload). `rowid` and `payload_size` come from the varints in front of its
  // header, or `record_size`, the size its serial types give (0: unknown).
  // Where SQLite overwrote those with a freeblock's header, a copy is known by
  // its bytes after the header length and `record_size`. In a reused page, a
  // copy whose last bytes the page's new content overwrote is known by the rest
  // (PageMap::IsOverwrittenCopyOfLiveCell).
  bool IsLiveData(int64_t position, const PageStatus& status, std::string_view rowid,
                  std::string_view payload_size, uint64_t record_size);

 private:
  const Buffer& buffer_;
  const int64_t start_offset_;
  std::unique_ptr<PageMap> map_;
  std::string payload_;
  // The bytes of the scan's page being delivered (ScanParams::page_window).
  int64_t window_start_ = 0;
  std::string_view window_;
};

// The payload size of a record whose serial types are `columns`' (after a
// match), with a one-byte header length. Varint lengths as SQLite writes them.
uint64_t RecordSizeOf(const ColumnList& columns);

// Reads the decimal text of a cell-prefix field; false when it is none.
bool ParsePrefixNumber(std::string_view text, uint64_t& value);

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_MATCH_STATUS_H_
