// The iPhone address book's table layouts that the sample generator writes:
// the person table of 34, 36 or 38 columns, the multi-value table of 6 or 7,
// the label table and the search index's content table, as CREATE TABLE texts
// worded as the phones word them. Pure data; thread-safe.
#ifndef QUARROW_TOOLS_SAMPLE_LAYOUT_H_
#define QUARROW_TOOLS_SAMPLE_LAYOUT_H_

#include <string>
#include <vector>

namespace quarrow::sample {

// A layout is named by its person table's column count.
inline constexpr int kLayout34 = 34;  // older phones; the built-in schemas
inline constexpr int kLayout36 = 36;  // adds guid and PhonemeData
inline constexpr int kLayout38 = 38;  // adds AlternateBirthday and MapsData too

// True iff `layout` is 34, 36 or 38.
bool IsLayout(int layout);

// The 34 person columns after ROWID that every layout shares, in table order
// ("First" to "IsPreferredName", 33 names).
const std::vector<std::string>& SharedPersonColumns();
// The person columns after ROWID in `layout`, in table order (33, 35 or 37).
std::vector<std::string> PersonColumns(int layout);

// CREATE TABLE texts for `layout` (an IsLayout value).
std::string PersonTableSql(int layout);
std::string MultiValueTableSql(int layout);
// Empty for the 34 layout: older phones have no such table.
std::string SearchContentTableSql(int layout);
// The same text on every layout that has a label table.
std::string LabelTableSql();

// The search content table's columns after docid ("c0First" ... 23 or 24
// names); empty for the 34 layout.
std::vector<std::string> SearchContentColumns(int layout);

// Multi-value columns: 6, or 7 with guid (36 and 38).
int MultiValueColumnCount(int layout);

}  // namespace quarrow::sample

#endif  // QUARROW_TOOLS_SAMPLE_LAYOUT_H_
