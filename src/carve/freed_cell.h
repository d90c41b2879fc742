// Freed cells rebuilt. When SQLite frees a cell (secure_delete off) it writes
// a freeblock header over the cell's first four bytes (next freeblock, size),
// which destroys the payload length, the rowid, the header length and, when
// those took only three bytes, the first serial type. The rest survives. A
// cell is rebuilt from what does: the serial types after the overwritten
// bytes, the column rules (record_fit.h), and where the cell must end: at the
// freeblock's end, or where another cell or an old freeblock header starts
// (adjacent freed cells merge into one freeblock). Every reading that fits is
// tried; a rebuild is kept only when one reading fits best, and a first serial
// type that several types of the same size could have been is reported lost.
// The rowid is never invented. A cell whose end a later insert overwrote (the
// freeblock shrank) is kept as partial only when its header survives whole.
// Pure functions over one page's bytes; never reads outside them.
#ifndef QUARROW_CARVE_FREED_CELL_H_
#define QUARROW_CARVE_FREED_CELL_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "carve/record_fit.h"

namespace quarrow {

// A cell as found in a page: intact or rebuilt.
struct PageCell {
  uint32_t start = 0;      // the cell's first byte in the page
  uint32_t end = 0;        // one past its last local byte (overflow pointer included)
  uint32_t header_at = 0;  // the record's header-length varint
  FitHeader header;     // serial types (a lost first type is 0 with first_type_lost)
  bool first_type_lost = false;
  bool rebuilt = false;    // leading bytes inferred
  uint32_t cut_at = 0;     // non-zero: bytes from here on were overwritten (partial)
  uint64_t payload_size = 0;
  uint64_t local_size = 0;  // payload bytes on the page; the rest overflows
  std::optional<int64_t> rowid;
};

// Reads an intact table-leaf cell starting at `start` of `page` (varints:
// payload length, rowid, then a fitting record whose size is the payload
// length). `usable_size` 0 means no overflow is possible.
std::optional<PageCell> ReadWholeCell(std::string_view page, uint32_t start,
                                      const FitTable& table, uint32_t usable_size);
// The same into `cell` (its vectors reused); false when none lies there.
bool ReadWholeCellInto(std::string_view page, uint32_t start, const FitTable& table,
                       uint32_t usable_size, PageCell& cell);

// The same found from its header: the record header at `header_at` of
// `bytes` fits, and the varints before it (the rowid, then the payload
// length in SQLite's shortest form) hold its size. Fills `cell` (its vectors
// reused) and returns true iff the cell is whole. For the scan of every
// position: the header is read once, and nothing is allocated once `cell`
// has grown.
bool WholeCellAtHeader(std::string_view bytes, uint32_t header_at, const FitTable& table,
                       uint32_t usable_size, PageCell& cell);

// Rebuilds the cell whose first four bytes at `start` a freeblock header
// overwrote, inside the free region [start, limit) of `page`. Bytes from
// `readable_end` on (when below `limit`) were overwritten since: a cell
// reaching them is kept as partial, cut there.
std::optional<PageCell> RebuildFreedCell(std::string_view page, uint32_t start,
                                         uint32_t limit, const FitTable& table,
                                         uint32_t usable_size, uint32_t readable_end = 0);

// Every cell of `table` recoverable from the free region [start, limit) of a
// table-leaf page: cells rebuilt at its start and after each cell found, and
// intact cells, in order. A region ends where nothing fits.
std::vector<PageCell> CellsInFreeRegion(std::string_view page, uint32_t start,
                                        uint32_t limit, const FitTable& table,
                                        uint32_t usable_size);

// Cells rebuilt where an old freeblock header still lies in [start, limit) of
// `page`, in space no live page structure describes (the unallocated gap, a
// freelist trunk page whose header is gone): each position holding what reads
// as a freeblock header (next 0 or further on, a size that stays inside) whose
// rebuilt cell ends exactly where that size says.
std::vector<PageCell> CellsAtStaleHeaders(std::string_view page, uint32_t start,
                                          uint32_t limit, const FitTable& table,
                                          uint32_t usable_size);

// The three above, for many cells of one table: what depends only on the
// table is worked out once, scratch space is reused from cell to cell, and
// while it reads one page (one call of CellsInFreeRegion or
// CellsAtStaleHeaders) it remembers by position whether a whole cell starts
// there, since every reading of every cell asks that of where it would end.
// One per thread; `table` must outlive it.
class FreedCellRebuilder {
 public:
  FreedCellRebuilder(const FitTable& table, uint32_t usable_size);
  ~FreedCellRebuilder();
  FreedCellRebuilder(const FreedCellRebuilder&) = delete;
  FreedCellRebuilder& operator=(const FreedCellRebuilder&) = delete;

  // RebuildFreedCell's answer into `cell`; false when there is none.
  bool Rebuild(std::string_view page, uint32_t start, uint32_t limit, uint32_t readable_end,
               PageCell& cell);
  std::vector<PageCell> CellsInFreeRegion(std::string_view page, uint32_t start, uint32_t limit);
  std::vector<PageCell> CellsAtStaleHeaders(std::string_view page, uint32_t start,
                                            uint32_t limit);

 private:
  struct Reading;
  // The largest first value rebuilt when its serial type was overwritten.
  static constexpr uint64_t kMaxLostSize = 57;
  static constexpr uint64_t kNoReading = ~uint64_t{0};

  void ForgetPage(std::string_view page);
  bool RebuildOnPage(uint32_t start, uint32_t limit, uint32_t readable_end, PageCell& cell);
  // The rowid's surviving bytes, between the overwritten four and the header:
  // the last has its high bit clear, and at most one more (the payload
  // length's last byte) does.
  bool RowidBytesPlausible(uint32_t header_at) const;
  void TryKnownHeaderLength(uint32_t header_at);
  // The header-length byte (and with `first_lost` the first serial type) lay
  // in the overwritten bytes: the types from start + 4 on are read for every
  // column count.
  void TryLostHeaderLength(uint32_t header_at, bool first_lost);
  // Every type the first column may hold, tried by size.
  void ConsiderLostFirst(uint32_t header_at);
  // Of several types of one size, the one a value's bytes show, if any: in a
  // TEXT column, a text when the bytes read as one, else no reading at all (a
  // blob there is rare, and bytes of other records read as one all too
  // easily); a double over an 8-byte integer in a REAL column unless the
  // integer is small enough for SQLite to have stored it so.
  static std::optional<uint64_t> TellApart(const FitColumn& column,
                                           const std::vector<uint64_t>& types,
                                           std::string_view bytes);
  void ConsiderWhole(uint32_t header_at, const FitHeader& header, bool first_type_lost);
  static Reading& NextReading(std::vector<Reading>& pool, size_t& used);
  // 3: the reading ends at the region's end, or at an old freeblock header
  // that claims the same end; 2: where a whole cell starts; 1: at another old
  // freeblock header; 0: nowhere a cell can.
  int EndScore(uint32_t end);
  // The one best reading; false when none, or several differ.
  bool Best(PageCell& out);

  const FitTable& table_;
  uint32_t usable_;
  std::vector<std::vector<uint64_t>> first_types_;  // by value size
  // The cell being rebuilt.
  std::string_view page_;
  uint32_t start_ = 0, limit_ = 0, readable_ = 0;
  FitHeader header_;
  std::vector<Reading> readings_, cut_readings_;  // pools: the first *_used_ are this cell's
  size_t readings_used_ = 0, cut_used_ = 0;
  // Whether a whole cell starts at a position of page_: valid where
  // whole_seen_ holds generation_.
  std::vector<uint32_t> whole_seen_;
  std::vector<uint8_t> whole_at_;
  uint32_t generation_ = 0;
  PageCell scratch_;
  int best_score_ = 0;  // the score of the reading Best chose last
};

// The free regions of a table-leaf page: its freeblocks (chain followed in
// ascending order, bounded) and the gap between the cell pointer array and
// the cell content area. Empty when the page header is not a table leaf's.
struct FreeRegion {
  uint32_t start = 0;
  uint32_t limit = 0;
  bool freeblock = false;  // a freeblock (its first four bytes are its header)
};
std::vector<FreeRegion> FreeRegionsOf(std::string_view page, uint32_t header_offset,
                                      uint32_t usable_size);

}  // namespace quarrow

#endif  // QUARROW_CARVE_FREED_CELL_H_
