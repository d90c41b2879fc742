// The live rows of an input's tables, as its database stands with its WAL
// applied (database_image.h): per table, each live rowid with a fingerprint of
// its record, so that a recovered record can be told live, prior, deleted or
// unknown (record_state.h). Memory: about 24 bytes per live row.
// Immutable once built; const methods are thread-safe.
#ifndef QUARROW_CARVE_LIVE_ROWS_H_
#define QUARROW_CARVE_LIVE_ROWS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "carve/database_image.h"
#include "carve/record_state.h"

namespace quarrow {

// Where the live tables' pages lie, gathered by the walk that reads their rows.
struct LivePages {
  std::map<uint32_t, uint32_t> owner;  // b-tree page -> its table's root page
  std::set<uint32_t> overflow;         // pages of the live cells' overflow chains
};

class LiveRows {
 public:
  // Knows no table: every record's state is unknown.
  LiveRows() = default;
  // The live rows of every table in `image`'s schema; `pages`, when given,
  // receives where those tables' pages lie.
  explicit LiveRows(const DatabaseImage& image, LivePages* pages = nullptr);
  // The same for the input at `input_path` (DatabaseImage::ForInput); an input
  // with no database gives an empty LiveRows. Throws Error only when the input
  // cannot be opened.
  static LiveRows ForInput(const std::string& input_path);

  // True iff `table` (compared as SQLite compares names: ASCII case folded)
  // is a live table of the database.
  bool Knows(std::string_view table) const;

  // The state of a record of `table` whose rowid is `rowid` (nothing when it
  // was destroyed) and whose whole record (header-length varint, serial
  // types, body; every byte, overflow included) is `record`. An unknown table
  // gives kUnknown; a destroyed rowid gives kUnknown.
  RecordState StateOf(std::string_view table, std::optional<int64_t> rowid,
                      std::string_view record) const;

  // True iff some live row of `table` has a record of `record`'s size whose
  // bytes after its first `header_size` (the header) equal `record`'s: a copy
  // of a live row whose rowid was destroyed.
  bool EqualsLiveBody(std::string_view table, std::string_view record,
                      size_t header_size) const;

  // How many live rows of `table` have records whose serial types have the
  // classes of `types` (NULL, integer, real, text, blob), column by column.
  uint32_t ShapeCount(std::string_view table, const std::vector<uint64_t>& types) const;
  // The fewest serial types a live row of `table` has (rows written before an
  // ADD COLUMN have fewer), or 0 when the table has no live row.
  size_t FewestColumns(std::string_view table) const;

  // For column `column` of `table`: a bit per value class its live rows hold
  // (1 NULL, 2 integer, 4 real, 8 text, 16 blob), and how many live rows the
  // table has. Zero for an unknown table or column.
  uint8_t ClassesSeen(std::string_view table, size_t column) const;
  size_t RowCount(std::string_view table) const;

  // Live rows known, over all tables.
  size_t size() const { return rows_; }

 private:
  struct Table {
    std::unordered_map<int64_t, uint64_t> record_hash;  // rowid -> RecordHash
    std::unordered_set<uint64_t> body_hashes;           // BodyHash of each live row
    std::unordered_map<uint64_t, uint32_t> shapes;      // ShapeOf -> live rows
    size_t fewest_columns = 0;
    size_t rows = 0;
    std::vector<uint8_t> classes;  // per column
  };
  const Table* Find(std::string_view table) const;

  // Names as SQLite compares them (ASCII case folded), looked up without a
  // folded copy: records ask by the million.
  struct FoldedHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
  };
  struct FoldedEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  std::unordered_map<std::string, Table, FoldedHash, FoldedEqual> tables_;  // by lowercased name
  size_t rows_ = 0;
};

}  // namespace quarrow

#endif  // QUARROW_CARVE_LIVE_ROWS_H_
