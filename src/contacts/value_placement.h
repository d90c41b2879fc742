// Where each filed value stands in the contacts report: in the row of a
// person whose record proves the value's record id (its rowid, read from a
// whole cell, or that of another whole copy of its record: record_copies.h),
// in the row of a person the search index links it to
// (value_links.h), or else in a row of its own under its record id. Rows come
// in the report's order (person rows by position, then the ids' own rows);
// each value is placed once, in the first row that proves it, and an id's
// values go by rowid to the first row that proves that id only.
//
// With `describe`, each placement also says per value how it was linked, for
// --details' LINKS: "value=rowid; value=search-index; value=copy", values
// trimmed.
//
// Not thread-safe: the report's writing thread calls it, in row order.
#ifndef QUARROW_CONTACTS_VALUE_PLACEMENT_H_
#define QUARROW_CONTACTS_VALUE_PLACEMENT_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/label_cells.h"
#include "contacts/value_links.h"

namespace quarrow {

class ValuePlacement {
 public:
  // What a row gets: its 14 label cells (views valid until the next call), the
  // LINKS text, and whether it got any value.
  struct Placed {
    std::array<std::string_view, LabelCells::kCells> cells{};
    std::string_view links;
    bool any = false;
  };

  ValuePlacement(const LabelCells& labels, const ValueLinks& links, bool describe);

  // True iff a person row may need names (the search index links values).
  bool links_by_names() const { return !links_.empty(); }

  // A person row: `proven_id` is the record id its rowid proves (0: none);
  // `copy_id` the one a copy of its record proves when its own rowid proves
  // none (0: none), which it takes as a proven id; `names` (read only when
  // neither proves one and links_by_names) its names.
  const Placed& ForPerson(int proven_id, const PersonNames& names, int copy_id = 0);
  // The row of `id`'s own values, after the person rows: those no person row
  // took (any is false when none is left).
  const Placed& ForValuesOf(int id);
  // True iff a person row proved `id` by its rowid or a copy's.
  bool ProvenByRowid(int id) const { return proven_[id] != 0; }

 private:
  // Places `id`'s untaken items, all of them by `kind`.
  void PlaceItemsOf(int id, LinkKind kind);
  // Adds item `ref` to the row being built, by `kind`.
  void Add(const ValueRef& ref, LinkKind kind);
  void Clear();
  void Finish();

  const LabelCells& labels_;
  const ValueLinks& links_;
  bool describe_;
  std::vector<uint8_t> proven_;                 // by id
  std::vector<std::vector<uint8_t>> taken_;     // by id, then item
  std::vector<int> taken_count_;                // by id
  std::array<std::string, LabelCells::kCells> built_;
  std::string links_text_;
  Placed placed_;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_VALUE_PLACEMENT_H_
