// The label cells of contacts recovery, held apart from the person rows: for
// each multi-value record id (1 to 2000), the 14 cells of report columns 32 to
// 45 into which its values merge, and the order in which the ids first got a
// value; and each id's values one by one (its items), so that a value can be
// placed in another row than its id's when the evidence links it to a person
// (value_links.h). Small and flat whatever the input's size, so that person
// rows can stream to the report. Not thread-safe; one per run.
#ifndef QUARROW_CONTACTS_LABEL_CELLS_H_
#define QUARROW_CONTACTS_LABEL_CELLS_H_

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow {

class LabelCells {
 public:
  static constexpr int kMaxId = 2000;
  static constexpr int kFirstColumn = 32;
  static constexpr int kCells = 14;

  // One value as it was merged into its id's cells: its report column and
  // its text as filed. Cells rebuilt from an id's items in order are its cells.
  struct Item {
    int column = 0;
    std::string text;
  };

  LabelCells();

  // Called with every value File is given, as given, before anything is
  // merged: a shard's part keeps them all, for the merge to file again.
  using Recorder = std::function<void(int id, int column, std::string_view raw, int64_t position)>;
  void set_recorder(Recorder recorder) { recorder_ = std::move(recorder); }

  // Files `raw` under record id `id` (1 to kMaxId) in report column `column`
  // (32 to 45), merged as MergeValue merges into a table cell. `position` is
  // the value record's; the first one filed for an id is kept.
  void File(int id, int column, std::string_view raw, int64_t position);

  // Returns true iff some value was filed under `id` (it then has a row).
  bool Has(int id) const { return id >= 1 && id <= kMaxId && filed_[id]; }
  std::string_view Cell(int id, int column) const;
  // Appends the 14 cells of `id` (empty ones when it has none), each followed
  // by a TAB.
  void AppendCells(int id, std::string& out) const;
  int64_t FirstPosition(int id) const { return first_position_[id]; }
  // The values merged into `id`'s cells, in the order merged (empty for an
  // id without values).
  const std::vector<Item>& Items(int id) const;
  // The ids that got values, in the order of their first value.
  const std::vector<int>& ids_in_order() const { return ids_in_order_; }

 private:
  std::vector<std::array<std::string, kCells>> cells_;
  std::vector<std::vector<Item>> items_;
  std::vector<uint8_t> filed_;
  std::vector<int64_t> first_position_;
  std::vector<int> ids_in_order_;
  Recorder recorder_;
};

// True when `raw`'s trimmed text is not empty and already occurs in `cell`.
bool CellHolds(std::string_view cell, std::string_view raw);

// Merges `raw` into `cell`: nothing when CellHolds; else ", " (when the cell holds text), a space
// and `raw` are appended and the whole is trimmed. Returns the merged text.
std::string MergedCell(std::string_view cell, std::string_view raw);

// The record id a person row's rowid cell names, when it is one a value can
// carry: the canonical decimal text of 1 to LabelCells::kMaxId; else 0.
int LabelIdOf(std::string_view rowid_cell);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_LABEL_CELLS_H_
