#include "contacts/record_shape.h"

#include <algorithm>
#include <array>

#include "engine/header.h"
#include "pagemap/sqlite_format.h"

namespace quarrow {

namespace {

// A table grows by a few columns at a time; a header holding more than this
// many serial types past the definition's is no record of it (decision 20's
// bound).
constexpr size_t kMaxExtraColumns = 2000;
// No record of a person or a value is near this; a header claiming more is
// stray bytes.
constexpr uint64_t kMaxRecordSize = uint64_t{1} << 30;
// How many more columns than a definition that may be narrower a freed
// record's freeblock size may prove (a phone adds a few at a time).
constexpr size_t kMaxGrowth = 8;
// The most cells a freeblock may have taken in after the freed one.
constexpr int kMaxMergedCells = 32;
// The freeblock header SQLite writes over a freed cell: 2 bytes to the next
// freeblock, 2 bytes of size.
constexpr int64_t kFreeblockHeader = 4;
// A cell's payload length and rowid take 2 to 18 bytes; where a freeblock
// header left the header length whole, they took 4 or more, and a rowid of
// more than 3 bytes (over 2 million) is no person's or value's.
constexpr int64_t kMaxCellPrefix = 6;

// The varint at `at`, never past `end`; its length in `length` (0 when none
// lies whole before `end`).
uint64_t VarintAt(const BufferView& view, int64_t at, int64_t end, int& length) {
  uint64_t value = 0;
  for (int i = 0; i < 9; ++i) {
    if (at + i >= end) {
      length = 0;
      return 0;
    }
    const uint8_t byte = view.At(at + i);
    if (i == 8) {
      length = 9;
      return (value << 8) | byte;
    }
    value = (value << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) {
      length = i + 1;
      return value;
    }
  }
  length = 0;
  return 0;
}

// The varint whose last byte is at `last` (high bit clear), its earlier bytes
// those before with the high bit set, as SQLite's varints lie; nothing when
// `last` has the high bit set. `first` gets where it starts.
std::optional<uint64_t> VarintEndingAt(const BufferView& view, int64_t last, int64_t& first) {
  if (last < 0 || (view.At(last) & 0x80)) return std::nullopt;
  first = last;
  while (first > 0 && last - first < 8 && (view.At(first - 1) & 0x80)) --first;
  uint64_t value = 0;
  for (int64_t at = first; at <= last; ++at) value = (value << 7) | (view.At(at) & 0x7F);
  return value;
}

int VarintLength(uint64_t value) {
  int length = 1;
  while (value >= 0x80 && length < 9) {
    value >>= 7;
    ++length;
  }
  return length;
}

bool EnoughNonNull(int64_t count, size_t width, int threshold) {
  const int64_t n = static_cast<int64_t>(width) - 1;
  return n <= 0 || 10 * count > threshold * n;
}

void SetType(TERM& column, uint64_t serial) {
  column.serial = serial;
  column.seg = SerialTypeKind(serial).size;
}

// The size of a whole cell starting at `at` (a cell freed after the one
// before it and merged into its freeblock, left as it was): its payload
// length and rowid, then a record whose header gives that payload length.
std::optional<uint64_t> WholeCellSize(const BufferView& view, int64_t at) {
  int payload_length = 0, rowid_length = 0;
  const uint64_t payload = VarintAt(view, at, view.size(), payload_length);
  if (payload_length == 0 || payload == 0 || payload > kMaxRecordSize) return std::nullopt;
  VarintAt(view, at + payload_length, view.size(), rowid_length);
  if (rowid_length == 0) return std::nullopt;
  const int64_t header_start = at + payload_length + rowid_length;
  int header_varint = 0;
  const uint64_t header = VarintAt(view, header_start, view.size(), header_varint);
  if (header_varint == 0 || header <= static_cast<uint64_t>(header_varint) || header > payload)
    return std::nullopt;
  const CellRecord cell = ReadCellRecord(view, header_start + header_varint - 1);
  if (cell.header_size != header || cell.record_size != payload) return std::nullopt;
  return static_cast<uint64_t>(payload_length + rowid_length) + payload;
}

// The sizes of the serial types a byte below 0x80 holds (nearly every one).
constexpr std::array<uint8_t, 0x80> kOneByteTypeSizes = [] {
  constexpr uint8_t kIntegerSizes[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  std::array<uint8_t, 0x80> sizes{};
  for (int serial = 0; serial < 0x80; ++serial)
    sizes[serial] = serial < 12 ? kIntegerSizes[serial] : static_cast<uint8_t>((serial - 12) / 2);
  return sizes;
}();

// The serial types of [p, end), each ending before `end`, added to `size`
// and counted in `columns`, as ReadVarint reads them; false when one runs
// past `end` or the record grows past kMaxRecordSize.
bool SumTypes(const uint8_t* p, const uint8_t* end, uint64_t& size, size_t& columns) {
  // One-byte types add at most 57 bytes each: their sum, tested at the end,
  // cannot wrap, and the record grows past the limit only once either way.
  while (p < end) {
    if (*p < 0x80) {
      size += kOneByteTypeSizes[*p++];
      ++columns;
      continue;
    }
    uint64_t serial = *p++ & 0x7F;
    for (int i = 1;; ++i) {
      if (p == end) return false;
      const uint8_t byte = *p++;
      serial = (serial << 7) | (byte & 0x7F);
      if (!(byte & 0x80) || i == 8) break;
    }
    serial &= 0x7FFFFFFFFFFFFFFFull;
    size += static_cast<uint64_t>(SerialTypeKind(serial).size);
    ++columns;
    if (size > kMaxRecordSize) return false;
  }
  return size <= kMaxRecordSize;
}

}  // namespace

namespace {

// The rowid of a cell whose record of `record_size` bytes starts at
// `header_start`: the rowid's varint ends before the header's, and the
// payload length before it is the record's size, written as SQLite writes
// it, or the cell is gone.
std::optional<int64_t> RowidBefore(const BufferView& view, int64_t header_start,
                                   uint64_t record_size) {
  int64_t rowid_start = 0;
  const std::optional<uint64_t> rowid = VarintEndingAt(view, header_start - 1, rowid_start);
  if (!rowid || view.At(rowid_start) == 0x80) return std::nullopt;  // 0x80 first: not as written
  uint8_t payload[9];
  const int length = sqlite_format::PutVarint(record_size, payload);
  if (rowid_start < length) return std::nullopt;
  for (int i = 0; i < length; ++i)
    if (view.At(rowid_start - length + i) != payload[i]) return std::nullopt;
  return static_cast<int64_t>(*rowid);
}

}  // namespace

CellRecord ReadCellRecord(const BufferView& view, int64_t position, bool one_byte_length) {
  CellRecord cell;
  int64_t start = position;
  const std::optional<uint64_t> header_size =
      one_byte_length ? (view.At(position) & 0x80 ? std::nullopt
                                                  : std::optional<uint64_t>(view.At(position)))
                      : VarintEndingAt(view, position, start);
  if (!header_size || *header_size <= static_cast<uint64_t>(position - start + 1) ||
      *header_size > kMaxRecordSize)
    return cell;
  const int64_t end = start + static_cast<int64_t>(*header_size);
  if (end > view.size()) return cell;
  uint64_t record_size = *header_size;
  size_t columns = 0;
  if (const uint8_t* types = view.Span(position + 1, end - position - 1)) {
    // The header in the window (nearly always): read in place.
    if (!SumTypes(types, types + (end - position - 1), record_size, columns)) return cell;
  } else {
    for (int64_t at = position + 1; at < end; ++columns) {
      const int64_t before = at;
      const uint64_t serial = ReadVarint(view, at);
      if (at == before || at > end) return cell;
      record_size += static_cast<uint64_t>(SerialTypeKind(serial).size);
      if (record_size > kMaxRecordSize) return cell;
    }
  }
  cell.header_size = *header_size;
  cell.record_size = record_size;
  cell.header_start = start;
  cell.columns = columns;
  cell.rowid = RowidBefore(view, start, record_size);
  return cell;
}

namespace {

// True iff the bytes ending at `last` may be SQLite's varint of some size from
// `least` to kMaxRecordSize: a payload length of one to five bytes (the
// largest size takes five), its last byte's high bit clear and the others'
// set, the first not 0x80 (as SQLite writes it).
bool MayEndPayloadLength(const BufferView& view, int64_t last, uint64_t least) {
  if (last < 0 || (view.At(last) & 0x80)) return false;
  uint64_t value = view.At(last);
  uint64_t scale = 0x80;
  for (int64_t first = last;;) {
    if (value >= least && value <= kMaxRecordSize && (first == last || view.At(first) != 0x80))
      return true;
    if (last - first == 4 || first == 0 || !(view.At(first - 1) & 0x80)) return false;
    --first;
    value += (view.At(first) & 0x7F) * scale;
    scale <<= 7;
  }
}

}  // namespace

std::optional<int64_t> CellRowid(const BufferView& view, int64_t position) {
  // ReadCellRecord's tests of the header length and the rowid, without the
  // serial types: the record is at least its header.
  int64_t start = position;
  const std::optional<uint64_t> header_size = VarintEndingAt(view, position, start);
  if (!header_size || *header_size <= static_cast<uint64_t>(position - start + 1) ||
      *header_size > kMaxRecordSize)
    return std::nullopt;
  int64_t rowid_start = 0;
  const std::optional<uint64_t> rowid = VarintEndingAt(view, start - 1, rowid_start);
  if (!rowid || view.At(rowid_start) == 0x80) return std::nullopt;
  if (!MayEndPayloadLength(view, rowid_start - 1, *header_size)) return std::nullopt;
  return ReadCellRecord(view, position).rowid;
}

std::optional<int64_t> MatchedCellRowid(const Match& match, const RecordSizes& sizes) {
  const BufferView& view = *match.view;
  const int64_t position = match.position;
  // A one-byte header length, its serial types exactly the match's: the
  // matched types take at least sizes.header_size - 1 bytes, so a body that
  // starts right after the header's length means they end there too.
  if (position < 1 || view.At(position - 1) >= 0x80) return CellRowid(view, position);
  const uint64_t header_size = view.At(position);
  if (header_size < 2 || header_size >= 0x80 || header_size != sizes.header_size ||
      match.body_start != position + static_cast<int64_t>(header_size))
    return CellRowid(view, position);
  // ReadCellRecord sums the same sizes, and gives up past kMaxRecordSize:
  // no field is larger, so the sum cannot have wrapped.
  if (sizes.largest_field > kMaxRecordSize || sizes.record_size > kMaxRecordSize)
    return std::nullopt;
  return RowidBefore(view, position, sizes.record_size);
}

RecordSizes SizesOf(const ColumnList& columns) {
  uint64_t types = 0, body = 0, largest = 0;
  for (const TERM& column : columns) {
    types += static_cast<uint64_t>(VarintLength(column.serial));
    const auto size = static_cast<uint64_t>(std::max<int64_t>(column.seg, 0));
    body += size;
    largest = std::max(largest, size);
  }
  RecordSizes sizes;
  sizes.largest_field = largest;
  sizes.header_size = types + static_cast<uint64_t>(VarintLength(types + 1));
  if (VarintLength(sizes.header_size) > VarintLength(types + 1)) ++sizes.header_size;
  sizes.record_size = sizes.header_size + body;
  return sizes;
}

RecordShaper::RecordShaper(const ColumnList& definition, size_t shared, int threshold,
                           bool narrower)
    : definition_(definition), threshold_(threshold), narrower_(narrower) {
  shared = std::min(shared, definition.size());
  scan_.assign(definition.begin(), definition.begin() + static_cast<ptrdiff_t>(shared));
  for (const TERM& column : definition) kinds_.push_back(column.tp);
}

bool RecordShaper::Fit(const ColumnList& shaped, size_t from, size_t to) const {
  for (size_t k = from; k < to; ++k) {
    if (shaped[k].serial == 0 || kinds_[k] == kAny) continue;
    if (SerialTypeKind(shaped[k].serial).kind != kinds_[k]) return false;
  }
  return true;
}

RecordShaper::TypesRead RecordShaper::ReadTypes(const BufferView& view, int64_t from,
                                                int64_t stop, size_t count,
                                                ColumnList& shaped) const {
  TypesRead read{0, from};
  const int64_t end = std::min(stop, view.size());
  if (const uint8_t* types = end > from ? view.Span(from, end - from) : nullptr) {
    // In the window (nearly always): read in place, as VarintAt reads.
    const uint8_t* p = types;
    const uint8_t* const last = types + (end - from);
    const size_t width = shaped.size();
    while (read.count < count && p < last) {
      uint64_t serial = *p;
      int64_t size = 0;
      int length = 1;
      if (serial < 0x80) {
        size = kOneByteTypeSizes[serial];
      } else {
        length = sqlite_format::GetVarint(p, last, serial);
        if (length == 0) break;
        size = SerialTypeKind(serial).size;
      }
      if (read.count < width) {
        shaped[read.count].serial = serial;
        shaped[read.count].seg = size;
      }
      read.body_size += static_cast<uint64_t>(size);
      ++read.count;
      p += length;
      read.end += length;
    }
    return read;
  }
  while (read.count < count && read.end < end) {
    int length = 0;
    const uint64_t serial = VarintAt(view, read.end, end, length);
    if (length == 0) break;
    if (read.count < shaped.size()) SetType(shaped[read.count], serial);
    read.body_size += static_cast<uint64_t>(SerialTypeKind(serial).size);
    ++read.count;
    read.end += length;
  }
  return read;
}

bool RecordShaper::Shape(const Match& match, const ColumnList& found, ColumnList& shaped,
                         ShapedRecord& record) const {
  if (shaped.size() != definition_.size()) shaped = definition_;
  if (!shapes()) {
    for (size_t k = 0; k < found.size() && k < shaped.size(); ++k) {
      shaped[k].serial = found[k].serial;
      shaped[k].seg = found[k].seg;
    }
    record.body_start = match.body_start;
    record.sizes = SizesOf(found);
    return true;
  }
  // The cell is read once for the strong rule and the weak one.
  const CellRecord cell = ReadCellRecord(*match.view, match.position);
  std::optional<CellRecord> one_byte;
  return ByHeaderLength(match, cell, one_byte, true, shaped, record) ||
         ByFreeblockSize(match, true, shaped, record) || ByDefinition(match, shaped, record) ||
         ByHeaderLength(match, cell, one_byte, false, shaped, record) ||
         ByFreeblockSize(match, false, shaped, record);
}

uint64_t RecordShaper::FreeblockSizeAt(const BufferView& view, int64_t cell_start) {
  return (uint64_t{view.At(cell_start + 2)} << 8) | view.At(cell_start + 3);
}

bool RecordShaper::ByHeaderLength(const Match& match, const CellRecord& cell,
                                  std::optional<CellRecord>& one_byte, bool strong,
                                  ColumnList& shaped, ShapedRecord& record) const {
  if (ByCell(match, cell, strong, shaped, record)) return true;
  // A header length of one byte after a freeblock header's size ending in a
  // byte with the high bit set.
  if (cell.header_start == match.position) return false;
  if (!one_byte) one_byte = ReadCellRecord(*match.view, match.position, true);
  return ByCell(match, *one_byte, strong, shaped, record);
}

bool RecordShaper::ByCell(const Match& match, const CellRecord& cell, bool strong,
                          ColumnList& shaped, ShapedRecord& record) const {
  const BufferView& view = *match.view;
  const size_t most = shaped.size() + kMaxExtraColumns;
  if (cell.header_size == 0 || cell.columns < scan_.size() || cell.columns > most) return false;
  const int64_t end = cell.header_start + static_cast<int64_t>(cell.header_size);
  const TypesRead read = ReadTypes(view, match.position + 1, end, most, shaped);
  if (read.count != cell.columns) return false;
  const size_t columns = std::min(read.count, shaped.size());
  if (!Fit(shaped, scan_.size(), columns)) return false;
  // A header length alone is one byte that chance bytes often fit: the cell
  // must be whole (its payload length agrees), or lie freed under a
  // freeblock header whose size is its own, of no more columns than the
  // definition (a few more where it may be narrower, held strongly).
  const size_t freed_most = shaped.size() + (narrower_ && strong ? kMaxGrowth : 0);
  bool sound = strong && cell.rowid.has_value();
  if (!cell.rowid && cell.columns <= freed_most) {
    for (int64_t prefix = kFreeblockHeader; !sound && prefix <= kMaxCellPrefix; ++prefix) {
      const int64_t cell_start = cell.header_start - prefix;
      if (cell_start < 0) break;
      const Holds holds =
          FreeblockHolds(view, cell_start, static_cast<uint64_t>(prefix) + cell.record_size,
                         FreeblockSizeAt(view, cell_start), strong);
      sound = strong ? holds == Holds::kStrongly : holds == Holds::kWeakly;
    }
  }
  if (!sound) return false;
  for (size_t k = columns; k < shaped.size(); ++k) SetType(shaped[k], 0);
  record.body_start = end;
  record.sizes = {cell.header_size, cell.record_size};
  return true;
}

RecordShaper::Holds RecordShaper::FreeblockHolds(const BufferView& view, int64_t cell_start,
                                                 uint64_t cell_size, uint64_t freeblock_size,
                                                 bool strong_only) {
  if (freeblock_size < cell_size) return Holds::kNo;
  uint64_t rest = freeblock_size - cell_size;
  int64_t at = cell_start + static_cast<int64_t>(cell_size);
  if (rest == 0) return Holds::kStrongly;
  if (at + kFreeblockHeader <= view.size() && FreeblockSizeAt(view, at) == rest)
    return Holds::kStrongly;
  if (strong_only) return Holds::kNo;
  for (int merged = 0; merged <= kMaxMergedCells; ++merged) {
    if (rest == 0) return Holds::kWeakly;
    // What follows within 3 bytes (a fragment SQLite absorbs): a freeblock
    // whose size is the rest, or a cell freed later, left whole.
    bool next = false;
    for (uint64_t gap = 0; gap <= 3 && gap < rest && !next; ++gap) {
      const int64_t block = at + static_cast<int64_t>(gap);
      if (block + kFreeblockHeader > view.size()) return Holds::kNo;
      if (FreeblockSizeAt(view, block) == rest - gap) return Holds::kWeakly;
      const std::optional<uint64_t> size = WholeCellSize(view, block);
      if (!size || *size > rest - gap) continue;
      rest -= gap + *size;
      at = block + static_cast<int64_t>(*size);
      next = true;
    }
    if (!next) return Holds::kNo;
  }
  return Holds::kNo;
}

bool RecordShaper::ByFreeblockSize(const Match& match, bool strong, ColumnList& shaped,
                                   ShapedRecord& record) const {
  const BufferView& view = *match.view;
  const int64_t position = match.position;
  // The freeblock header covered the payload length and rowid (3 bytes
  // together) and the header length: its size's two bytes end at the match.
  if (position < kFreeblockHeader - 1) return false;
  const int64_t cell_start = position - (kFreeblockHeader - 1);
  const uint64_t freeblock_size = FreeblockSizeAt(view, cell_start);
  const size_t width = shaped.size(), shared = scan_.size();
  // A definition that may be narrower than the records: a few more columns.
  const size_t most = narrower_ && strong ? width + kMaxGrowth : width;
  const int64_t types_start = position + 1;
  int64_t at = types_start;
  uint64_t body_size = 0;
  size_t agreeing = most + 1;  // the column count that agrees, if one does
  for (size_t k = 0; k < most; ++k) {
    int length = 0;
    const uint64_t serial = VarintAt(view, at, view.size(), length);
    if (length == 0) return false;
    TERM column;
    SetType(column, serial);
    if (k < width) {
      shaped[k].serial = column.serial;
      shaped[k].seg = column.seg;
      if (k >= shared && !Fit(shaped, k, k + 1)) break;
    }
    at += length;
    body_size += static_cast<uint64_t>(column.seg);
    if (k + 1 < shared) continue;
    // A header of k + 1 serial types, with its one-byte length.
    const uint64_t header_length = static_cast<uint64_t>(at - types_start) + 1;
    if (header_length >= 0x80) break;
    const uint64_t record_size = header_length + body_size;
    // The payload length and rowid took 3 bytes: the payload length 1 or 2.
    if (VarintLength(record_size) > 2) break;
    const Holds holds = FreeblockHolds(view, cell_start, 3 + record_size, freeblock_size, strong);
    if (holds == Holds::kNo || (strong && holds != Holds::kStrongly)) continue;
    if (agreeing <= most) return false;  // two counts agree: neither is known
    agreeing = k + 1;
    record.body_start = at;
    record.sizes = {header_length, record_size};
  }
  if (agreeing > most) return false;
  // Read again: the loop read past the count that agreed.
  const TypesRead read = ReadTypes(view, types_start, record.body_start, agreeing, shaped);
  if (read.count != agreeing) return false;
  for (size_t k = agreeing; k < width; ++k) SetType(shaped[k], 0);
  return true;
}

bool RecordShaper::ByDefinition(const Match& match, ColumnList& shaped,
                                ShapedRecord& record) const {
  const BufferView& view = *match.view;
  const TypesRead read =
      ReadTypes(view, match.position + 1, view.size(), shaped.size(), shaped);
  // Past the buffer's end serial types read as NULL, as MatchHeader reads them.
  if (read.count < shaped.size() && read.end < view.size()) return false;
  for (size_t k = read.count; k < shaped.size(); ++k) SetType(shaped[k], 0);
  if (!Fit(shaped, scan_.size(), shaped.size())) return false;
  int64_t non_null = 0;
  for (const TERM& column : shaped) non_null += column.serial != 0;
  if (!EnoughNonNull(non_null, shaped.size(), threshold_)) return false;
  record.body_start = read.end;
  record.sizes = SizesOf(shaped);
  return true;
}

}  // namespace quarrow
