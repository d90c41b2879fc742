#include "carve_record.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>

namespace quarrow::scenario {
namespace {

bool Contains(const std::string& upper, std::string_view part) {
  return upper.find(part) != std::string::npos;
}

// The serial type of an integer, and how many body bytes it takes.
struct IntegerType {
  uint64_t serial_type;
  int size;
};

IntegerType IntegerTypeOf(int64_t value) {
  if (value == 0 || value == 1) return {static_cast<uint64_t>(8 + value), 0};
  const uint64_t magnitude = value < 0 ? ~static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  if (magnitude <= 127) return {1, 1};
  if (magnitude <= 32767) return {2, 2};
  if (magnitude <= 8388607) return {3, 3};
  if (magnitude <= 2147483647) return {4, 4};
  if (magnitude <= 140737488355327) return {5, 6};
  return {6, 8};
}

void AppendBigEndian(uint64_t value, int size, std::string& out) {
  for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) {
    out += static_cast<char>((value >> shift) & 0xFF);
  }
}

// A whole-numbered real that SQLite stores as an integer in a REAL column:
// one that converts exactly and fits 6 bytes (an 8-byte one stays a real).
bool StoredAsInteger(double real, int64_t& integer) {
  if (!(real > -140737488355329.0 && real < 140737488355328.0)) return false;
  if (std::trunc(real) != real) return false;
  integer = static_cast<int64_t>(real);
  return true;
}

void AppendValue(const SqlValue& value, Affinity affinity, std::string& header,
                 std::string& body) {
  switch (value.kind) {
    case SqlValue::Kind::kNull:
      AppendVarint(0, header);
      return;
    case SqlValue::Kind::kInteger: {
      const IntegerType type = IntegerTypeOf(value.integer);
      AppendVarint(type.serial_type, header);
      AppendBigEndian(static_cast<uint64_t>(value.integer), type.size, body);
      return;
    }
    case SqlValue::Kind::kReal: {
      int64_t integer = 0;
      if (affinity == Affinity::kReal && StoredAsInteger(value.real, integer)) {
        AppendValue(SqlValue::Integer(integer), affinity, header, body);
        return;
      }
      AppendVarint(7, header);
      AppendBigEndian(std::bit_cast<uint64_t>(value.real), 8, body);
      return;
    }
    case SqlValue::Kind::kText:
    case SqlValue::Kind::kBlob: {
      const uint64_t base = value.kind == SqlValue::Kind::kText ? 13 : 12;
      AppendVarint(base + 2 * static_cast<uint64_t>(value.bytes.size()), header);
      body += value.bytes;
      return;
    }
  }
}

}  // namespace

Affinity AffinityOf(std::string_view declared_type) {
  std::string upper(declared_type);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (Contains(upper, "INT")) return Affinity::kInteger;
  if (Contains(upper, "CHAR") || Contains(upper, "CLOB") || Contains(upper, "TEXT")) {
    return Affinity::kText;
  }
  if (upper.empty() || Contains(upper, "BLOB")) return Affinity::kBlob;
  if (Contains(upper, "REAL") || Contains(upper, "FLOA") || Contains(upper, "DOUB")) {
    return Affinity::kReal;
  }
  return Affinity::kNumeric;
}

int VarintSize(uint64_t value) {
  std::string bytes;
  AppendVarint(value, bytes);
  return static_cast<int>(bytes.size());
}

void AppendVarint(uint64_t value, std::string& out) {
  if (value > 0x00FFFFFFFFFFFFFFULL) {
    // Nine bytes: eight groups of 7 bits, then the last 8 bits whole.
    for (int shift = 57; shift >= 8; shift -= 7) {
      out += static_cast<char>(0x80 | ((value >> shift) & 0x7F));
    }
    out += static_cast<char>(value & 0xFF);
    return;
  }
  char groups[9];
  int count = 0;
  do {
    groups[count++] = static_cast<char>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (count > 1) out += static_cast<char>(0x80 | groups[--count]);
  out += groups[0];
}

std::string EncodeRecord(const std::vector<SqlValue>& values,
                         const std::vector<Affinity>& affinities, int ipk_column) {
  std::string types;
  std::string body;
  for (size_t i = 0; i < values.size(); ++i) {
    const bool ipk = static_cast<int>(i) == ipk_column;
    AppendValue(ipk ? SqlValue::Null() : values[i], affinities[i], types, body);
  }
  // The header's length counts its own varint.
  uint64_t header_size = types.size() + 1;
  while (static_cast<uint64_t>(VarintSize(header_size)) + types.size() != header_size) {
    header_size = types.size() + static_cast<uint64_t>(VarintSize(header_size));
  }
  std::string record;
  AppendVarint(header_size, record);
  record += types;
  record += body;
  return record;
}

std::vector<PayloadPiece> PayloadPieces(int64_t payload_size, int page_size) {
  const int64_t usable = page_size;
  const int64_t max_local = usable - 35;
  if (payload_size <= max_local) return {{0, payload_size}};
  const int64_t min_local = (usable - 12) * 32 / 255 - 23;
  const int64_t per_page = usable - 4;
  const int64_t surplus = min_local + (payload_size - min_local) % per_page;
  const int64_t local = surplus <= max_local ? surplus : min_local;
  std::vector<PayloadPiece> pieces = {{0, local}};
  for (int64_t start = local; start < payload_size; start += per_page) {
    pieces.push_back({start, std::min(per_page, payload_size - start)});
  }
  return pieces;
}

bool Overflows(int64_t payload_size, int page_size) {
  return payload_size > static_cast<int64_t>(page_size) - 35;
}

}  // namespace quarrow::scenario
