#include "pagemap/overwritten_copy.h"

#include <algorithm>

#include "pagemap/sqlite_format.h"

namespace quarrow {
namespace {

using sqlite_format::BtreePageHeader;
using sqlite_format::CellExtent;
using sqlite_format::Get16;
using sqlite_format::Get32;
using sqlite_format::PageType;

// A table interior cell: a 4-byte child, then a rowid varint.
constexpr uint32_t kChildSize = 4;
constexpr uint32_t kMaxRowidVarint = 8;  // 9-byte rowids are not walked over

// Lowers the start of a table interior page's content area over the dead
// cells right below it; stops at the first run of bytes that is none. A dead
// cell's child need only be a b-tree page: the page it named may have taken
// another role since.
uint32_t BelowDeadInteriorCells(const uint8_t* p, uint32_t floor, uint32_t content,
                                const std::function<bool(uint32_t)>& is_btree_page) {
  while (content >= floor + kChildSize + 1 && (p[content - 1] & 0x80) == 0) {
    // The varint's last byte is below 0x80 and its others are not; the child's
    // last byte may be either, so the shortest varint with a valid child wins.
    uint32_t found = 0;
    for (uint32_t length = 1; length <= kMaxRowidVarint; ++length) {
      const uint32_t varint_start = content - length;
      if (varint_start < floor + kChildSize) break;
      if (length > 1 && (p[varint_start] & 0x80) == 0) break;
      if (length > 1 && p[varint_start] == 0x80) continue;  // SQLite writes no leading zero group
      if (is_btree_page(Get32(p + varint_start - kChildSize))) {
        found = varint_start - kChildSize;
        break;
      }
    }
    if (found == 0) break;
    content = found;
  }
  return content;
}

// Marks the 4-byte header of each freeblock on the page's chain and adds
// each freeblock's end to `boundaries`.
void MarkFreeblockHeaders(const uint8_t* p, const BtreePageHeader& header, uint32_t usable_size,
                          const std::function<void(uint32_t, uint32_t)>& mark,
                          std::vector<uint32_t>& boundaries) {
  uint32_t block = Get16(p + header.header_offset + 1);
  // SQLite keeps the chain in increasing order; anything else ends it.
  uint32_t after = header.pointers_end;
  while (block >= after && block + 4 <= usable_size) {
    mark(block, block + 4);
    boundaries.push_back(block + Get16(p + block + 2));
    after = block + 4;
    block = Get16(p + block);
  }
}

// True iff a table-leaf cell image starts at `start` whose prefix and record
// header agree on its payload's size and which ends exactly at a boundary
// (sorted); sets `cell_end`.
bool IsDeadLeafCellAt(std::string_view page, uint32_t usable_size, uint32_t start,
                      const std::vector<uint32_t>& boundaries, uint32_t& cell_end) {
  CellExtent cell;
  if (!sqlite_format::ReadCellExtent(page, usable_size, PageType::kTableLeaf, start, cell))
    return false;
  const uint64_t whole = cell.payload_offset + cell.local_size +
                         (cell.local_size < cell.payload_size ? 4 : 0);
  if (cell.size != whole || !std::binary_search(boundaries.begin(), boundaries.end(),
                                                start + cell.size))
    return false;
  const auto* payload = reinterpret_cast<const uint8_t*>(page.data()) + start + cell.payload_offset;
  uint64_t header_size = 0, record_size = 0;
  if (!sqlite_format::ParseRecordHeader(payload, payload + cell.local_size, header_size,
                                        record_size) ||
      record_size != cell.payload_size)
    return false;
  cell_end = start + cell.size;
  return true;
}

// Marks the dead cells of a table leaf that overwrote the record's tail (see
// the header): each starts inside the record, past its first byte.
void MarkDeadLeafCells(std::string_view page, uint32_t usable_size, uint32_t record_start,
                       uint32_t end, std::vector<uint32_t>& boundaries,
                       const std::function<void(uint32_t, uint32_t)>& mark) {
  std::sort(boundaries.begin(), boundaries.end());
  for (uint32_t at = record_start + 1; at < end; ++at) {
    uint32_t cell_end = 0;
    if (!IsDeadLeafCellAt(page, usable_size, at, boundaries, cell_end)) continue;
    mark(at, cell_end);
    at = cell_end - 1;
  }
}

}  // namespace

bool MarkForeignBytes(std::string_view page, uint32_t header_offset, uint32_t usable_size,
                      uint32_t begin, uint32_t record_start, uint32_t end,
                      const std::function<bool(uint32_t)>& is_btree_page,
                      std::vector<uint8_t>& foreign) {
  BtreePageHeader header;
  if (usable_size > page.size() ||
      !sqlite_format::ParseBtreePageHeader(page, header_offset, usable_size, header))
    return false;
  if (begin < header.pointers_end || end > usable_size || begin > record_start ||
      record_start >= end)
    return false;
  foreign.assign(end - begin, 0);
  const auto mark = [&](uint32_t from, uint32_t to) {
    for (uint32_t at = std::max(from, begin); at < std::min(to, end); ++at) foreign[at - begin] = 1;
  };
  const auto* p = reinterpret_cast<const uint8_t*>(page.data());
  std::vector<uint32_t> boundaries;  // where cells, freeblocks' ends and the content area lie
  for (uint32_t i = 0; i < header.cell_count; ++i) {
    const uint32_t start = Get16(p + header.pointers_begin + 2 * i);
    // A pointer to nowhere marks nothing: more bytes are compared, not fewer.
    if (start < header.pointers_end || start >= usable_size) continue;
    CellExtent cell;
    if (!sqlite_format::ReadCellExtent(page, usable_size, header.type, start, cell)) continue;
    const bool own = header.type == PageType::kTableLeaf &&
                     start + cell.payload_offset == record_start;
    if (!own) mark(start, start + cell.size);
    boundaries.push_back(start);
  }
  MarkFreeblockHeaders(p, header, usable_size, mark, boundaries);
  uint32_t content = Get16(p + header_offset + 5);
  if (content == 0) content = 65536;
  content = std::clamp(content, header.pointers_end, usable_size);
  if (header.type == PageType::kTableLeaf) {
    boundaries.push_back(content);
    MarkDeadLeafCells(page, usable_size, record_start, end, boundaries, mark);
  } else {
    if (header.type == PageType::kTableInterior)
      content = BelowDeadInteriorCells(p, header.pointers_end, content, is_btree_page);
    mark(content, usable_size);
  }
  return true;
}

std::optional<int64_t> CellPrefixRowid(std::string_view page, uint32_t floor,
                                       uint32_t record_start, uint64_t payload_size,
                                       uint32_t& prefix_start) {
  if (record_start > page.size() || record_start <= floor) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(page.data());
  // The rowid varint: one byte below 0x80, after up to 7 bytes that are not.
  uint32_t rowid_start = record_start - 1;
  if ((p[rowid_start] & 0x80) != 0) return std::nullopt;
  while (rowid_start > floor && (p[rowid_start - 1] & 0x80) != 0 &&
         record_start - rowid_start < kMaxRowidVarint)
    --rowid_start;
  uint64_t rowid = 0;
  if (sqlite_format::GetVarint(p + rowid_start, p + record_start, rowid) !=
      static_cast<int>(record_start - rowid_start))
    return std::nullopt;
  uint8_t size_varint[9];
  const auto size_length = static_cast<uint32_t>(sqlite_format::PutVarint(payload_size, size_varint));
  if (rowid_start < floor + size_length ||
      !std::equal(size_varint, size_varint + size_length, p + rowid_start - size_length))
    return std::nullopt;
  prefix_start = rowid_start - size_length;
  return static_cast<int64_t>(rowid);
}

bool ReadRecordHeader(std::string_view record, uint64_t size_hint, RecordHeader& header) {
  const auto* r = reinterpret_cast<const uint8_t*>(record.data());
  const uint8_t* end = r + record.size();
  uint64_t header_size = 0, record_size = 0;
  if (sqlite_format::ParseRecordHeader(r, end, header_size, record_size) &&
      (size_hint == 0 || record_size == size_hint)) {
    header = RecordHeader{std::string(record.substr(0, header_size)), record_size, false};
    return true;
  }
  // The serial types that follow decide the one-byte length that fits the hint.
  uint64_t sizes = 0;
  for (const uint8_t* at = r + 1; at < end && at - r < 0x80;) {
    uint64_t type = 0;
    const int n = sqlite_format::GetVarint(at, end, type);
    if (n == 0 || type == 10 || type == 11) return false;
    at += n;
    sizes += sqlite_format::SerialTypeSize(type);
    const auto length = static_cast<uint64_t>(at - r);
    if (length < 0x80 && length + sizes == size_hint) {
      header = RecordHeader{std::string(record.substr(0, length)), size_hint, true};
      header.bytes[0] = static_cast<char>(length);
      return true;
    }
    if (length + sizes > size_hint) return false;
  }
  return false;
}

bool OwnBytesMatch(std::string_view record, std::string_view live,
                   std::span<const uint8_t> foreign, uint64_t header_size) {
  if (record.size() != live.size() || foreign.size() != record.size() ||
      header_size > record.size())
    return false;
  const uint64_t lead = LeadSize(header_size, record.size());
  for (size_t i = 0; i < record.size(); ++i) {
    if (foreign[i] != 0 && i < lead) return false;
    if (foreign[i] == 0 && record[i] != live[i]) return false;
  }
  return true;
}

}  // namespace quarrow
