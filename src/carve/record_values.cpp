#include "carve/record_values.h"

#include <algorithm>
#include <cstring>

#include "engine/values.h"
#include "pagemap/sqlite_format.h"

namespace quarrow {

namespace {

// A big-endian two's-complement integer of 1 to 8 bytes.
inline int64_t SignedBigEndian(std::string_view bytes) {
  uint64_t value = BigEndianToInt(bytes);
  const unsigned bits = static_cast<unsigned>(bytes.size() * 8);
  if (bits > 0 && bits < 64 && (value >> (bits - 1)) & 1) value |= ~uint64_t{0} << bits;
  return static_cast<int64_t>(value);
}

// The value of serial type `type` whose bytes are `bytes` (all of them, or
// for a text or blob cut short, those there are). Decoded in place: reports
// decode records by the million.
inline void StoredValue(uint64_t type, std::string_view bytes, RecordValue& value) {
  if (type == 0) {
    value.kind = RecordValue::Kind::kNull;
  } else if (type == 8 || type == 9) {
    value.kind = RecordValue::Kind::kInteger;
    value.integer = type == 9;
  } else if (type == 7) {
    value.kind = RecordValue::Kind::kReal;
    const uint64_t bits = BigEndianToInt(bytes);  // all 8 bytes
    std::memcpy(&value.real, &bits, sizeof bits);
  } else if (type < 12) {
    value.kind = RecordValue::Kind::kInteger;
    value.integer = SignedBigEndian(bytes);
  } else {
    value.kind = (type & 1) ? RecordValue::Kind::kText : RecordValue::Kind::kBlob;
    value.bytes = bytes;
  }
}

RecordValue DefaultValue(const FitColumn& column) {
  RecordValue value;
  if (!column.default_value) return value;
  const std::string& text = *column.default_value;
  value.bytes = text;
  value.kind = RecordValue::Kind::kText;
  if (!column.default_is_text) {
    char* end = nullptr;
    const long long integer = std::strtoll(text.c_str(), &end, 10);
    if (end && *end == '\0') {
      value.kind = RecordValue::Kind::kInteger;
      value.integer = integer;
    } else {
      value.kind = RecordValue::Kind::kReal;
      value.real = std::strtod(text.c_str(), nullptr);
    }
  }
  if (value.kind == RecordValue::Kind::kInteger && column.affinity == Affinity::kReal) {
    value.kind = RecordValue::Kind::kReal;
    value.real = static_cast<double>(value.integer);
  }
  return value;
}

}  // namespace

std::vector<RecordValue> DecodeRecord(const CarvedRecord& record, const FitTable& table,
                                      std::vector<std::string>&) {
  std::vector<RecordValue> values;
  DecodeRecordInto(record, table, values);
  return values;
}

void DecodeRecordInto(const CarvedRecord& record, const FitTable& table,
                      std::vector<RecordValue>& values) {
  const size_t columns = table.columns.size();
  values.resize(columns);  // every value is set below
  const std::string_view bytes = record.record;
  const size_t stored = std::min(columns, record.types.size());
  uint64_t at = record.header_size;
  for (size_t i = 0; i < stored; ++i) {
    RecordValue& value = values[i];
    const uint64_t type = record.types[i];
    const uint64_t size = sqlite_format::SerialTypeSize(type);
    const uint8_t lost = record.lost[i];
    if (static_cast<int>(i) == table.rowid_column) {
      value.kind = record.rowid ? RecordValue::Kind::kInteger : RecordValue::Kind::kLost;
      value.integer = record.rowid.value_or(0);
    } else if (lost == 2 && at < bytes.size()) {
      StoredValue(type, bytes.substr(at), value);
    } else if (lost || at + size > bytes.size()) {
      value.kind = RecordValue::Kind::kLost;
    } else {
      StoredValue(type, bytes.substr(at, size), value);
      // REAL affinity reads integers it stored as doubles.
      if (table.columns[i].affinity == Affinity::kReal && value.kind == RecordValue::Kind::kInteger) {
        value.kind = RecordValue::Kind::kReal;
        value.real = static_cast<double>(value.integer);
      }
    }
    at += size;
  }
  // Columns the record is too old to hold read as SQLite reads them.
  for (size_t i = stored; i < columns; ++i) values[i] = DefaultValue(table.columns[i]);
}

}  // namespace quarrow
