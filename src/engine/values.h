// Rendering of a matched record's fields into the column list's values.
// Never throws; reads only inside the buffer.
#ifndef QUARROW_ENGINE_VALUES_H_
#define QUARROW_ENGINE_VALUES_H_

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/line_buffer.h"

namespace quarrow {

// A TEXT value keeps at most this many bytes; no page holds more of one record.
constexpr int64_t kMaxTextBytes = 65536;

// `bytes` as an unsigned big-endian number, wrapping in 64 bits; empty gives 0.
inline uint64_t BigEndianToInt(std::string_view bytes) {
  uint64_t value = 0;
  for (char c : bytes) value = (value << 8) | static_cast<uint8_t>(c);
  return value;
}

// Reads `text`, decimal digits alone, as a number of at most INT64_MAX into
// `value`; false for anything else (empty, a sign, a space, too large).
bool ParseDecimal(std::string_view text, int64_t& value);

// Renders every column's field, the body starting at `body_start`, into its
// value, by the column's kind and the serial type MatchHeader found:
// INTEGER as a signed decimal (8 is "0", 9 is "1", 7 a "%.15g" double, NULL "0"),
// BLOB as "BLOB", TEXT as its bytes (at most kMaxTextBytes) with control bytes
// turned into spaces, kind 0 as empty, kAny by the serial type's own kind
// (NULL empty). A field cut by the buffer's end keeps the
// bytes that are there.
void ExtractValues(const BufferView& buffer, int64_t body_start, ColumnList& columns);

// Appends one column's value, rendered as ExtractValues renders it, to `out`;
// its field starts at `field_start` (see FieldStarts). For callers that render
// straight into their own text instead of into the columns' values.
void AppendColumnValue(const BufferView& buffer, int64_t field_start, const TERM& column,
                       std::string& out);

// The widest integer rendering: a double's "%.15g" ("-1.23456789012345e-308")
// or a 64-bit decimal, with room to spare.
constexpr size_t kMaxIntegerText = 32;

// At most the bytes AppendColumnValue appends for `column` (as matched).
inline size_t RenderedSizeBound(const TERM& column) {
  const int64_t seg = column.seg < 0 ? 0 : column.seg;
  const auto text = static_cast<size_t>(seg < kMaxTextBytes ? seg : kMaxTextBytes);
  switch (column.tp) {
    case kInteger:
      return kMaxIntegerText;
    case kBlob:
      return 4;
    case kText:
      return text;
    case kAny:
      return text > kMaxIntegerText ? text : kMaxIntegerText;
    default:
      return 0;
  }
}

// Copies a text's bytes to `out` (which may be `from` itself), control bytes
// turned into spaces: they would break the tab-separated lines the value ends
// up in. One comparison and an unconditional store a byte: vector code.
inline char* CopyText(const uint8_t* from, size_t size, char* out) {
  for (size_t i = 0; i < size; ++i) out[i] = from[i] < 0x20 ? ' ' : static_cast<char>(from[i]);
  return out + size;
}

// Reads the number a column's value renders as, without rendering it, when
// that value is a plain decimal integer or empty (read as 0): an integer
// column's value other than a double's, or an integer or NULL in a column of
// no declared type. Returns false otherwise (texts, doubles, a field cut by the
// buffer's end or lying outside the view's window): the caller then renders the
// value.
inline bool ReadIntegerValue(const BufferView& buffer, int64_t field_start, const TERM& column,
                             int64_t& value) {
  value = 0;
  if (column.tp != kInteger && column.tp != kAny) return false;
  const uint64_t serial = column.serial;
  // NULL, 8, 10 and 11 have no content and render as 0; 9 is the value 1.
  if (serial == 0 || serial == 8 || serial == 10 || serial == 11) return true;
  if (serial == 9) {
    value = 1;
    return true;
  }
  if (serial == 7 || serial > 11) return false;
  const int64_t size = column.seg;  // 1, 2, 3, 4, 6 or 8 bytes, big-endian
  const uint8_t* bytes = buffer.Span(field_start, size);
  if (bytes == nullptr) return false;
  uint64_t raw = 0;
  for (int64_t i = 0; i < size; ++i) raw = (raw << 8) | bytes[i];
  const int shift = 64 - 8 * static_cast<int>(size);
  value = static_cast<int64_t>(raw << shift) >> shift;
  return true;
}

// WriteColumnValue for the values that need more than a copy or a plain
// integer's digits, or whose field the view's window does not hold.
char* WriteColumnValueSlow(const BufferView& buffer, int64_t field_start, const TERM& column,
                           char* out);

// Writes the column's value, as AppendColumnValue renders it, at `out`, which
// has room for RenderedSizeBound(column) bytes; returns the end of what it
// wrote. For formatters that size a whole line once and fill it in place; the
// common values (a text, an integer of 1 to 6 bytes, in the window) inline.
inline char* WriteColumnValue(const BufferView& buffer, int64_t field_start, const TERM& column,
                              char* out) {
  if (column.tp == kText) {
    const int64_t size = column.seg < kMaxTextBytes ? column.seg : kMaxTextBytes;
    if (size <= 0) return out;
    if (const uint8_t* bytes = buffer.Span(field_start, size))
      return CopyText(bytes, static_cast<size_t>(size), out);
  } else if (column.tp == kInteger) {
    int64_t value;
    if (ReadIntegerValue(buffer, field_start, column, value)) return WriteSignedDecimal(value, out);
  }
  return WriteColumnValueSlow(buffer, field_start, column, out);
}


// Where the field after one of `seg` bytes at `from` starts, `end` being the
// buffer's size. Sizes come from stray bytes too: clamped, never overflowing.
inline int64_t NextFieldStart(int64_t from, int64_t seg, int64_t end) {
  return seg >= end - from ? end : from + seg;
}

// Where each of the first `count` columns' fields starts for a body at
// `body_start`, as ExtractValues walks them, into starts[0] to [count - 1].
inline void FieldStarts(const BufferView& buffer, int64_t body_start, const ColumnList& columns,
                        size_t count, int64_t* starts) {
  const int64_t end = buffer.size();
  // Most records lie whole in the buffer: their starts are plain sums, and the
  // clamps below would change nothing.
  if (body_start >= 0) {
    // Summed unsigned: sizes from stray bytes may be huge, and a sum that
    // wraps is thrown away below with them.
    uint64_t from = static_cast<uint64_t>(body_start);
    uint64_t sizes = 0;  // every size's bits: a negative or huge one shows
    for (size_t k = 0; k < count; ++k) {
      starts[k] = static_cast<int64_t>(from);
      const auto seg = static_cast<uint64_t>(columns[k].seg);
      sizes |= seg;
      from += seg;
    }
    if (sizes < (uint64_t{1} << 40) && from <= static_cast<uint64_t>(end)) return;
  }
  int64_t from = body_start < 0 ? 0 : (body_start > end ? end : body_start);
  for (size_t k = 0; k < count; ++k) {
    starts[k] = from;
    from = NextFieldStart(from, columns[k].seg, end);
  }
}

// The same for every column.
void FieldStarts(const BufferView& buffer, int64_t body_start, const ColumnList& columns,
                 std::vector<int64_t>& starts);

// The same, rendering only the columns whose entry in `wanted` is not 0 (a
// shorter list wants none of the columns past its end); the others' values are
// left empty. For callers that print "null" for suppressed columns, or leave
// some columns out, and need not pay for rendering them.
void ExtractValues(const BufferView& buffer, int64_t body_start, ColumnList& columns,
                   const std::vector<uint8_t>& wanted);

}  // namespace quarrow

#endif  // QUARROW_ENGINE_VALUES_H_
