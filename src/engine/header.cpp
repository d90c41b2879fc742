#include "engine/header.h"

#include <algorithm>

#include "engine/line_buffer.h"

namespace quarrow {

void AppendDecimal(uint64_t value, std::string& out) {
  char digits[24];
  out.append(digits, WriteDecimal(value, digits));
}

void AppendDecimal(int64_t value, std::string& out) {
  char digits[24];
  out.append(digits, WriteSignedDecimal(value, digits));
}

uint64_t ReadVarint(const BufferView& buffer, int64_t& cursor) {
  if (cursor >= buffer.size()) return 0;
  uint64_t value = 0;
  for (int i = 0; i < 9; ++i) {
    uint8_t byte = buffer.At(cursor);
    value = (value << 7) | (byte & 0x7F);
    ++cursor;
    if ((byte & 0x80) == 0) break;
  }
  return value & 0x7FFFFFFFFFFFFFFFull;
}

namespace {

// Decodes one varint from bytes known to hold nine more; advances `at`.
inline uint64_t DecodeVarint(const uint8_t*& at) {
  uint64_t value = 0;
  for (int i = 0; i < 9; ++i) {
    uint8_t byte = *at++;
    value = (value << 7) | (byte & 0x7F);
    if ((byte & 0x80) == 0) break;
  }
  return value & 0x7FFFFFFFFFFFFFFFull;
}

// count > n x threshold, with n the high index of a list of `width` columns and
// the threshold in tenths: exact in whole numbers. Lists of one column or none
// fit whatever the count.
bool EnoughNonNull(int64_t count, size_t width, int threshold) {
  const int64_t n = static_cast<int64_t>(width) - 1;
  return n <= 0 || 10 * count > threshold * n;
}

}  // namespace

HeaderMatcher::HeaderMatcher(const ColumnList& columns, int threshold)
    : threshold_(threshold) {
  for (const TERM& column : columns) kinds_.push_back(column.tp);
  // A first byte of 0 is NULL, one of 0x80 or more starts a longer varint:
  // both may fit; any other byte is a whole serial type with its own kind.
  auto accepts = [&](size_t k, int byte) {
    if (byte == 0 || byte >= 0x80 || k >= kinds_.size() || kinds_[k] == kAny) return true;
    return SerialTypeKind(static_cast<uint64_t>(byte)).kind == kinds_[k];
  };
  for (int byte = 0; byte < 128; ++byte) {
    const SerialTypeInfo info = SerialTypeKind(static_cast<uint64_t>(byte));
    byte_kind_[byte] = info.kind;
    byte_size_[byte] = info.size;
  }
  for (int byte = 0; byte < 256; ++byte) {
    accept_first_[byte] = accepts(0, byte);
    accept_second_[byte] = accepts(1, byte);
  }
  for (size_t k = 0; k < kinds_.size() && k < 64; ++k) {
    const uint64_t bit = uint64_t{1} << k;
    const int32_t kind = kinds_[k];
    lanes_ |= bit;
    if (kind == kInteger || kind == kAny) accept_integer_ |= bit;
    if (kind == kText || kind == kAny) accept_text_ |= bit;
    if (kind == kBlob || kind == kAny) accept_blob_ |= bit;
  }
  for (int k = 0; k < kLeadLanes && k < static_cast<int>(kinds_.size()); ++k) {
    auto all_if = [](bool refuses) { return refuses ? ~uint64_t{0} : 0; };
    lead_refuses_integer_[k] = all_if(((accept_integer_ >> k) & 1) == 0);
    lead_refuses_text_[k] = all_if(((accept_text_ >> k) & 1) == 0);
    lead_refuses_blob_[k] = all_if(((accept_blob_ >> k) & 1) == 0);
  }
  lane_count_ = CountBits(lanes_);
  whole_in_lanes_ = kinds_.size() <= 64;
  while (!EnoughNonNull(min_non_null_)) ++min_non_null_;
}

bool HeaderMatcher::EnoughNonNull(int64_t count) const {
  return quarrow::EnoughNonNull(count, kinds_.size(), threshold_);
}

bool HeaderMatcher::Match(const BufferView& buffer, ColumnList& columns, int64_t& cursor,
                          const ClassVerdict& verdict) {
  if (!verdict.fits) return false;
  const size_t width = kinds_.size();
  const uint8_t* start = buffer.Span(cursor, 9 * static_cast<int64_t>(width));
  if (start == nullptr) return MatchHeader(buffer, columns, threshold_, cursor);
  // The serial types the verdict vouches for are one byte each; most of the
  // rest are too, and most candidates fail within a few.
  const size_t known = static_cast<size_t>(verdict.known);
  const uint8_t* at = start + known;
  int64_t count = verdict.non_null;
  for (size_t k = known; k < width; ++k) {
    int32_t kind;
    if (*at < 0x80) {
      kind = byte_kind_[*at++];
    } else {
      kind = SerialTypeKind(DecodeVarint(at)).kind;
    }
    if (kind == kNone) continue;
    if (kind != kinds_[k] && kinds_[k] != kAny) return false;
    ++count;
  }
  if (!EnoughNonNull(count)) return false;
  // A fit is rare: read the serial types again, now for the columns.
  if (at == start + width) {
    for (size_t k = 0; k < width; ++k) {
      columns[k].serial = start[k];
      columns[k].seg = byte_size_[start[k]];
    }
  } else {
    at = start;
    for (TERM& column : columns) {
      column.serial = DecodeVarint(at);
      column.seg = SerialTypeKind(column.serial).size;
    }
  }
  cursor += at - start;
  return true;
}

bool MatchHeader(const BufferView& buffer, ColumnList& columns, int threshold,
                 int64_t& cursor) {
  int64_t pos = cursor;
  int64_t count = 0;
  for (TERM& column : columns) {
    column.serial = ReadVarint(buffer, pos);
    SerialTypeInfo info = SerialTypeKind(column.serial);
    column.seg = info.size;
    if (column.serial == 0) continue;  // NULL fits any column, and counts not
    if (info.kind != column.tp && column.tp != kAny) return false;
    ++count;
  }
  if (!EnoughNonNull(count, columns.size(), threshold)) return false;
  cursor = pos;
  return true;
}

namespace {

// The varints in front of a header, newest first, with where each starts.
constexpr int kMaxPrefixCount = 16;
struct PrefixWalk {
  uint64_t values[kMaxPrefixCount];
  int64_t starts[kMaxPrefixCount];
  bool missing[kMaxPrefixCount];
};

// WalkCellPrefix where the window holds the bytes around the position:
// false when the walk would leave them, and the caller walks the slow way.
bool WalkCellPrefixInWindow(const BufferView& buffer, int64_t position, int count,
                            PrefixWalk& walk) {
  constexpr int64_t kBack = 48, kAhead = 10;
  if (position < kBack) return false;
  const uint8_t* bytes = buffer.Span(position - kBack, kBack + kAhead);
  if (bytes == nullptr) return false;
  const uint8_t* const at_position = bytes + kBack;
  int64_t p = 0;  // relative to the position
  for (int found = 0; found < count;) {
    if (p <= -kBack) return false;
    if ((at_position[p - 1] & 0x80) != 0) {
      --p;
      continue;
    }
    const uint8_t* at = at_position + p;
    walk.missing[found] = false;
    walk.starts[found] = position + p;
    walk.values[found++] = DecodeVarint(at);
    --p;
  }
  return true;
}

int WalkCellPrefix(const BufferView& buffer, int64_t position, int count,
                   PrefixWalk& walk) {
  count = std::min(count, kMaxPrefixCount);
  if (WalkCellPrefixInWindow(buffer, position, count, walk)) return count;
  int found = 0;
  int64_t p = position;
  while (found < count) {
    // A value that would start before the buffer is missing: an empty field.
    walk.missing[found] = p < 0;
    if (p < 0) {
      ++found;
      continue;
    }
    // The byte before position 0 counts as one with its high bit clear.
    if (p > 0 && (buffer.At(p - 1) & 0x80) != 0) {
      --p;
      continue;
    }
    int64_t at = p;
    walk.starts[found] = p;
    walk.values[found++] = ReadVarint(buffer, at);
    --p;
  }
  return count;
}

// Adds `size` to `total` unless that passes `limit`; false then.
bool AddWithin(uint64_t& total, uint64_t size, uint64_t limit) {
  if (size > limit || total > limit - size) return false;
  total += size;
  return true;
}

}  // namespace

void AppendCellPrefix(const BufferView& buffer, int64_t position, int count,
                      std::string& out) {
  // Values are found newest first and printed oldest first.
  PrefixWalk walk;
  count = WalkCellPrefix(buffer, position, count, walk);
  // Written into a local line and appended once: every match has a prefix.
  char text[kMaxPrefixCount * 21];
  char* end = text;
  for (int i = count - 1; i >= 0; --i) {
    if (!walk.missing[i]) end = WriteDecimal(walk.values[i], end);
    *end++ = '\t';
  }
  out.append(text, end);
}

int64_t RecordBodyStart(const BufferView& buffer, int64_t position, int64_t cursor,
                        const ColumnList& columns) {
  constexpr int kHeaderLength = 0, kPayloadLength = 2;
  constexpr int kMaxExtraColumns = 2000;
  // Most matches have a one-byte header length whose header ends at or before
  // the cursor: no walk needed.
  const uint8_t first = buffer.At(position);
  if (first < 0x80 && (position == 0 || (buffer.At(position - 1) & 0x80) == 0) &&
      position + first <= cursor)
    return cursor;
  PrefixWalk walk;
  WalkCellPrefix(buffer, position, 3, walk);
  if (walk.missing[kPayloadLength]) return cursor;
  const int64_t start = walk.starts[kHeaderLength];
  const uint64_t header_length = walk.values[kHeaderLength];
  // The common case, a record with exactly the list's columns, ends here.
  if (header_length > static_cast<uint64_t>(buffer.size() - start)) return cursor;
  const int64_t end = start + static_cast<int64_t>(header_length);
  if (end <= cursor) return cursor;

  const uint64_t payload = walk.values[kPayloadLength];
  uint64_t total = header_length;
  if (total > payload) return cursor;
  for (const TERM& column : columns) {
    if (!AddWithin(total, static_cast<uint64_t>(column.seg), payload)) return cursor;
  }
  // The window usually holds the header: read the extra serial types there.
  if (const uint8_t* bytes = buffer.Span(cursor, end - cursor + 9)) {
    const uint8_t* at = bytes;
    const uint8_t* const stop = bytes + (end - cursor);
    for (int extra = 0; at < stop; ++extra) {
      if (extra == kMaxExtraColumns) return cursor;
      const uint64_t size = static_cast<uint64_t>(SerialTypeKind(DecodeVarint(at)).size);
      if (!AddWithin(total, size, payload)) return cursor;
    }
    return at == stop && total == payload ? end : cursor;
  }
  int64_t at = cursor;
  for (int extra = 0; at < end; ++extra) {
    if (extra == kMaxExtraColumns) return cursor;
    int64_t before = at;
    uint64_t size = static_cast<uint64_t>(SerialTypeKind(ReadVarint(buffer, at)).size);
    if (at == before || !AddWithin(total, size, payload)) return cursor;
  }
  return at == end && total == payload ? end : cursor;
}

std::string ReadCellPrefix(const BufferView& buffer, int64_t position, int count) {
  std::string text;
  AppendCellPrefix(buffer, position, count, text);
  return text;
}

}  // namespace quarrow
