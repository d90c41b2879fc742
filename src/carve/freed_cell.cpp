#include "carve/freed_cell.h"

#include <algorithm>

#include "engine/values.h"
#include "pagemap/sqlite_format.h"

namespace quarrow {

namespace sf = sqlite_format;

namespace {

const uint8_t* Bytes(std::string_view page) {
  return reinterpret_cast<const uint8_t*>(page.data());
}

int VarintLength(uint64_t value) {
  int n = 1;
  while (value >= 0x80 && n < 9) value >>= 7, ++n;
  return n;
}

// Where a cell of `payload_size` whose header starts at `header_at` ends, and
// its local payload size; false when it cannot lie in `page`.
bool PlaceCell(uint64_t payload_size, uint32_t header_at, uint32_t usable_size,
               size_t page_size, uint64_t& local, uint64_t& end) {
  local = payload_size;
  end = header_at + payload_size;
  if (usable_size != 0 && payload_size > usable_size - 35) {
    local = sf::LocalPayloadSize(payload_size, usable_size, true);
    end = header_at + local + 4;
  }
  // Without a page size, a record lies whole in its page: at most 65,501 bytes.
  return end <= page_size && (usable_size != 0 || payload_size <= 65501);
}

uint64_t BodySize(const std::vector<uint64_t>& types) {
  uint64_t size = 0;
  for (uint64_t type : types) size += sf::SerialTypeSize(type);
  return size;
}

// True iff the texts of a rebuilt record that lie on the page are valid
// UTF-8: rebuilt readings carry less evidence than intact ones.
bool TextsReadWell(std::string_view page, const PageCell& cell) {
  uint64_t at = cell.header_at + cell.header.header_size;
  // The local payload only: an overflow pointer follows it.
  const uint64_t local_end = cell.header_at + cell.local_size;
  const uint64_t stop = std::min<uint64_t>(cell.cut_at ? cell.cut_at : local_end, page.size());
  for (size_t i = 0; i < cell.header.types.size(); ++i) {
    const uint64_t type = cell.header.types[i];
    const uint64_t size = sf::SerialTypeSize(type);
    if (type >= 13 && (type & 1) && !(i == 0 && cell.first_type_lost)) {
      const uint64_t begin = std::min(at, stop), end = std::min(at + size, stop);
      std::string_view text = page.substr(begin, end - begin);
      for (size_t k = 0; k < text.size();) {
        const auto c = static_cast<uint8_t>(text[k]);
        if (c < 0x80) { ++k; continue; }
        int n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
        if (n == 0) return false;
        // A character cut by the region's end is not a fault of the reading.
        for (int j = 1; j < n; ++j)
          if (k + j < text.size() && (static_cast<uint8_t>(text[k + j]) & 0xC0) != 0x80)
            return false;
        k += n;
      }
    }
    at += size;
  }
  return true;
}

// True iff an old freeblock header could start at `at` (before `limit`): its
// next pointer is 0 or further on, its size at least 4 and inside the page.
// An old header's size may reach past the region: the block it once headed
// was merged with free space that later inserts took.
bool StaleFreeblockAt(std::string_view page, uint32_t at, uint32_t limit) {
  if (at + 4 > limit) return false;
  const uint8_t* p = Bytes(page) + at;
  const uint32_t next = sf::Get16(p), size = sf::Get16(p + 2);
  return (next == 0 || (next > at && next < page.size())) && size >= 4 &&
         at + size <= page.size();
}

}  // namespace

bool ReadWholeCellInto(std::string_view page, uint32_t start, const FitTable& table,
                  uint32_t usable_size, PageCell& cell) {
  const uint8_t* p = Bytes(page);
  const uint8_t* end = p + page.size();
  if (start >= page.size()) return false;
  uint64_t payload = 0, rowid = 0;
  const int a = sf::GetVarint(p + start, end, payload);
  if (a == 0 || a > 4) return false;
  const int b = sf::GetVarint(p + start + a, end, rowid);
  if (b == 0) return false;
  cell.start = start;
  cell.header_at = start + a + b;
  if (!ReadFittingHeader(p + cell.header_at, end, table, cell.header) ||
      cell.header.types.size() < table.min_columns || cell.header.record_size() != payload)
    return false;
  uint64_t local = 0, cell_end = 0;
  if (!PlaceCell(payload, cell.header_at, usable_size, page.size(), local, cell_end))
    return false;
  cell.end = static_cast<uint32_t>(cell_end);
  cell.payload_size = payload;
  cell.local_size = local;
  cell.rowid = static_cast<int64_t>(rowid);
  cell.first_type_lost = false;
  cell.rebuilt = false;
  cell.cut_at = 0;
  return true;
}

namespace {

// A rebuilt reading keeps less evidence than a whole cell: a TEXT column
// holds text or NULL in it, never a blob.
bool BlobInTextColumn(const FitColumn& column, uint64_t type) {
  return column.affinity == Affinity::kText && type >= 12 && type % 2 == 0;
}

}  // namespace

// One reading of a freed cell, and how well its end is confirmed.
struct FreedCellRebuilder::Reading {
  PageCell cell;
  int score = 0;  // EndScore's
};

FreedCellRebuilder::FreedCellRebuilder(const FitTable& table, uint32_t usable_size)
    : table_(table), usable_(usable_size) {
  if (table_.columns.empty()) return;
  // Every size the first column's value may take, with the types of that
  // size it may hold: the same for every cell.
  const FitColumn& column = table_.columns[0];
  first_types_.resize(kMaxLostSize + 1);
  for (uint64_t size = 0; size <= kMaxLostSize; ++size) {
    std::vector<uint64_t>& fitting = first_types_[size];
    for (uint64_t type = 0; type <= 9; ++type)
      if (sf::SerialTypeSize(type) == size && SerialTypeFits(column, type)) fitting.push_back(type);
    for (uint64_t type : {12 + 2 * size, 13 + 2 * size})
      if (SerialTypeFits(column, type)) fitting.push_back(type);
  }
}

FreedCellRebuilder::~FreedCellRebuilder() = default;

bool FreedCellRebuilder::Rebuild(std::string_view page, uint32_t start, uint32_t limit,
                                 uint32_t readable_end, PageCell& cell) {
  ForgetPage(page);
  return RebuildOnPage(start, limit, readable_end, cell);
}

void FreedCellRebuilder::ForgetPage(std::string_view page) {
  page_ = page;
  if (whole_seen_.size() < page.size() + 1) {
    whole_seen_.assign(page.size() + 1, 0);
    whole_at_.assign(page.size() + 1, 0);
    generation_ = 0;
  }
  if (++generation_ == 0) {  // wrapped: every stamp is stale again
    std::fill(whole_seen_.begin(), whole_seen_.end(), 0);
    generation_ = 1;
  }
}

bool FreedCellRebuilder::RebuildOnPage(uint32_t start, uint32_t limit, uint32_t readable_end,
                                       PageCell& cell) {
  std::string_view page = page_;
  limit = std::min<uint32_t>(limit, static_cast<uint32_t>(page.size()));
  if (start + 6 > limit) return false;
  if (readable_end == 0 || readable_end > limit) readable_end = limit;
  start_ = start;
  limit_ = limit;
  readable_ = readable_end;
  readings_used_ = cut_used_ = 0;
  for (uint32_t header_at = start_ + 2; header_at <= start_ + 12; ++header_at) {
    if (header_at >= limit_) break;
    if (!RowidBytesPlausible(header_at)) continue;
    if (header_at >= start_ + 4) {
      TryKnownHeaderLength(header_at);
    } else {
      TryLostHeaderLength(header_at, header_at == start_ + 2);
    }
  }
  return Best(cell);
}

bool FreedCellRebuilder::RowidBytesPlausible(uint32_t header_at) const {
  if (header_at <= start_ + 4) return true;
  const uint8_t* p = Bytes(page_);
  if (p[header_at - 1] & 0x80) return false;
  int clear = 0;
  for (uint32_t at = start_ + 4; at + 1 < header_at; ++at) clear += !(p[at] & 0x80);
  return clear <= 1;
}

void FreedCellRebuilder::TryKnownHeaderLength(uint32_t header_at) {
  const uint8_t* p = Bytes(page_);
  if (!ReadFittingHeader(p + header_at, p + limit_, table_, header_)) return;
  if (header_.types.size() < table_.min_columns) return;
  for (size_t i = 0; i < header_.types.size(); ++i)
    if (BlobInTextColumn(table_.columns[i], header_.types[i])) return;
  ConsiderWhole(header_at, header_, false);
}

void FreedCellRebuilder::TryLostHeaderLength(uint32_t header_at, bool first_lost) {
  const uint8_t* p = Bytes(page_);
  const uint32_t types_at = start_ + 4;
  if (first_lost && table_.columns.empty()) return;
  header_.types.clear();
  if (first_lost) header_.types.push_back(0);
  uint32_t at = types_at;
  const size_t first_column = first_lost ? 1 : 0;
  for (size_t column = first_column; column < table_.columns.size(); ++column) {
    if (at >= limit_) return;
    uint64_t type = 0;
    const int n = sf::GetVarint(p + at, p + limit_, type);
    if (n == 0 || !SerialTypeFits(table_.columns[column], type)) return;
    // Every longer reading holds this type too.
    if (BlobInTextColumn(table_.columns[column], type)) return;
    header_.types.push_back(type);
    at += n;
    if (header_.types.size() < table_.min_columns) continue;
    header_.header_size = at - header_at;
    if (header_.header_size >= 0x80) return;
    header_.body_size = BodySize(header_.types);
    if (first_lost) {
      ConsiderLostFirst(header_at);
    } else {
      ConsiderWhole(header_at, header_, false);
    }
  }
}

void FreedCellRebuilder::ConsiderLostFirst(uint32_t header_at) {
  const FitColumn& column = table_.columns[0];
  if (column.rowid_alias) {
    header_.types[0] = 0;
    return ConsiderWhole(header_at, header_, false);
  }
  // Every size the column's value may take; the types of that size that
  // the value's own bytes cannot tell apart leave it lost.
  const uint64_t known = header_.body_size;
  const uint64_t value_at = header_at + header_.header_size;
  for (uint64_t size = 0; size <= kMaxLostSize; ++size) {
    const std::vector<uint64_t>& fitting = first_types_[size];
    if (fitting.empty()) continue;
    header_.types[0] = fitting[0];
    header_.body_size = known + size;
    bool lost = fitting.size() > 1;
    if (lost && value_at + size <= limit_) {
      std::optional<uint64_t> chosen = TellApart(column, fitting, page_.substr(value_at, size));
      if (chosen && *chosen == kNoReading) continue;
      if (chosen) header_.types[0] = *chosen, lost = false;
    }
    if (BlobInTextColumn(column, header_.types[0])) continue;
    ConsiderWhole(header_at, header_, lost);
  }
  // The caller reads on from the header as it gave it.
  header_.types[0] = 0;
  header_.body_size = known;
}

std::optional<uint64_t> FreedCellRebuilder::TellApart(const FitColumn& column,
                                                      const std::vector<uint64_t>& types,
                                                      std::string_view bytes) {
  if (types.size() == 2 && types[0] >= 12 && column.affinity == Affinity::kText) {
    for (char c : bytes)
      if (static_cast<uint8_t>(c) < 0x20) return kNoReading;
    return types[1];
  }
  if (types.size() == 2 && types[0] == 6 && types[1] == 7 && column.affinity == Affinity::kReal) {
    const auto value = static_cast<int64_t>(BigEndianToInt(bytes));  // all 8 bytes
    const int64_t limit = int64_t{1} << 51;
    return value > -limit && value < limit ? 6 : 7;
  }
  return std::nullopt;
}

void FreedCellRebuilder::ConsiderWhole(uint32_t header_at, const FitHeader& header,
                                       bool first_type_lost) {
  const uint64_t payload_size = header.record_size();
  const int prefix = VarintLength(payload_size);
  const int rowid_length = static_cast<int>(header_at - start_) - prefix;
  if (rowid_length < 1 || rowid_length > 9) return;
  uint64_t local = 0, end = 0;
  const bool placed = PlaceCell(payload_size, header_at, usable_, page_.size(), local, end);
  // Most readings end nowhere a cell can: they are refused before a cell
  // is built.
  int score = 0;
  if (placed && end <= limit_) {
    score = EndScore(static_cast<uint32_t>(end));
    if (score == 0) return;
  } else if (first_type_lost || header_at < start_ + 3 || header.types.size() < 3 ||
             header_at + header.header_size >= limit_) {
    // A later insert took the region's end: what lies before it is kept
    // only when the header survived whole and the values start inside.
    return;
  }
  const bool cut = score == 0;
  Reading& reading = cut ? NextReading(cut_readings_, cut_used_)
                         : NextReading(readings_, readings_used_);
  PageCell& cell = reading.cell;
  cell.start = start_;
  cell.header_at = header_at;
  cell.header.header_size = header.header_size;
  cell.header.body_size = header.body_size;
  cell.header.types.assign(header.types.begin(), header.types.end());
  cell.first_type_lost = first_type_lost;
  cell.rebuilt = true;
  cell.payload_size = payload_size;
  cell.local_size = local;
  cell.rowid.reset();
  reading.score = score;
  if (cut) {
    cell.end = limit_;
    cell.cut_at = limit_;
  } else {
    cell.end = static_cast<uint32_t>(end);
    cell.cut_at = cell.end > readable_ ? readable_ : 0;
  }
  if (!TextsReadWell(page_, cell)) --(cut ? cut_used_ : readings_used_);
}

FreedCellRebuilder::Reading& FreedCellRebuilder::NextReading(std::vector<Reading>& pool,
                                                             size_t& used) {
  if (used == pool.size()) pool.emplace_back();
  return pool[used++];
}

int FreedCellRebuilder::EndScore(uint32_t end) {
  if (end == limit_) return 3;
  if (whole_seen_[end] != generation_) {
    whole_seen_[end] = generation_;
    whole_at_[end] = ReadWholeCellInto(page_, end, table_, usable_, scratch_);
  }
  if (whole_at_[end]) return 2;
  if (!StaleFreeblockAt(page_, end, limit_)) return 0;
  // Cells freed from the last to the first merge into one run, each one's
  // header claiming the space up to the run's end: an old header there that
  // claims this region's end is as good as the end itself.
  return end + sf::Get16(Bytes(page_) + end + 2) == limit_ ? 3 : 1;
}

namespace {

bool SameValues(const PageCell& a, const PageCell& b) {
  return a.header_at + a.header.header_size == b.header_at + b.header.header_size &&
         a.header.types == b.header.types && a.end == b.end;
}

}  // namespace

bool FreedCellRebuilder::Best(PageCell& out) {
  const bool whole = readings_used_ > 0;
  const std::vector<Reading>& pool = whole ? readings_ : cut_readings_;
  const size_t used = whole ? readings_used_ : cut_used_;
  if (used == 0) return false;
  int top = -1;
  for (size_t i = 0; i < used; ++i) top = std::max(top, pool[i].score);
  best_score_ = top;
  const Reading* best = nullptr;
  for (size_t i = 0; i < used; ++i) {
    const Reading& r = pool[i];
    if (r.score != top) continue;
    if (best && !SameValues(best->cell, r.cell)) return false;  // equally good, different
    if (!best) best = &r;
  }
  out = best->cell;
  return true;
}

std::vector<PageCell> FreedCellRebuilder::CellsInFreeRegion(std::string_view page,
                                                            uint32_t start, uint32_t limit) {
  std::vector<PageCell> cells;
  ForgetPage(page);
  limit = std::min<uint32_t>(limit, static_cast<uint32_t>(page.size()));
  uint32_t at = start;
  PageCell cell;
  // Each step moves forward by a cell's size (at least 4 bytes).
  while (at + 4 <= limit) {
    bool found = ReadWholeCellInto(page, at, table_, usable_, cell) && cell.end <= limit;
    if (!found) found = RebuildOnPage(at, limit, 0, cell);
    if (!found || cell.end <= at) break;
    cells.push_back(cell);
    if (cell.cut_at) break;
    at = cell.end;
  }
  return cells;
}

std::vector<PageCell> FreedCellRebuilder::CellsAtStaleHeaders(std::string_view page,
                                                              uint32_t start, uint32_t limit) {
  std::vector<PageCell> cells;
  ForgetPage(page);
  limit = std::min<uint32_t>(limit, static_cast<uint32_t>(page.size()));
  PageCell cell;
  for (uint32_t at = start; at + 6 <= limit; ++at) {
    if (!StaleFreeblockAt(page, at, limit)) continue;
    // The old header's size gives the cell's end; live content may since
    // have taken the bytes from `limit` on.
    const uint32_t end = at + sf::Get16(Bytes(page) + at + 2);
    if (!RebuildOnPage(at, end, limit, cell)) continue;
    // A cell cut short where its old header says the space ends, with the
    // bytes after still there, overran its own freeblock: not a cell.
    if (cell.cut_at != 0 && cell.cut_at < limit) continue;
    // A cell of a run ends where the next one's old header starts, or where
    // a whole cell does (EndScore): the old header's size then claims the
    // run's space, or space that later inserts took.
    if (cell.end != end && best_score_ < 2) continue;
    cells.push_back(cell);
    at = std::min(cell.end, limit) - 1;
  }
  return cells;
}

std::optional<PageCell> ReadWholeCell(std::string_view page, uint32_t start,
                                      const FitTable& table, uint32_t usable_size) {
  PageCell cell;
  if (!ReadWholeCellInto(page, start, table, usable_size, cell)) return std::nullopt;
  return cell;
}

bool WholeCellAtHeader(std::string_view bytes, uint32_t header_at, const FitTable& table,
                       uint32_t usable_size, PageCell& cell) {
  const uint8_t* b = Bytes(bytes);
  // The rowid ends in the byte before the header, its other bytes have the
  // high bit set, and the byte before it (the payload length's last) not.
  if (header_at < 2 || (b[header_at - 1] & 0x80)) return false;
  uint32_t rowid_at = header_at - 1;
  while (rowid_at > 0 && (b[rowid_at - 1] & 0x80) && header_at - rowid_at < 9) --rowid_at;
  if (rowid_at == 0 || (b[rowid_at - 1] & 0x80)) return false;
  if (!ReadFittingHeader(b + header_at, b + bytes.size(), table, cell.header) ||
      cell.header.types.size() < table.min_columns)
    return false;
  const uint64_t payload = cell.header.record_size();
  const int prefix = VarintLength(payload);
  if (static_cast<int>(rowid_at) < prefix) return false;
  const uint32_t start = rowid_at - prefix;
  uint64_t read = 0, rowid = 0;
  if (sf::GetVarint(b + start, b + rowid_at, read) != prefix || read != payload) return false;
  if (sf::GetVarint(b + rowid_at, b + header_at, rowid) != static_cast<int>(header_at - rowid_at))
    return false;
  uint64_t local = 0, end = 0;
  if (!PlaceCell(payload, header_at, usable_size, bytes.size(), local, end)) return false;
  cell.start = start;
  cell.end = static_cast<uint32_t>(end);
  cell.header_at = header_at;
  cell.first_type_lost = false;
  cell.rebuilt = false;
  cell.cut_at = 0;
  cell.payload_size = payload;
  cell.local_size = local;
  cell.rowid = static_cast<int64_t>(rowid);
  return true;
}

std::optional<PageCell> RebuildFreedCell(std::string_view page, uint32_t start,
                                         uint32_t limit, const FitTable& table,
                                         uint32_t usable_size, uint32_t readable_end) {
  PageCell cell;
  if (!FreedCellRebuilder(table, usable_size).Rebuild(page, start, limit, readable_end, cell))
    return std::nullopt;
  return cell;
}

std::vector<PageCell> CellsInFreeRegion(std::string_view page, uint32_t start,
                                        uint32_t limit, const FitTable& table,
                                        uint32_t usable_size) {
  return FreedCellRebuilder(table, usable_size).CellsInFreeRegion(page, start, limit);
}

std::vector<PageCell> CellsAtStaleHeaders(std::string_view page, uint32_t start,
                                          uint32_t limit, const FitTable& table,
                                          uint32_t usable_size) {
  return FreedCellRebuilder(table, usable_size).CellsAtStaleHeaders(page, start, limit);
}

std::vector<FreeRegion> FreeRegionsOf(std::string_view page, uint32_t header_offset,
                                      uint32_t usable_size) {
  std::vector<FreeRegion> regions;
  sf::BtreePageHeader header;
  if (!sf::ParseBtreePageHeader(page, header_offset, usable_size, header) ||
      header.type != sf::PageType::kTableLeaf)
    return regions;
  const uint8_t* p = Bytes(page);
  uint32_t content = sf::Get16(p + header_offset + 5);
  if (content == 0) content = 65536;
  if (content > header.pointers_end && content <= usable_size)
    regions.push_back({header.pointers_end, content, false});
  // Freeblocks lie in ascending order inside the content area; anything else
  // ends the chain.
  uint32_t at = sf::Get16(p + header_offset + 1);
  uint32_t floor = content;
  for (int steps = 0; at != 0 && steps < 16384; ++steps) {
    if (at < floor || at + 4 > usable_size) break;
    const uint32_t size = sf::Get16(p + at + 2);
    if (size < 4 || at + size > usable_size) break;
    regions.push_back({at, at + size, true});
    floor = at + size;
    at = sf::Get16(p + at);
  }
  return regions;
}

}  // namespace quarrow
