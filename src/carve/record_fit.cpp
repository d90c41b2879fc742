#include "carve/record_fit.h"

#include <algorithm>
#include <cctype>

#include "pagemap/sqlite_format.h"

namespace quarrow {

namespace {

bool Holds(const std::string& upper, const char* word) {
  return upper.find(word) != std::string::npos;
}

// Serial types 1 to 9 with a number: 1-6 integers, 7 a double, 8 and 9 the
// integers 0 and 1.
constexpr uint16_t kNumberTypes = 0x3FE;

void SetTypes(FitColumn& column) {
  switch (column.affinity) {
    case Affinity::kInteger:
    case Affinity::kReal:
      // INTEGER keeps a double that is not integral; REAL keeps small integral
      // doubles as integers on disk.
      column.small_types = kNumberTypes;
      break;
    case Affinity::kNumeric:
      column.small_types = kNumberTypes;
      column.texts = true;
      break;
    case Affinity::kText:
      column.texts = column.blobs = true;
      column.small_types = 1u << 12 | 1u << 13;
      break;
    case Affinity::kBlob:
      column.small_types = kNumberTypes | 1u << 12 | 1u << 13;
      column.texts = column.blobs = true;
      break;
  }
  if (!column.not_null) column.small_types |= 1;
  if (column.rowid_alias) column.small_types = 1, column.texts = column.blobs = false;
}

}  // namespace

Affinity AffinityOf(std::string_view declared_type) {
  std::string upper(declared_type);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (Holds(upper, "INT")) return Affinity::kInteger;
  if (Holds(upper, "CHAR") || Holds(upper, "CLOB") || Holds(upper, "TEXT")) return Affinity::kText;
  if (upper.empty() || Holds(upper, "BLOB")) return Affinity::kBlob;
  if (Holds(upper, "REAL") || Holds(upper, "FLOA") || Holds(upper, "DOUB")) return Affinity::kReal;
  return Affinity::kNumeric;
}

FitTable FitTableOf(const TableDefinition& definition) {
  FitTable table;
  table.name = definition.name;
  table.rowid_column = definition.RowidColumn();
  for (size_t i = 0; i < definition.columns.size(); ++i) {
    const ColumnDefinition& source = definition.columns[i];
    FitColumn column;
    column.name = source.name;
    column.affinity = AffinityOf(source.declared_type);
    column.not_null = source.not_null;
    column.rowid_alias = static_cast<int>(i) == table.rowid_column;
    column.default_value = source.default_value;
    column.default_is_text = source.default_is_text;
    SetTypes(column);
    table.columns.push_back(std::move(column));
  }
  table.min_columns = std::max<size_t>(1, table.columns.size());
  return table;
}

uint64_t MaxHeaderSize(const FitTable& table) {
  // A text or blob type takes at most 9 bytes; the length varint at most 2 here.
  return 2 + 9 * uint64_t{table.columns.size()};
}

namespace {

// One serial type at `p` (before `end`): its value and its length in bytes,
// 0 when the varint does not end before `end`.
inline int NextType(const uint8_t* p, const uint8_t* end, uint64_t& type) {
  type = *p;
  return type < 0x80 ? 1 : sqlite_format::GetVarint(p, end, type);
}

}  // namespace

bool ReadFittingHeader(const uint8_t* p, const uint8_t* end, const FitTable& table,
                       FitHeader& header) {
  if (p >= end) return false;
  uint64_t header_size = *p;
  int n = 1;
  if (header_size >= 0x80) {
    n = sqlite_format::GetVarint(p, end, header_size);
    if (n == 0 || n > 2) return false;
  }
  const uint64_t least = n + table.min_columns;
  if (header_size < least || header_size > MaxHeaderSize(table) ||
      header_size > static_cast<uint64_t>(end - p))
    return false;
  // One pass, into room for a type per column: most positions fail on an
  // early type, and the ones that fit are read once.
  const size_t columns = table.columns.size();
  header.types.resize(columns);
  uint64_t* types = header.types.data();
  const uint8_t* at = p + n;
  const uint8_t* const types_end = p + header_size;
  size_t column = 0;
  uint64_t body = 0;
  while (at < types_end) {
    if (column >= columns) return false;
    uint64_t type = 0;
    const int length = NextType(at, types_end, type);
    if (length == 0 || !SerialTypeFits(table.columns[column], type)) return false;
    types[column++] = type;
    body += sqlite_format::SerialTypeSize(type);
    at += length;
  }
  header.types.resize(column);
  header.header_size = header_size;
  header.body_size = body;
  return true;
}

}  // namespace quarrow
