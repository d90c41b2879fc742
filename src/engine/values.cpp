#include "engine/values.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>

#include "engine/header.h"
#include "text_rule/text_rule.h"

namespace quarrow {

bool ParseDecimal(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > static_cast<uint64_t>(INT64_MAX)) return false;
  value = static_cast<int64_t>(number);
  return true;
}

namespace {

std::string FormatDouble(double number) {
  if (std::isnan(number)) return "nan";
  if (std::isinf(number)) return number < 0 ? "-inf" : "inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", number);
  return text;
}

// Appends an INTEGER column's field to `value`, rendered by the serial type
// the header gave.
void RenderInteger(const BufferView& buffer, int64_t from, const TERM& column,
                   std::string& value) {
  if (column.serial == 9) {
    value += '1';  // the value 1 lives in the header, not the body
    return;
  }
  // NULL, 8 (the value 0), 10 and 11 have no content.
  const int64_t available = std::min(column.seg, buffer.size() - from);
  uint64_t raw = 0;
  for (int64_t i = 0; i < available; ++i) raw = (raw << 8) | buffer.At(from + i);
  if (available < column.seg) {
    AppendDecimal(raw, value);  // cut short by the buffer's end: unsigned
  } else if (column.serial == 7) {
    value += FormatDouble(std::bit_cast<double>(raw));
  } else if (column.seg == 0) {
    value += '0';
  } else {
    int shift = 64 - 8 * static_cast<int>(column.seg);
    AppendDecimal(static_cast<int64_t>(raw << shift) >> shift, value);
  }
}

void RenderText(const BufferView& buffer, int64_t from, int64_t size,
                std::string& value) {
  const size_t before = value.size();
  buffer.AppendTo(from, std::min(size, kMaxTextBytes), value);
  char* const text = value.data() + before;
  CopyText(reinterpret_cast<const uint8_t*>(text), value.size() - before, text);
}

// A column of no declared type renders what the serial type holds; NULL
// stays empty, since no declared kind asks for "0".
void RenderAny(const BufferView& buffer, int64_t from, const TERM& column,
               std::string& value) {
  switch (SerialTypeKind(column.serial).kind) {
    case kInteger:
      RenderInteger(buffer, from, column, value);
      break;
    case kBlob:
      value.append("BLOB");
      break;
    case kText:
      RenderText(buffer, from, column.seg, value);
      break;
    default:
      break;
  }
}

template <typename Wanted>
void RenderColumns(const BufferView& buffer, int64_t body_start, ColumnList& columns,
                   Wanted&& wanted) {
  const int64_t end = buffer.size();
  int64_t from = std::min(std::max<int64_t>(body_start, 0), end);
  for (size_t k = 0; k < columns.size(); ++k) {
    TERM& column = columns[k];
    column.value.clear();
    if (wanted(k)) AppendColumnValue(buffer, from, column, column.value);
    from = NextFieldStart(from, column.seg, end);
  }
}

}  // namespace

void AppendColumnValue(const BufferView& buffer, int64_t field_start, const TERM& column,
                       std::string& out) {
  switch (column.tp) {
    case kInteger:
      RenderInteger(buffer, field_start, column, out);
      break;
    case kBlob:
      out.append("BLOB");
      break;
    case kText:
      RenderText(buffer, field_start, column.seg, out);
      break;
    case kAny:
      RenderAny(buffer, field_start, column, out);
      break;
    default:
      break;
  }
}

namespace {

// The value rendered the general way and copied: fields cut by the window or
// the buffer's end, and doubles, are rare.
char* WriteRendered(const BufferView& buffer, int64_t field_start, const TERM& column,
                    char* out) {
  thread_local std::string text;
  text.clear();
  AppendColumnValue(buffer, field_start, column, text);
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

char* WriteInteger(const BufferView& buffer, int64_t field_start, const TERM& column,
                   char* out) {
  int64_t value;
  if (column.serial == 7 || !ReadIntegerValue(buffer, field_start, column, value))
    return WriteRendered(buffer, field_start, column, out);
  return WriteSignedDecimal(value, out);
}

}  // namespace

char* WriteColumnValueSlow(const BufferView& buffer, int64_t field_start, const TERM& column,
                           char* out) {
  int32_t kind = column.tp;
  if (kind == kAny) {
    if (column.serial == 0) return out;  // NULL renders as nothing here
    kind = SerialTypeKind(column.serial).kind;
  }
  switch (kind) {
    case kInteger:
      return WriteInteger(buffer, field_start, column, out);
    case kBlob:
      std::memcpy(out, "BLOB", 4);
      return out + 4;
    case kText: {
      const int64_t size = std::min(column.seg, kMaxTextBytes);
      if (size <= 0) return out;
      if (const uint8_t* bytes = buffer.Span(field_start, size))
        return CopyText(bytes, static_cast<size_t>(size), out);
      return WriteRendered(buffer, field_start, column, out);
    }
    default:
      return out;
  }
}

void FieldStarts(const BufferView& buffer, int64_t body_start, const ColumnList& columns,
                 std::vector<int64_t>& starts) {
  starts.resize(columns.size());
  FieldStarts(buffer, body_start, columns, columns.size(), starts.data());
}

void ExtractValues(const BufferView& buffer, int64_t body_start, ColumnList& columns) {
  RenderColumns(buffer, body_start, columns, [](size_t) { return true; });
}

void ExtractValues(const BufferView& buffer, int64_t body_start, ColumnList& columns,
                   const std::vector<uint8_t>& wanted) {
  RenderColumns(buffer, body_start, columns,
                [&](size_t k) { return k < wanted.size() && wanted[k] != 0; });
}

}  // namespace quarrow
