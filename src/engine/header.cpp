#include "engine/header.h"

#include <vector>

namespace quarrow {

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

SerialTypeInfo SerialTypeKind(uint64_t serial_type) {
  static constexpr int64_t kIntegerSizes[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  if (serial_type == 0) return {kNone, 0};
  if (serial_type < 12) return {kInteger, kIntegerSizes[serial_type]};
  int64_t v = static_cast<int64_t>(serial_type);  // below 2^63: no overflow
  if (serial_type % 2 == 0) return {kBlob, (v - 12) / 2};
  return {kText, (v - 13) / 2};
}

bool MatchHeader(const BufferView& buffer, ColumnList& columns, int threshold,
                 int64_t& cursor) {
  int64_t pos = cursor;
  int64_t count = 0;
  const int64_t n = static_cast<int64_t>(columns.size()) - 1;
  for (TERM& column : columns) {
    uint64_t serial = ReadVarint(buffer, pos);
    column.serial = serial;
    if (serial == 0) {
      column.seg = 0;
      continue;
    }
    SerialTypeInfo info = SerialTypeKind(serial);
    column.seg = info.size;
    if (info.kind != column.tp) return false;
    ++count;
  }
  // count > n x threshold, with the threshold in tenths: exact in whole numbers.
  if (n <= 0 || 10 * count > threshold * n) {
    cursor = pos;
    return true;
  }
  return false;
}

std::string ReadCellPrefix(const BufferView& buffer, int64_t position, int count) {
  // Values are found newest first and printed oldest first.
  std::vector<std::string> values;
  int64_t p = position;
  while (static_cast<int>(values.size()) < count) {
    if (p < 0) {
      // The value would start before the buffer: an empty field keeps the count.
      values.emplace_back();
      continue;
    }
    // The byte before position 0 counts as one with its high bit clear.
    if (p > 0 && (buffer.At(p - 1) & 0x80) != 0) {
      --p;
      continue;
    }
    int64_t at = p;
    values.push_back(std::to_string(ReadVarint(buffer, at)));
    --p;
  }
  std::string text;
  for (auto value = values.rbegin(); value != values.rend(); ++value) {
    text += *value;
    text += '\t';
  }
  return text;
}

}  // namespace quarrow
