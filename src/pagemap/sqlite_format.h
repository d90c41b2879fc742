// The few pieces of SQLite's file format the page map reads: big-endian
// integers, varints, the database header, b-tree page headers and cell sizes.
// Every function reads only inside the bytes it is given and treats any value
// as possibly hostile. Pure functions; thread-safe.
#ifndef QUARROW_PAGEMAP_SQLITE_FORMAT_H_
#define QUARROW_PAGEMAP_SQLITE_FORMAT_H_

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace quarrow::sqlite_format {

inline constexpr int kDatabaseHeaderSize = 100;
inline constexpr char kDatabaseMagic[] = "SQLite format 3";  // plus its NUL: 16 bytes
inline constexpr int kDatabaseMagicSize = 16;

inline uint32_t Get16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t Get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Reads a varint from [p, end) into `value`; returns its length in bytes (1 to
// 9), or 0 when the bytes end before it does. Inline: every record read
// calls it per serial type, and most are one byte.
int GetLongVarint(const uint8_t* p, const uint8_t* end, uint64_t& value);
inline int GetVarint(const uint8_t* p, const uint8_t* end, uint64_t& value) {
  if (p < end && *p < 0x80) {
    value = *p;
    return 1;
  }
  return GetLongVarint(p, end, value);
}
// The same with two-byte varints (128 to 16383: most payload sizes and many
// rowids) read inline too.
inline int GetShortVarint(const uint8_t* p, const uint8_t* end, uint64_t& value) {
  if (end - p >= 2 && p[1] < 0x80) {
    if (p[0] < 0x80) {
      value = p[0];
      return 1;
    }
    value = (uint64_t{p[0] & 0x7fu} << 7) | p[1];
    return 2;
  }
  return GetVarint(p, end, value);
}

// Returns true iff the 16 bytes at `p` are the database header's magic string.
bool IsDatabaseMagic(const uint8_t* p);

struct DatabaseHeader {
  uint32_t page_size = 0;     // 512 to 65536, a power of two
  uint32_t usable_size = 0;   // page size less the reserved bytes, at least 480
  uint32_t page_count = 0;    // the header's own count (may be stale or a lie)
  bool page_count_valid = false;  // the header's count is to be trusted
  uint32_t freelist_trunk = 0;
  uint32_t freelist_count = 0;
};

// Returns true iff `bytes` (at least 100) start with a database header SQLite
// itself would accept: magic, page size, reserved space and payload fractions.
bool ParseDatabaseHeader(std::string_view bytes, DatabaseHeader& header);

enum class PageType : uint8_t {
  kNone = 0,
  kIndexInterior = 2,
  kTableInterior = 5,
  kIndexLeaf = 10,
  kTableLeaf = 13,
};

inline bool IsTablePage(PageType t) {
  return t == PageType::kTableInterior || t == PageType::kTableLeaf;
}
inline bool IsIndexPage(PageType t) {
  return t == PageType::kIndexInterior || t == PageType::kIndexLeaf;
}
inline bool IsLeafPage(PageType t) {
  return t == PageType::kTableLeaf || t == PageType::kIndexLeaf;
}

// A b-tree page's header, checked against the page's size. Page 1's header
// starts after the database header (header_offset 100).
struct BtreePageHeader {
  PageType type = PageType::kNone;
  uint32_t header_offset = 0;
  uint32_t cell_count = 0;        // cut to what the pointer array can hold
  uint32_t pointers_begin = 0;    // the cell pointer array [begin, end)
  uint32_t pointers_end = 0;
  uint32_t right_child = 0;       // interior pages only
};

// Returns true iff `page` holds a b-tree page header of a known type whose
// pointer array starts inside the usable area; the cell count is cut so that the
// array ends inside it. `header_offset` is 100 for page 1, else 0.
bool ParseBtreePageHeader(std::string_view page, uint32_t header_offset,
                          uint32_t usable_size, BtreePageHeader& header);

// The size of a value of serial type `type` in a record's body (0 for the
// reserved types 10 and 11).
inline uint64_t SerialTypeSize(uint64_t type) {
  static constexpr uint8_t kSizes[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  return type < 12 ? kSizes[type] : (type - 12) / 2;
}

// Reads a record's header from [p, end): its length (the header-length varint
// included) and the record's whole size (header plus the sizes its serial
// types give). False when the header does not lie whole inside the bytes, or
// is no header (a length shorter than its own varint, a size past 2^62).
bool ParseRecordHeader(const uint8_t* p, const uint8_t* end, uint64_t& header_size,
                       uint64_t& record_size);

// Writes `value` as a varint to `out` (at least 9 bytes); returns its length.
int PutVarint(uint64_t value, uint8_t* out);

// How many payload bytes of a cell lie on its own page (the rest overflows).
uint64_t LocalPayloadSize(uint64_t payload_size, uint32_t usable_size,
                          bool table_leaf);

// A cell as it lies on its page: [start, start + size) (overflow pointer
// included), its payload and, for table cells, its rowid.
struct CellExtent {
  uint32_t size = 0;
  uint32_t payload_offset = 0;  // from the cell's start
  uint64_t payload_size = 0;    // 0 for table interior cells
  uint64_t local_size = 0;
  uint32_t overflow_page = 0;   // first overflow page, 0 when none or unread
  int64_t rowid = 0;            // table cells
  uint32_t left_child = 0;      // interior cells
};

// Decodes the cell starting at `cell_start` of a page of type `type`. Returns
// false when its prefix is cut by the usable area; the size is cut to it.
bool ReadCellExtent(std::string_view page, uint32_t usable_size, PageType type,
                    uint32_t cell_start, CellExtent& cell);

// The end of that cell (cell_start plus ReadCellExtent's size), or cell_start
// when ReadCellExtent returns false. A table leaf's cell whose payload lies
// whole on the page, the common case, is read inline: a status is asked for
// every match.
inline uint32_t CellEnd(std::string_view page, uint32_t usable_size, PageType type,
                        uint32_t cell_start) {
  if (type == PageType::kTableLeaf) {
    const uint32_t limit = std::min<uint32_t>(usable_size, static_cast<uint32_t>(page.size()));
    if (cell_start >= limit) return cell_start;
    const auto* base = reinterpret_cast<const uint8_t*>(page.data());
    const uint8_t* end = base + limit;
    uint64_t payload_size = 0, rowid = 0;
    const int n = GetShortVarint(base + cell_start, end, payload_size);
    if (n == 0) return cell_start;
    const int m = GetShortVarint(base + cell_start + n, end, rowid);
    if (m == 0) return cell_start;
    // Past the table leaf's largest local payload it overflows: the long way.
    if (payload_size <= usable_size - 35)
      return cell_start + static_cast<uint32_t>(std::min<uint64_t>(
                              static_cast<uint64_t>(n + m) + payload_size, limit - cell_start));
  }
  CellExtent cell;
  return ReadCellExtent(page, usable_size, type, cell_start, cell) ? cell_start + cell.size
                                                                   : cell_start;
}

}  // namespace quarrow::sqlite_format

#endif  // QUARROW_PAGEMAP_SQLITE_FORMAT_H_
