// The result table of contacts recovery: row 0 holds the column names, rows 1 to
// LastRow() hold records in the order the passes add them. Every row has 50
// byte-string cells; the table grows as rows are added and has no row limit.
// One table belongs to one caller (the window or a command-line run) and is
// passed to the passes; nothing of it is global. Not thread-safe.
//
// A row is kept as its cells joined by TABs, the way the report writes them:
// cells never hold a TAB (rendered values have their control bytes turned into
// spaces), so a row costs its text, 49 separators and 12 bytes, and the rows'
// texts are packed into large blocks rather than allocated one by one. A
// changed row is written anew at the end (merges are few next to rows).
#ifndef QUARROW_CONTACTS_RESULT_TABLE_H_
#define QUARROW_CONTACTS_RESULT_TABLE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarrow {

class ResultTable {
 public:
  static constexpr int kColumns = 50;
  // Column 1 carries a row's key: a person's rowid or a multi-value record id.
  static constexpr int kIdColumn = 1;

  // A table holding only the empty header row.
  ResultTable();
  ResultTable(const ResultTable&) = delete;
  ResultTable& operator=(const ResultTable&) = delete;

  // Drops every row and empties the header row: nothing of an earlier run stays.
  void Reset();

  // The index of the last used row; 0 while only the header row is there.
  int64_t LastRow() const { return static_cast<int64_t>(rows_.size()) - 1; }

  // Appends a row of empty cells and returns its index, the new LastRow().
  int64_t AddRow();
  // Appends a row given as its first cells joined by TABs (at most kColumns
  // cells), the rest empty; returns its index. Throws std::invalid_argument for
  // more cells than that.
  int64_t AddRowText(std::string_view cells);

  // The bytes of cell (row, col). The view stays valid until the table is reset
  // or destroyed. Throws std::out_of_range outside rows 0..LastRow(), columns
  // 0..49.
  std::string_view Cell(int64_t row, int col) const;

  // Replaces the bytes of cell (row, col). Throws as Cell does, and
  // std::invalid_argument when `text` holds a TAB.
  void SetCell(int64_t row, int col, std::string_view text);

  // Appends cells 0 to count - 1 of `row` to `out`, each followed by a TAB.
  // Throws as Cell does.
  void AppendCells(int64_t row, int count, std::string& out) const;

  // Returns the first row from 1 to LastRow() whose column 1 holds exactly `id`,
  // or -1. Constant time on average: an index from key to first row is kept up
  // to date by AddRow and SetCell (only rewriting the key of a row that other
  // rows share walks the rows after it).
  int64_t FindRowById(std::string_view id) const;

 private:
  // Where a row's text lies: a block and a position in it.
  struct RowRef {
    uint32_t block;
    uint32_t offset;
    uint32_t size;
  };
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view key) const {
      return std::hash<std::string_view>{}(key);
    }
  };
  using KeyIndex =
      std::unordered_map<std::string, int64_t, KeyHash, std::equal_to<>>;
  // Keys are nearly always decimal numbers in their one spelling (rowids and
  // record ids as rendered); those are indexed by value, which is cheaper than
  // by text and exact, since such a text and its value determine each other.
  using NumberIndex = std::unordered_map<uint64_t, int64_t>;

  std::string_view RowText(int64_t row) const;
  // Room for `size` bytes in the blocks; Store copies `text` there.
  RowRef Reserve(size_t size);
  RowRef Store(std::string_view text);
  void CheckCell(int64_t row, int col) const;
  void IndexKey(std::string_view key, int64_t row);
  void UnindexKey(std::string_view key, int64_t row);
  int64_t* FirstRowEntry(std::string_view key);
  template <typename Table>
  static auto* EntryOf(Table& table, std::string_view key);
  void DropEntry(std::string_view key);

  std::vector<RowRef> rows_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_used_ = 0;  // bytes used in the last block
  size_t block_size_ = 0;  // size of the last block
  KeyIndex first_row_by_key_;
  NumberIndex first_row_by_number_;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_RESULT_TABLE_H_
