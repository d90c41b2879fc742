// Maps one database: reads its header, walks every b-tree reachable from the
// schema table, the freelist and (when asked) every overflow chain, and records
// one kind byte per page. With a WAL, pages are read as SQLite would read them
// (the latest committed frame, else the file), and file pages that a committed
// frame replaces are marked superseded. Leaf pages are not read unless asked:
// their children's level is told from the first child, and a page's type byte
// is checked again when a position in it is queried. Visited pages are never
// walked twice, so loops end; all work is charged to a budget.
// Internal to the page map. Not thread-safe; the results are plain values.
#ifndef QUARROW_PAGEMAP_DATABASE_WALK_H_
#define QUARROW_PAGEMAP_DATABASE_WALK_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/buffer.h"

namespace quarrow {

// One byte per page: a kind, plus kSupersededBit.
enum PageKind : uint8_t {
  kUnknownPage = 0,
  kTableTreePage = 1,  // a page of a table b-tree (leaf or interior: read when queried)
  kIndexTreePage = 2,  // a page of an index b-tree
  kFreelistTrunkPage = 3,
  kFreelistLeafPage = 4,
  kOverflowPage = 5,
  kBrokenPage = 6,     // referenced, but no valid page: reads as unknown
};
inline constexpr uint8_t kSupersededBit = 0x80;
inline constexpr uint8_t kKindMask = 0x7f;

// How much a map may read and hold, shared by every database of one input, so
// that a hostile image (a header on every boundary, each claiming the rest of
// the file) costs work in proportion to its size, not its square.
struct WalkBudget {
  int64_t read_bytes = 0;   // bytes page reads may still copy (each read costs 64 more)
  int64_t kind_bytes = 0;   // page kind entries still allowed
  int64_t cell_hashes = 0;  // copy-test entries still allowed
  int64_t cell_sites = 0;   // CellSite entries still allowed
  int64_t read_total = 0;   // bytes charged so far
};

// Where a live table-leaf cell lies, so that its bytes can be read again: the
// test of copies whose last bytes were overwritten compares them byte by byte.
// 16 bytes: the rowid is read again with the cell.
struct CellSite {
  uint64_t key = 0;    // SiteKey of its payload size and lead bytes
  // The cell's first byte: its offset in the file the page was read from,
  // shifted left by one, plus 1 when that file is the WAL.
  uint64_t where = 0;

  bool operator<(const CellSite& other) const {
    return key != other.key ? key < other.key : where < other.where;
  }
};

struct MappedDatabase {
  uint32_t page_size = 0;
  uint32_t usable_size = 0;
  // One entry per page of the file from `base` on that belongs to the database
  // (the last may be cut by the file's end).
  std::vector<uint8_t> kinds;
  // CellHash of every live table-leaf cell (only when asked), unsorted.
  std::vector<uint64_t> cell_hashes;
  // CellHash(kBodyKeyRowid, ...) of those with a one-byte header length.
  std::vector<uint64_t> body_hashes;
  // The site of every live table-leaf cell whose record header lies whole in
  // its page (only when asked), unsorted.
  std::vector<CellSite> cell_sites;
  bool wal_applied = false;
  int64_t wal_committed_frames = 0;
};

struct MapDatabaseRequest {
  const ByteSource* file = nullptr;  // holds the database from `base` on
  int64_t base = 0;
  // The database is the whole file from `base` (its size is the file's), as
  // opposed to one found inside an image (its size is its header's count).
  bool whole_file = true;
  const ByteSource* wal = nullptr;   // its WAL, or null
  bool read_leaves = false;          // also hash live cells and map overflow chains
  // Bytes of `file` from `held_start` on that the caller holds in memory (the
  // file's own, none past its end): b-tree pages lying whole in them are read
  // in place instead of copied. They need to live only for the call.
  std::string_view held;
  int64_t held_start = 0;
};

// Returns false when no valid database header lies at `base` (nothing mapped)
// or the budget is spent before it starts; else maps what it can.
bool MapDatabase(const MapDatabaseRequest& request, WalkBudget& budget,
                 MappedDatabase& out);

// The rowid under which a record's body (its payload after a one-byte header
// length) is keyed, for copies whose first bytes a freeblock overwrote.
inline constexpr int64_t kBodyKeyRowid = INT64_MIN;

// The copy test's key: a cell's rowid, full payload size and local payload.
uint64_t CellHash(int64_t rowid, uint64_t payload_size, std::string_view local);

// A CellSite's key: the record's whole size and its lead bytes, the first
// LeadSize of its local payload: its header (the header-length varint
// included) and up to kLeadBodyBytes of its body.
inline constexpr uint64_t kLeadBodyBytes = 16;
inline uint64_t LeadSize(uint64_t header_size, uint64_t local_size) {
  return header_size + kLeadBodyBytes < local_size ? header_size + kLeadBodyBytes : local_size;
}
uint64_t SiteKey(uint64_t payload_size, std::string_view lead);

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_DATABASE_WALK_H_
