// The page map of an input: which SQLite structures lie where, built before a
// scan from the structures themselves (database headers, b-trees, freelists,
// overflow chains, WAL frames, rollback journal records), so that every match
// gets a status (page_status.h) and `--deleted-only` can drop live records and
// exact copies of live cells, and copies whose last bytes were overwritten.
//
// What is mapped:
// - A database at offset 0 of the input. When "<input>-wal" lies beside it, the
//   database is read as SQLite would read it, with the WAL's committed frames
//   applied: its pages that a committed frame replaces are `superseded`, and
//   the rest take their role from the database as it then stands (a row the
//   WAL deleted is not live). Salts and checksums are verified; the first
//   frame that fails ends the log; frames after the last commit are ignored.
// - A WAL file as the input: every frame is `wal:N`. The database beside it
//   ("<input>" less "-wal"), when present, is mapped with this WAL applied for
//   the copy test only.
// - A rollback journal as the input: its page records are `journal`. The
//   database beside it ("<input>" less "-journal") serves the copy test.
// - Databases whose header lies on a 512-byte boundary of a disk image or dump
//   (offsets stay global), found by reading the input once
//   (EmbeddedDatabases::kScanInput) or reported by the caller's own scan
//   (kReportedByCaller, AddDatabaseAt). A later-starting database takes
//   precedence inside its own extent.
// Companion files are only read, never created or changed.
//
// In a b-tree page: bytes inside a cell (table or index, leaf or interior) are
// `live`; bytes of the cell content area outside every cell (freeblocks,
// fragments) and the gap between the pointer array and the content area are
// `freeblock`; the page header and pointer array are `unknown`. Overflow pages
// of live cells are `live` when the map was built with copy_index (their chains
// are found by reading every leaf); without it they are `unknown`.
//
// Cost: the map reads database headers, interior b-tree pages, the first byte
// of each leaf level, freelist trunks and the WAL; leaves are read only with
// copy_index. A queried b-tree page is read once per cursor (from the window
// when SetWindow covers it). Memory: one byte per page of each database, plus 8
// bytes per live table-leaf cell with copy_index, and 16 more per live cell of
// the input's own databases for the overwritten-copy test. Hostile structure (loops,
// pointers out of range, lying headers, truncated files) never crashes, hangs
// or throws: what cannot be mapped is `unknown`, and the total work and memory
// are bounded in proportion to the input's size: page reads copy at most four
// times the bytes of the input and its companions (plus 16 MiB), kind bytes are
// at most two per 512 input bytes, and the copy test holds at most one entry
// per 128 input bytes and the overwritten-copy test one per 256 (past that,
// copies are not recognised and so are kept).
//
// How a command uses it (a sketch; the map is optional, so a file that cannot
// be opened means no statuses, not a failed command):
//   PageMapOptions options;
//   options.copy_index = deleted_only;  // only the copy test needs it
//   options.embedded = EmbeddedDatabases::kReportedByCaller;
//   PageMap map(input_path, options);
//   // each scan window: FindDatabaseStarts(start, bytes, starts)
//   // (engine/database_starts.h, which the scan runs when asked);
//   // in position order, before the matches at or past a start:
//   //   map.AddDatabaseAt(start, window_start, window);
//   // per match, at its header-length byte p:
//   //   PageStatus status = map.StatusAt(p);   (or a StatusCursor per thread)
//   //   deleted-only drops it when status is live, or when
//   //   map.IsCopyOfLiveCell(rowid, payload_size, bytes from p on), or
//   //   map.IsOverwrittenCopyOfLiveCell(p, bytes from p on).
// kScanInput (the default) does the same on its own but reads the whole input
// once more: fine for small inputs and tests, too slow beside a scan of a
// large one.
//
// Thread safety: a built PageMap is immutable through its const methods, which
// may run on several threads, each with its own StatusCursor. AddDatabaseAt and
// PageMap::StatusAt mutate it: call them from one thread, with no cursor in use
// on another.
#ifndef QUARROW_PAGEMAP_PAGE_MAP_H_
#define QUARROW_PAGEMAP_PAGE_MAP_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "pagemap/cell_key_set.h"
#include "pagemap/cell_start_bits.h"
#include "pagemap/cell_site_index.h"
#include "pagemap/database_walk.h"
#include "pagemap/journal_index.h"
#include "pagemap/overwritten_copy.h"
#include "pagemap/page_status.h"
#include "pagemap/sqlite_format.h"
#include "pagemap/wal_index.h"

namespace quarrow {

enum class EmbeddedDatabases {
  kScanInput,         // the constructor reads every 512-byte boundary of the input
  kReportedByCaller,  // only offset 0; the caller reports the rest (AddDatabaseAt)
};

struct PageMapOptions {
  // Read every live leaf: builds the copy test's index and maps overflow
  // chains. Needed for IsCopyOfLiveCell; costs a read of the databases' pages.
  bool copy_index = false;
  EmbeddedDatabases embedded = EmbeddedDatabases::kScanInput;
};

// Files beside the input, given as byte sources (tests, fuzzing); the path
// constructor finds them by name. Either may be null.
struct PageMapCompanions {
  std::shared_ptr<const ByteSource> wal;       // "<input>-wal" beside a database input
  std::shared_ptr<const ByteSource> database;  // the database beside a WAL or journal input
  // The input's name ends in "-journal": a first header whose magic is still
  // zero (a journal copied before SQLite synced it) is taken as a journal's.
  bool input_named_journal = false;
};

// What the map found, for reports and tests.
struct PageMapSummary {
  enum class Input { kOther, kDatabase, kWal, kJournal };
  Input input = Input::kOther;
  int databases = 0;                // databases mapped in the input
  bool wal_applied = false;         // a WAL beside the input was applied
  int64_t wal_committed_frames = 0; // of the applied WAL, or of the input WAL
  bool companion_database = false;  // the database beside a WAL or journal input was mapped
  size_t live_cells = 0;            // live-cell keys held for the copy test
  size_t live_cell_sites = 0;       // live cells the overwritten-copy test can read
  int64_t bytes_read = 0;           // by the walks (headers, pages), each read
                                    // charged 64 bytes more; not the WAL or journal index
};

class StatusCursor;

class PageMap {
 public:
  // Maps the file at `input_path` and the companions beside it. Throws Error
  // only when the input itself cannot be opened; a companion that cannot be
  // opened is left out.
  explicit PageMap(const std::string& input_path, const PageMapOptions& options = {});
  // Maps `input` with the given companions. Never throws for bad structure.
  PageMap(std::shared_ptr<const ByteSource> input, const PageMapCompanions& companions,
          const PageMapOptions& options = {});
  ~PageMap();
  PageMap(const PageMap&) = delete;
  PageMap& operator=(const PageMap&) = delete;

  // The status of the byte at `offset` of the input (a match's header-length
  // byte). Cheapest when calls come in increasing offset order, as they reuse
  // the last page read. Not thread-safe: it uses the map's own cursor.
  PageStatus StatusAt(int64_t offset);
  // StatusCursor::SetWindow for the map's own cursor.
  void SetWindow(int64_t start, std::string_view bytes);

  // Maps a database whose header the caller found at `offset`, a multiple of
  // 512 (for kReportedByCaller: every boundary holding "SQLite format 3\0").
  // Call it before querying any offset at or past `offset`. Returns true iff a
  // database was mapped there (false when the offset is not a boundary, the
  // header is invalid, the offset was tried before, or the budget is spent).
  // Pages lying whole inside `window` (the input's bytes from `window_start`,
  // as the caller's scan holds them) are read from it instead of the file; the
  // bytes need to live only for the call.
  bool AddDatabaseAt(int64_t offset, int64_t window_start = 0, std::string_view window = {});

  // Returns true iff some live table-leaf cell of a mapped database (or of the
  // database beside a WAL or journal input) has this rowid and this payload.
  // `payload_size` is the record's whole size (its header length plus its
  // values' sizes, which is the cell's payload-length varint); `payload` holds
  // its bytes as they lie at the match, from the header-length byte on: at
  // least the part a page stores locally (the whole record unless it
  // overflows); more is ignored. Only the local part is compared. Always false
  // unless built with copy_index.
  bool IsCopyOfLiveCell(int64_t rowid, uint64_t payload_size,
                        std::string_view payload) const;
  // The same for a copy in a freeblock, whose payload length, rowid and
  // header length SQLite overwrote: true iff some live table-leaf cell with a
  // one-byte header length has `payload_size` bytes of payload and the bytes
  // after that header length equal `body` (at least the locally stored ones).
  bool IsCopyOfLiveBody(uint64_t payload_size, std::string_view body) const;
  // Returns true iff the record whose header-length byte lies at `offset` of
  // the input, in a b-tree page of a database mapped in it (as it stands, or
  // the file's image of a page a WAL frame supersedes), is an old copy of a
  // live cell of the input's databases whose last bytes that page's present
  // content overwrote (the rule: overwritten_copy.h). `record` holds the bytes
  // at `offset` on, at least the record's lead bytes; `record_size_hint` is the
  // record's size as the caller's column list gives it (0: unknown), which
  // restores a header length that a freeblock header overwrote. False when the
  // map cannot say which of the page's bytes are allocated, and always false
  // unless built with copy_index. Reads the page and the live cells' bytes again.
  bool IsOverwrittenCopyOfLiveCell(int64_t offset, std::string_view record,
                                   uint64_t record_size_hint = 0) const;

  const PageMapSummary& summary() const { return summary_; }


 private:
  friend class StatusCursor;

  enum class RegionType : uint8_t { kDatabase, kWal, kJournal };
  struct Segment {
    int64_t start = 0;
    int64_t end = 0;
    RegionType type = RegionType::kDatabase;
    uint32_t index = 0;  // into databases_ (kWal and kJournal have one each)
  };
  struct DatabaseRegion {
    int64_t start = 0;
    uint32_t page_size = 0;
    int page_shift = 0;  // page_size == 1 << page_shift
    uint32_t usable_size = 0;
    std::vector<uint8_t> kinds;
  };

  void Build(const PageMapCompanions& companions);
  void MapOwnDatabase(const ByteSource* wal);
  void MapWalInput(const PageMapCompanions& companions);
  void MapJournalInput(const PageMapCompanions& companions);
  void MapCompanionDatabase(const ByteSource& database, const ByteSource* wal);
  void ScanForDatabases();
  bool AddDatabase(const MapDatabaseRequest& request, bool as_region);
  // Gives [start, end) to one region, over whatever held it before.
  void AssignSegment(int64_t start, int64_t end, Segment segment);
  // The first segment starting after `offset` (segments_.end() if none).
  std::vector<Segment>::const_iterator SegmentAfter(int64_t offset) const;
  void AddCellHashes(std::vector<uint64_t>& hashes, uint32_t usable_size);
  // The database page of the input holding `offset` (a b-tree page, or a
  // superseded one) and the region it belongs to; false when there is none
  // whole.
  bool LocateDatabasePage(int64_t offset, int64_t& page_start,
                          const DatabaseRegion*& region) const;
  // Marks which bytes of [begin, record_start + local) of `page` (of `region`,
  // from `page_start`) are foreign (overwritten_copy.h), then drops the
  // prefix [begin, record_start), which must have none. False when the page
  // cannot say.
  bool ForeignBytesOfRecord(const std::string& page, int64_t page_start,
                            const DatabaseRegion& region, uint32_t begin,
                            uint32_t record_start, uint64_t local,
                            std::vector<uint8_t>& foreign) const;
  // True iff the live cell at `site` (of `rowid`, when given) has the
  // record's size and every byte of `record` that is not foreign.
  bool LiveCellMatches(const CellSite& site, std::optional<int64_t> rowid,
                       uint64_t record_size, std::string_view record,
                       std::span<const uint8_t> foreign, uint64_t header_size,
                       int64_t offset) const;

  std::shared_ptr<const ByteSource> input_;
  std::shared_ptr<const ByteSource> own_wal_;  // applied to the database at offset 0
  PageMapOptions options_;
  WalkBudget budget_;
  // By start, disjoint. Databases are added in offset order, so changes
  // fall at its end and a sorted array serves lookups best.
  std::vector<Segment> segments_;
  uint64_t generation_ = 0;              // bumped whenever segments_ changes
  std::vector<DatabaseRegion> databases_;
  WalIndex wal_;           // when the input is a WAL
  int64_t wal_start_ = 0;
  JournalIndex journal_;   // when the input is a journal
  CellKeySet cell_keys_;
  CellKeySet body_keys_;
  CellSiteIndex cell_sites_;  // of the input's own databases only
  std::vector<bool> tried_boundaries_;  // AddDatabaseAt's offsets, one bit per 512 bytes
  std::vector<uint32_t> usable_sizes_;    // of the databases hashed
  PageMapSummary summary_;
  std::unique_ptr<StatusCursor> cursor_;
};

// Answers status queries for one thread. It keeps the byte range its last
// answer holds for (a page, a WAL frame, a journal record, an unmapped gap), so
// that a query inside it costs a few comparisons; inside a b-tree page it finds
// the nearest cell start below in the page's cell-start bits. Optionally reads pages from
// bytes the caller holds in memory. Valid as long as the map; not thread-safe.
class StatusCursor {
 public:
  explicit StatusCursor(const PageMap& map);

  // Pages lying whole inside [start, start + bytes.size()) of the input are
  // read from `bytes` instead of the file. The bytes must stay valid until the
  // next SetWindow call or the cursor's end; pass an empty view to stop.
  void SetWindow(int64_t start, std::string_view bytes);

  // The status of the byte at `offset` (see PageMap::StatusAt).
  PageStatus StatusAt(int64_t offset) {
    if (offset < range_begin_ || offset >= range_end_ || generation_ != map_.generation_)
      Refresh(offset);
    if (!in_btree_page_) return range_status_;
    return InBtreePage(static_cast<uint32_t>(offset - page_start_));
  }

 private:
  // Finds what holds `offset` and sets the range and its status.
  void Refresh(int64_t offset);
  void RefreshInDatabase(int64_t offset, int64_t segment_start, int64_t segment_end,
                         uint32_t region_index);
  void RefreshInJournal(int64_t offset, int64_t segment_start, int64_t segment_end);
  void SetRange(int64_t begin, int64_t end, PageStatus status);
  bool LoadBtreePage(const PageMap::DatabaseRegion& region, int64_t page_start, uint8_t kind);
  // Inline: every match in a b-tree page asks.
  PageStatus InBtreePage(uint32_t at) {
    if (at < pointers_end_ || at >= usable_size_) return {};
    const uint32_t start = cell_starts_.NearestAtOrBelow(at);
    if (start == 0) return {Status::kFreeblock, 0};
    if (extent_of_ != start) {
      extent_of_ = start;
      cell_end_ = sqlite_format::CellEnd(page_, usable_size_,
                                         static_cast<sqlite_format::PageType>(page_type_), start);
    }
    return {at < cell_end_ ? Status::kLive : Status::kFreeblock, 0};
  }

  const PageMap& map_;
  std::string_view window_;
  int64_t window_start_ = 0;

  // Queries in [range_begin_, range_end_) are answered without a lookup.
  uint64_t generation_ = ~uint64_t{0};
  int64_t range_begin_ = 0;
  int64_t range_end_ = 0;
  PageStatus range_status_;
  bool in_btree_page_ = false;

  // The b-tree page last read (it holds the range when in_btree_page_).
  bool page_in_window_ = false;
  int64_t page_start_ = 0;
  uint32_t usable_size_ = 0;
  std::string page_buffer_;
  std::string_view page_;
  uint8_t page_type_ = 0;
  uint32_t pointers_begin_ = 0;
  uint32_t pointers_end_ = 0;
  CellStartBits cell_starts_;
  uint32_t extent_of_ = 0;  // the cell whose end is in cell_end_ (0: none)
  uint32_t cell_end_ = 0;
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_PAGE_MAP_H_
