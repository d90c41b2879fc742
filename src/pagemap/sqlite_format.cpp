#include "pagemap/sqlite_format.h"

#include <algorithm>
#include <cstring>

namespace quarrow::sqlite_format {

int GetLongVarint(const uint8_t* p, const uint8_t* end, uint64_t& value) {
  uint64_t v = 0;
  for (int i = 0; i < 9; ++i) {
    if (p + i >= end) return 0;
    if (i == 8) {
      value = (v << 8) | p[i];
      return 9;
    }
    v = (v << 7) | (p[i] & 0x7f);
    if ((p[i] & 0x80) == 0) {
      value = v;
      return i + 1;
    }
  }
  return 0;
}

bool IsDatabaseMagic(const uint8_t* p) {
  return std::memcmp(p, kDatabaseMagic, kDatabaseMagicSize) == 0;
}

bool ParseDatabaseHeader(std::string_view bytes, DatabaseHeader& header) {
  if (bytes.size() < kDatabaseHeaderSize) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (!IsDatabaseMagic(p)) return false;
  uint32_t page_size = Get16(p + 16);
  if (page_size == 1) page_size = 65536;
  if (page_size < 512 || page_size > 65536 || (page_size & (page_size - 1)) != 0)
    return false;
  uint32_t reserved = p[20];
  if (page_size - reserved < 480) return false;
  // SQLite refuses any other payload fractions.
  if (p[21] != 64 || p[22] != 32 || p[23] != 32) return false;
  header.page_size = page_size;
  header.usable_size = page_size - reserved;
  header.page_count = Get32(p + 28);
  // Writers before the in-header count left it stale; SQLite trusts it only
  // when the "version valid for" number equals the change counter.
  header.page_count_valid = header.page_count != 0 && Get32(p + 24) == Get32(p + 92);
  header.freelist_trunk = Get32(p + 32);
  header.freelist_count = Get32(p + 36);
  return true;
}

bool ParseBtreePageHeader(std::string_view page, uint32_t header_offset,
                          uint32_t usable_size, BtreePageHeader& header) {
  uint32_t limit = std::min<uint32_t>(usable_size, static_cast<uint32_t>(page.size()));
  if (header_offset + 8 > limit) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(page.data()) + header_offset;
  auto type = static_cast<PageType>(p[0]);
  if (!IsTablePage(type) && !IsIndexPage(type)) return false;
  uint32_t header_size = IsLeafPage(type) ? 8 : 12;
  if (header_offset + header_size > limit) return false;
  header.type = type;
  header.header_offset = header_offset;
  header.pointers_begin = header_offset + header_size;
  header.cell_count = std::min<uint32_t>(Get16(p + 3), (limit - header.pointers_begin) / 2);
  header.pointers_end = header.pointers_begin + 2 * header.cell_count;
  header.right_child = IsLeafPage(type) ? 0 : Get32(p + 8);
  return true;
}

bool ParseRecordHeader(const uint8_t* p, const uint8_t* end, uint64_t& header_size,
                       uint64_t& record_size) {
  int n = GetVarint(p, end, header_size);
  if (n == 0 || header_size < static_cast<uint64_t>(n) ||
      header_size > static_cast<uint64_t>(end - p))
    return false;
  record_size = header_size;
  for (const uint8_t* at = p + n; at < p + header_size; at += n) {
    uint64_t type = 0;
    n = GetVarint(at, p + header_size, type);
    if (n == 0 || type == 10 || type == 11) return false;
    record_size += SerialTypeSize(type);
    if (record_size > (uint64_t{1} << 62)) return false;
  }
  return true;
}

int PutVarint(uint64_t value, uint8_t* out) {
  if (value >> 56 != 0) {
    out[8] = static_cast<uint8_t>(value);
    value >>= 8;
    for (int i = 7; i >= 0; --i, value >>= 7) out[i] = static_cast<uint8_t>(value | 0x80);
    return 9;
  }
  int n = 1;
  while (n < 8 && (value >> (7 * n)) != 0) ++n;
  for (int i = 0; i < n; ++i) {
    const auto group = static_cast<uint8_t>((value >> (7 * (n - 1 - i))) & 0x7f);
    out[i] = i + 1 < n ? group | 0x80 : group;
  }
  return n;
}

uint64_t LocalPayloadSize(uint64_t payload_size, uint32_t usable_size,
                          bool table_leaf) {
  const uint64_t u = usable_size;
  const uint64_t max_local = table_leaf ? u - 35 : ((u - 12) * 64 / 255) - 23;
  if (payload_size <= max_local) return payload_size;
  const uint64_t min_local = ((u - 12) * 32 / 255) - 23;
  const uint64_t k = min_local + ((payload_size - min_local) % (u - 4));
  return k <= max_local ? k : min_local;
}

bool ReadCellExtent(std::string_view page, uint32_t usable_size, PageType type,
                    uint32_t cell_start, CellExtent& cell) {
  const uint32_t limit = std::min<uint32_t>(usable_size, static_cast<uint32_t>(page.size()));
  if (cell_start >= limit) return false;
  const auto* base = reinterpret_cast<const uint8_t*>(page.data());
  const uint8_t* p = base + cell_start;
  const uint8_t* end = base + limit;
  cell = CellExtent{};
  const bool interior = !IsLeafPage(type);
  if (interior) {
    if (end - p < 4) return false;
    cell.left_child = Get32(p);
    p += 4;
  }
  uint64_t value = 0;
  int n = GetVarint(p, end, value);
  if (n == 0) return false;
  p += n;
  if (type == PageType::kTableInterior) {
    cell.rowid = static_cast<int64_t>(value);
    cell.size = static_cast<uint32_t>(p - (base + cell_start));
    return true;
  }
  cell.payload_size = value;
  if (type == PageType::kTableLeaf) {
    n = GetVarint(p, end, value);
    if (n == 0) return false;
    cell.rowid = static_cast<int64_t>(value);
    p += n;
  }
  cell.payload_offset = static_cast<uint32_t>(p - (base + cell_start));
  cell.local_size = LocalPayloadSize(cell.payload_size, usable_size,
                                     type == PageType::kTableLeaf);
  uint64_t size = cell.payload_offset + cell.local_size;
  if (cell.local_size < cell.payload_size) {
    const uint64_t pointer_at = cell_start + size;
    if (pointer_at + 4 <= limit) cell.overflow_page = Get32(base + pointer_at);
    size += 4;
  }
  cell.size = static_cast<uint32_t>(std::min<uint64_t>(size, limit - cell_start));
  return true;
}

}  // namespace quarrow::sqlite_format
