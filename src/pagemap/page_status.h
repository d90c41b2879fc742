// Where a recovered record lies, as the page map sees it: one status per byte
// position of the input. Plain values; thread-safe.
#ifndef QUARROW_PAGEMAP_PAGE_STATUS_H_
#define QUARROW_PAGEMAP_PAGE_STATUS_H_

#include <cstdint>
#include <string>

namespace quarrow {

enum class Status : uint8_t {
  kLive,        // inside a live cell of a b-tree page (or its overflow chain)
  kSuperseded,  // in a database page that a committed WAL frame replaces
  kFreeblock,   // in a freeblock, a fragment or the unallocated gap of a b-tree page
  kFreelist,    // in a freelist trunk or leaf page
  kWal,         // in a frame of a WAL file (the frame number goes with it)
  kJournal,     // in a page record of a rollback journal
  kUnknown,     // no structure mapped around it
};

struct PageStatus {
  Status status = Status::kUnknown;
  int64_t wal_frame = 0;  // 1-based frame number when status is kWal, else 0

  bool operator==(const PageStatus&) const = default;
};

// Appends the status's report text: "live", "superseded", "freeblock",
// "freelist", "wal:N", "journal" or "unknown".
void AppendStatusText(const PageStatus& status, std::string& out);
std::string StatusText(const PageStatus& status);

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_PAGE_STATUS_H_
