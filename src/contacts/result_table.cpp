#include "contacts/result_table.h"

#include <limits>
#include <stdexcept>

namespace quarrow {

ResultTable::ResultTable() { Reset(); }

void ResultTable::Reset() {
  rows_.clear();
  rows_.shrink_to_fit();
  rows_.emplace_back();
  first_row_by_key_.clear();
}

int64_t ResultTable::AddRow() {
  rows_.emplace_back();
  int64_t row = LastRow();
  // A new row's key is the empty text until column 1 is set.
  IndexKey({}, row);
  return row;
}

int64_t ResultTable::AddRow(std::span<const std::string_view> cells) {
  if (cells.size() > static_cast<size_t>(kColumns)) {
    throw std::out_of_range("result table row has too many cells");
  }
  Row r;
  size_t total = 0;
  for (std::string_view cell : cells) total += cell.size();
  if (total > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("result table row too long");
  }
  r.bytes.reserve(total);
  for (size_t col = 0; col < cells.size(); ++col) {
    r.bytes.append(cells[col]);
    r.end[col] = static_cast<uint32_t>(r.bytes.size());
  }
  for (size_t col = cells.size(); col < static_cast<size_t>(kColumns); ++col) {
    r.end[col] = static_cast<uint32_t>(r.bytes.size());
  }
  rows_.push_back(std::move(r));
  int64_t row = LastRow();
  IndexKey(cells.size() > static_cast<size_t>(kIdColumn) ? cells[kIdColumn]
                                                         : std::string_view(),
           row);
  return row;
}

void ResultTable::CheckCell(int64_t row, int col) const {
  if (row < 0 || row > LastRow() || col < 0 || col >= kColumns) {
    throw std::out_of_range("result table cell out of range");
  }
}

std::string_view ResultTable::Cell(int64_t row, int col) const {
  CheckCell(row, col);
  const Row& r = rows_[static_cast<size_t>(row)];
  uint32_t begin = col == 0 ? 0 : r.end[col - 1];
  return std::string_view(r.bytes).substr(begin, r.end[col] - begin);
}

void ResultTable::SetCell(int64_t row, int col, std::string_view text) {
  CheckCell(row, col);
  bool is_key = col == kIdColumn && row > 0;
  std::string old_key;
  if (is_key) {
    old_key = Cell(row, col);
    if (old_key == text) return;
  }
  Splice(rows_[static_cast<size_t>(row)], col, text);
  if (is_key) {
    // The old key is dropped only once the new one is in, so that the search
    // for the next row holding the old key does not find this row again.
    UnindexKey(old_key, row);
    IndexKey(text, row);
  }
}

void ResultTable::Splice(Row& r, int col, std::string_view text) {
  uint32_t begin = col == 0 ? 0 : r.end[col - 1];
  uint32_t old_size = r.end[col] - begin;
  uint64_t new_total = uint64_t{r.bytes.size()} - old_size + text.size();
  if (new_total > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("result table row too long");
  }
  r.bytes.replace(begin, old_size, text);
  for (int k = col; k < kColumns; ++k) {
    r.end[k] = static_cast<uint32_t>(r.end[k] - old_size + text.size());
  }
}

int64_t ResultTable::FindRowById(std::string_view id) const {
  auto it = first_row_by_key_.find(id);
  return it == first_row_by_key_.end() ? -1 : it->second;
}

void ResultTable::IndexKey(std::string_view key, int64_t row) {
  auto it = first_row_by_key_.find(key);
  if (it == first_row_by_key_.end()) {
    first_row_by_key_.emplace(std::string(key), row);
  } else if (row < it->second) {
    it->second = row;
  }
}

void ResultTable::UnindexKey(std::string_view key, int64_t row) {
  auto it = first_row_by_key_.find(key);
  if (it == first_row_by_key_.end() || it->second != row) return;
  // This row was the first to hold the key: the next one that does takes its
  // place. Keys are set once per row in practice, so this walk is rare (and
  // empty when `row` is the last row).
  for (int64_t r = row + 1; r <= LastRow(); ++r) {
    if (Cell(r, kIdColumn) == key) {
      it->second = r;
      return;
    }
  }
  first_row_by_key_.erase(it);
}

}  // namespace quarrow
