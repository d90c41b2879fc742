// The record rule of a known definition: which serial types each column of a
// table can hold (its affinity and constraints), and a record header read and
// checked against them. A record fits when its header length equals the bytes
// its serial types take, it has one type per column or fewer (rows written
// before ALTER TABLE ADD COLUMN), and every type fits its column: an INTEGER
// PRIMARY KEY column holds NULL, NOT NULL never holds NULL, REAL columns hold a
// double or an integer, TEXT columns text or a blob, INTEGER columns numbers.
// Pure functions over bytes; every read stays inside the bytes given.
#ifndef QUARROW_CARVE_RECORD_FIT_H_
#define QUARROW_CARVE_RECORD_FIT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "schema/create_table.h"

namespace quarrow {

enum class Affinity : uint8_t { kInteger, kReal, kNumeric, kText, kBlob };

// SQLite's affinity rules for a declared type.
Affinity AffinityOf(std::string_view declared_type);

struct FitColumn {
  std::string name;
  Affinity affinity = Affinity::kBlob;
  bool not_null = false;
  bool rowid_alias = false;  // INTEGER PRIMARY KEY: stored as NULL, reads as the rowid
  std::optional<std::string> default_value;  // for rows older than the column
  bool default_is_text = false;
  // Serial types 0 to 13 this column can hold (bit t), and whether it can hold
  // texts (odd from 13) and blobs (even from 12) of any length.
  uint16_t small_types = 0;
  bool texts = false;
  bool blobs = false;
};

struct FitTable {
  std::string name;
  std::vector<FitColumn> columns;
  int rowid_column = -1;
  // Serial types a record has at least: every column, unless live rows show
  // that the table grew after rows were written (ALTER TABLE ADD COLUMN).
  size_t min_columns = 1;
};

FitTable FitTableOf(const TableDefinition& definition);

inline bool SerialTypeFits(const FitColumn& column, uint64_t type) {
  if (type < 12) return (column.small_types >> type) & 1;
  return (type & 1) ? column.texts : column.blobs;
}

// A record's header as read: its size (the length varint included) and one
// serial type per stored column.
struct FitHeader {
  uint64_t header_size = 0;
  std::vector<uint64_t> types;
  uint64_t body_size = 0;  // the sum of the types' content sizes
  uint64_t record_size() const { return header_size + body_size; }
};

// The largest header a record of `table` can have.
uint64_t MaxHeaderSize(const FitTable& table);

// Reads the header whose length varint starts at `p` (bytes up to `end`) and
// returns true iff it fits `table`. On false, `header` is unspecified.
bool ReadFittingHeader(const uint8_t* p, const uint8_t* end, const FitTable& table,
                       FitHeader& header);

}  // namespace quarrow

#endif  // QUARROW_CARVE_RECORD_FIT_H_
