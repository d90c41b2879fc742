// The result table of contacts recovery: row 0 holds the column names, rows 1 to
// LastRow() hold records in the order the passes add them. Every row has 50
// byte-string cells; the table grows as rows are added and has no row limit.
// One table belongs to one caller (the window or a command-line run) and is
// passed to the passes; nothing of it is global. Not thread-safe.
//
// A row keeps its cells back to back in one string with a table of where each
// ends: about 250 bytes plus its text, so 200,000 person rows take about 100 MB
// where 50 separate strings a row would take over 300 MB.
#ifndef QUARROW_CONTACTS_RESULT_TABLE_H_
#define QUARROW_CONTACTS_RESULT_TABLE_H_

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quarrow {

class ResultTable {
 public:
  static constexpr int kColumns = 50;
  // Column 1 carries a row's key: a person's rowid or a multi-value record id.
  static constexpr int kIdColumn = 1;

  // A table holding only the empty header row.
  ResultTable();

  // Drops every row and empties the header row: nothing of an earlier run stays.
  void Reset();

  // The index of the last used row; 0 while only the header row is there.
  int64_t LastRow() const { return static_cast<int64_t>(rows_.size()) - 1; }

  // Appends a row of empty cells and returns its index, the new LastRow().
  int64_t AddRow();
  // Appends a row whose first cells hold `cells` (at most kColumns; `cells` must
  // not view this table's bytes), the rest empty; returns its index. One pass
  // over the bytes, for the many rows a large input gives.
  int64_t AddRow(std::span<const std::string_view> cells);

  // The bytes of cell (row, col). The view stays valid until that row is next
  // changed or the table is reset (adding rows moves no other row). Throws
  // std::out_of_range outside rows 0..LastRow(), columns 0..49.
  std::string_view Cell(int64_t row, int col) const;

  // Replaces the bytes of cell (row, col); `text` must not view this table's
  // own bytes. Throws as Cell does, and std::length_error when the row's text
  // would pass 4 GiB.
  void SetCell(int64_t row, int col, std::string_view text);

  // Returns the first row from 1 to LastRow() whose column 1 holds exactly `id`,
  // or -1. Constant time on average: an index from key to first row is kept up
  // to date by AddRow and SetCell (only rewriting the key of a row that other
  // rows share walks the rows after it).
  int64_t FindRowById(std::string_view id) const;

 private:
  struct Row {
    std::string bytes;                   // the cells, back to back
    std::array<uint32_t, kColumns> end{};  // where each cell ends in `bytes`
  };
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const {
      return std::hash<std::string_view>{}(key);
    }
  };
  using KeyIndex =
      std::unordered_map<std::string, int64_t, KeyHash, std::equal_to<>>;

  void CheckCell(int64_t row, int col) const;
  static void Splice(Row& r, int col, std::string_view text);
  void IndexKey(std::string_view key, int64_t row);
  void UnindexKey(std::string_view key, int64_t row);

  std::deque<Row> rows_;  // a deque: adding a row never moves the others
  KeyIndex first_row_by_key_;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_RESULT_TABLE_H_
