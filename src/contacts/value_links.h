// Which person a deleted person's numbers and e-mail addresses belong to,
// where the multi-value record's record_id cannot say it (the person record's
// rowid was overwritten when its cell was freed): the search index's records
// (search_witness.h) name a person and list the person's numbers and
// addresses together.
//
// A value is linked to the names of a search record only when the evidence
// names both, and nothing contradicts it:
// - the value appears in the record: a number digit for digit (spaces,
//   dashes, brackets and other marks ignored; the record's numbers may be
//   split into words), an e-mail address as a word, case folded;
// - the record names someone (First, Last, Middle or Organization) and every
//   value of the input it lists carries one record id: a record listing values
//   of two ids names two persons, and links nothing;
// - every record of those names claims that same record id, and no record of
//   other names claims a value of that id or the value itself;
// - the id is not a live person's (its values go to the live row by rowid),
//   nor is the record a live person's (its docid kept and live).
// Cost: linear in the records' text and the values, each record's words
// bounded (kMaxWitnessWords); hostile records cost bounded time and link
// nothing they cannot prove.
//
// Immutable once resolved; const methods are thread-safe.
#ifndef QUARROW_CONTACTS_VALUE_LINKS_H_
#define QUARROW_CONTACTS_VALUE_LINKS_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/label_cells.h"
#include "contacts/search_witness.h"

namespace quarrow {

// A record listing more words than this in its phone or e-mail text names
// more than a person's values: it links nothing.
inline constexpr size_t kMaxWitnessWords = 512;

// A filed value: item `item` of record id `id` (LabelCells::Items).
struct ValueRef {
  int id = 0;
  int item = 0;
  bool operator==(const ValueRef&) const = default;
};

// How a value came to stand in a person's row (--details' LINKS).
// kCopy: by the rowid of another whole copy of the person's record
// (record_copies.h).
enum class LinkKind : uint8_t { kNone, kRowid, kSearchIndex, kCopy };
std::string_view LinkKindText(LinkKind kind);

// The digits of a number ("+1 (555) 010-0199" -> "15550100199").
std::string NumberDigits(std::string_view number);
// True iff the label column (LabelCells) files e-mail addresses.
bool IsEmailColumn(int column);

class ValueLinks {
 public:
  ValueLinks() = default;
  // Links the values of `labels` by `evidence`'s records, as above.
  static ValueLinks Resolve(const SearchEvidence& evidence, const LabelCells& labels);

  bool empty() const { return by_names_.empty(); }
  // The values linked to the person named `names`, in id and item order;
  // null when none.
  const std::vector<ValueRef>* Of(const PersonNames& names) const;
  // How many values are linked in all.
  size_t size() const;

 private:
  std::map<PersonNames, std::vector<ValueRef>> by_names_;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_VALUE_LINKS_H_
