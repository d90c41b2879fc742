#include "contacts/label_cells.h"

#include "text_rule/text_rule.h"

namespace quarrow {

LabelCells::LabelCells()
    : cells_(kMaxId + 1), items_(kMaxId + 1), filed_(kMaxId + 1, 0), first_position_(kMaxId + 1, -1) {}

void LabelCells::File(int id, int column, std::string_view raw, int64_t position) {
  if (recorder_) recorder_(id, column, raw, position);
  if (id < 1 || id > kMaxId || column < kFirstColumn || column >= kFirstColumn + kCells) return;
  if (!filed_[id]) {
    filed_[id] = 1;
    first_position_[id] = position;
    ids_in_order_.push_back(id);
  }
  std::string& cell = cells_[id][column - kFirstColumn];
  // Most values are already there (every copy of a record files it again):
  // the cell is then left as it is, without building a copy.
  if (CellHolds(cell, raw)) return;
  cell = MergedCell(cell, raw);
  items_[id].push_back({column, std::string(raw)});
}

const std::vector<LabelCells::Item>& LabelCells::Items(int id) const {
  static const std::vector<Item> kNone;
  return id >= 1 && id <= kMaxId ? items_[id] : kNone;
}

bool CellHolds(std::string_view cell, std::string_view raw) {
  const std::string_view trimmed = Trim(raw);
  // An empty value never counts as already there.
  return !trimmed.empty() && cell.find(trimmed) != std::string_view::npos;
}

std::string MergedCell(std::string_view cell, std::string_view raw) {
  if (CellHolds(cell, raw)) return std::string(cell);
  std::string merged(cell);
  if (!merged.empty()) merged += ", ";
  merged += ' ';
  merged.append(raw);
  return std::string(Trim(merged));
}

std::string_view LabelCells::Cell(int id, int column) const {
  if (!Has(id) || column < kFirstColumn || column >= kFirstColumn + kCells) return {};
  return cells_[id][column - kFirstColumn];
}

void LabelCells::AppendCells(int id, std::string& out) const {
  for (int k = 0; k < kCells; ++k) {
    if (Has(id)) out += cells_[id][k];
    out += '\t';
  }
}

int LabelIdOf(std::string_view rowid_cell) {
  if (rowid_cell.empty() || rowid_cell.size() > 4 || rowid_cell[0] == '0') return 0;
  int id = 0;
  for (char c : rowid_cell) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + (c - '0');
  }
  return id <= LabelCells::kMaxId ? id : 0;
}

}  // namespace quarrow
