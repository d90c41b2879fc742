#include "contacts/value_placement.h"

#include "text_rule/text_rule.h"

namespace quarrow {

ValuePlacement::ValuePlacement(const LabelCells& labels, const ValueLinks& links, bool describe)
    : labels_(labels),
      links_(links),
      describe_(describe),
      proven_(LabelCells::kMaxId + 1, 0),
      taken_(LabelCells::kMaxId + 1),
      taken_count_(LabelCells::kMaxId + 1, 0) {}

void ValuePlacement::Clear() {
  placed_ = Placed{};
  for (std::string& cell : built_) cell.clear();
  links_text_.clear();
}

void ValuePlacement::Finish() {
  placed_.links = links_text_;
}

void ValuePlacement::Add(const ValueRef& ref, LinkKind kind) {
  std::vector<uint8_t>& taken = taken_[ref.id];
  if (taken.empty()) taken.assign(labels_.Items(ref.id).size(), 0);
  if (taken[ref.item]) return;
  taken[ref.item] = 1;
  ++taken_count_[ref.id];
  const LabelCells::Item& item = labels_.Items(ref.id)[ref.item];
  const int cell = item.column - LabelCells::kFirstColumn;
  built_[cell] = MergedCell(built_[cell], item.text);
  placed_.cells[cell] = built_[cell];
  placed_.any = true;
  if (describe_ && kind != LinkKind::kNone) {
    if (!links_text_.empty()) links_text_ += "; ";
    links_text_ += Trim(item.text);
    links_text_ += '=';
    links_text_ += LinkKindText(kind);
  }
}

void ValuePlacement::PlaceItemsOf(int id, LinkKind kind) {
  if (!labels_.Has(id)) return;
  const std::vector<LabelCells::Item>& items = labels_.Items(id);
  if (taken_count_[id] == 0 && !describe_) {
    // The usual case: the id's cells as filed, no copy made.
    for (int k = 0; k < LabelCells::kCells; ++k)
      placed_.cells[k] = labels_.Cell(id, LabelCells::kFirstColumn + k);
    placed_.any = !items.empty();
    taken_[id].assign(items.size(), 1);
    taken_count_[id] = static_cast<int>(items.size());
    return;
  }
  for (size_t k = 0; k < items.size(); ++k) Add({id, static_cast<int>(k)}, kind);
}

const ValuePlacement::Placed& ValuePlacement::ForPerson(int proven_id, const PersonNames& names,
                                                        int copy_id) {
  Clear();
  const bool by_rowid = proven_id >= 1 && proven_id <= LabelCells::kMaxId;
  const int id = by_rowid ? proven_id : copy_id;
  if (id >= 1 && id <= LabelCells::kMaxId) {
    if (!proven_[id]) {
      proven_[id] = 1;
      PlaceItemsOf(id, by_rowid ? LinkKind::kRowid : LinkKind::kCopy);
    }
  } else if (!links_.empty()) {
    if (const std::vector<ValueRef>* refs = links_.Of(names))
      for (const ValueRef& ref : *refs) Add(ref, LinkKind::kSearchIndex);
  }
  Finish();
  return placed_;
}

const ValuePlacement::Placed& ValuePlacement::ForValuesOf(int id) {
  Clear();
  if (id >= 1 && id <= LabelCells::kMaxId && !proven_[id]) {
    proven_[id] = 1;
    PlaceItemsOf(id, LinkKind::kNone);
  }
  Finish();
  return placed_;
}

}  // namespace quarrow
