// SQLite's record format and payload split, as the carve scenario tools need
// them: the scenario generator writes each row version's record bytes into its
// truth, and the carve measure looks for those bytes (in the pieces SQLite
// splits a long payload into) in the database, its WAL and its journal.
//
// Only what a rowid table's leaf cell holds is covered: the record (a header of
// serial types after its own length, then the values), and how much of it stays
// on the leaf page when it spills onto overflow pages. Plain values and pure
// functions; thread-safe.
#ifndef QUARROW_TOOLS_CARVE_RECORD_H_
#define QUARROW_TOOLS_CARVE_RECORD_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow::scenario {

// A value as SQLite stores and reads it.
struct SqlValue {
  enum class Kind { kNull, kInteger, kReal, kText, kBlob };
  Kind kind = Kind::kNull;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // a text's UTF-8 or a blob's bytes

  static SqlValue Null() { return {}; }
  static SqlValue Integer(int64_t value) { return {Kind::kInteger, value, 0, {}}; }
  static SqlValue Real(double value) { return {Kind::kReal, 0, value, {}}; }
  static SqlValue Text(std::string value) { return {Kind::kText, 0, 0, std::move(value)}; }
  static SqlValue Blob(std::string value) { return {Kind::kBlob, 0, 0, std::move(value)}; }
  bool operator==(const SqlValue&) const = default;
};

// A column's affinity, by SQLite's rules on its declared type: "INT" anywhere
// is INTEGER; else "CHAR", "CLOB" or "TEXT" is TEXT; else "BLOB" or no type is
// BLOB; else "REAL", "FLOA" or "DOUB" is REAL; else NUMERIC.
enum class Affinity { kBlob, kText, kNumeric, kInteger, kReal };
Affinity AffinityOf(std::string_view declared_type);

// Appends `value` as a SQLite varint (1 to 9 bytes, big-endian groups of 7
// bits, the ninth byte whole).
void AppendVarint(uint64_t value, std::string& out);
// How many bytes AppendVarint writes for `value`.
int VarintSize(uint64_t value);

// The record SQLite writes for one row: `values` are the stored columns in
// order, as SQLite reads them back, `affinities` their columns' affinities
// (same size). Column `ipk_column` (-1: none), the INTEGER PRIMARY KEY, is
// stored as NULL: its value is the rowid. Integers take the smallest serial
// type (0 and 1 take none of the body); a REAL column's whole-numbered real
// is stored as an integer when that takes at most 6 bytes, as SQLite does.
std::string EncodeRecord(const std::vector<SqlValue>& values,
                         const std::vector<Affinity>& affinities, int ipk_column);

// A run of payload bytes that lies contiguously on one page.
struct PayloadPiece {
  int64_t start = 0;
  int64_t size = 0;
};

// How a table leaf cell's payload of `payload_size` bytes lies on pages of
// `page_size` bytes (no reserved bytes): the part kept on the leaf, then one
// piece per overflow page (each page's first 4 bytes point to the next).
// One piece when the payload fits on the leaf.
std::vector<PayloadPiece> PayloadPieces(int64_t payload_size, int page_size);

// True iff such a payload spills onto overflow pages.
bool Overflows(int64_t payload_size, int page_size);

}  // namespace quarrow::scenario

#endif  // QUARROW_TOOLS_CARVE_RECORD_H_
