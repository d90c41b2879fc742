// The multi-value pass of contacts recovery: searches the person pass's buffer
// for the address book's multi-value records (one phone number, e-mail address
// or similar value each), keeps the plausible ones and files each in the row of
// the person with the same record id (or a new row) under its label.
#ifndef QUARROW_CONTACTS_MULTI_VALUE_PASS_H_
#define QUARROW_CONTACTS_MULTI_VALUE_PASS_H_

#include <array>
#include <cstdint>
#include <string_view>

#include "contacts/contacts_schema.h"
#include "contacts/label_cells.h"
#include "contacts/record_facts.h"
#include "contacts/record_states.h"
#include "pagemap/match_status.h"
#include "contacts/result_table.h"
#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/ports.h"
#include "engine/scan.h"

namespace quarrow {

// The multi-value table's columns, 122 bytes: six columns, none suppressed.
inline constexpr std::string_view MultiValueSchema =
    "ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER,property INTEGER, "
    "identifier INTEGER, label INTEGER, value TEXT);";

// Column indexes of the multi-value column list.
inline constexpr int kRecordIdColumn = 1;
inline constexpr int kPropertyColumn = 2;
inline constexpr int kLabelColumn = 4;
inline constexpr int kValueColumn = 5;

// The bytes a filed value may consist of: space ( ) + - . 0-9 @ A-Z _ a-z and
// 0xC0 to 0xFF, 134 byte values.
inline constexpr std::array<bool, 256> ValueChars = [] {
  std::array<bool, 256> chars{};
  for (unsigned char c : std::string_view(" ()+-.@_")) chars[c] = true;
  for (int c = '0'; c <= '9'; ++c) chars[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) chars[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) chars[c] = true;
  for (int c = 0xC0; c <= 0xFF; ++c) chars[c] = true;
  return chars;
}();

// Returns true iff `value` consists of value characters: every byte below 0x80
// is in ValueChars, and the bytes from 0x80 on are either all from 0xC0 (as
// ValueChars has them) or the whole value is valid UTF-8 whose characters from
// U+0080 on are all U+00A0 or above (SQLite texts are UTF-8: "ü" in an address,
// the no-break spaces a phone formats numbers with).
bool IsValueText(std::string_view value);

// Returns true iff the rendered record is plausible: the value has at least 3
// bytes and IsValueText; the record id has at most 4 bytes and reads as 1 to
// 2000; the property has at most 3 bytes and reads as 1 to 9. A text that is not
// an integer (a float's rendering) is not plausible. Reads columns 1, 2 and 5.
bool IsValidMultiValue(const ColumnList& columns);

// Returns the table column for a label and a property: 31 + label for labels 1
// to 6, else 38 (also for a label that is not a 32-bit integer); 7 more for the
// property 4 (e-mail). Always 32 to 45.
int LabelColumn(std::string_view label, std::string_view property);
// The same for an input with a label table: the label id's column by its name
// (an id the table lacks, or no id, is Unknown's); without one, as above.
int LabelColumn(std::string_view label, std::string_view property,
                const ContactsSchema& schema);

// Merges `raw` into cell (row, col): nothing when its trimmed text is not empty
// and already occurs in the cell; else ", " (when the cell holds text), a space
// and `raw` are appended and the whole cell is trimmed.
void MergeValue(ResultTable& table, int64_t row, int col, std::string_view raw);

// Returns false when the header's serial types alone show that the record
// cannot be plausible (see IsValidMultiValue); reads only seg and serial, so
// that most chance matches are dropped before their values are rendered.
bool MayBeValidMultiValue(const ColumnList& columns);

// For a plausible match, appends its record id, its label's column and its
// value to `out`, TAB-separated, and returns true; false for any other. Touches
// nothing else, so the scan's workers run it.
bool FormatMultiValue(const ColumnList& columns, std::string& out);
// The same, filing labels as `schema` says.
bool FormatMultiValue(const ColumnList& columns, const ContactsSchema& schema,
                      std::string& out);

// A plausible value as the scan's workers hand it to the filing thread: its
// record id as LabelIdOf reads the id's text (0 when it names none), the
// label's report column, and the value's rendered text.
struct FiledValue {
  int32_t id = 0;
  int32_t column = 0;
  std::string_view value;
};

// The same test, rendering from the match's bytes (it carries its view and
// body start) and only as far as the tests need; appends the plausible value
// in the form ReadFiledValue reads. What it rejects leaves `out` undefined
// past its old size.
bool FormatMultiValueFromMatch(const Match& match, const ColumnList& columns,
                               const ContactsSchema& schema, std::string& out);
FiledValue ReadFiledValue(std::string_view formatted);

// Files one match as FormatMultiValue gave it: finds the first row with its
// record id, or adds a row holding only the id, and merges the value under its
// label.
void FileMultiValue(ResultTable& table, std::string_view formatted);

// Writes the multi-value schema's six lines into `editor`, loads them as the
// column list, scans `buffer` and files every plausible match into `table`.
// Throws Error when `progress` cancels.
void MultiValuePass(const Buffer& buffer, DdlEditor& editor, ResultTable& table,
                    ProgressSink* progress = nullptr);
// The same with the multi-value lines and label filing of `schema`.
void MultiValuePass(const Buffer& buffer, const ContactsSchema& schema, DdlEditor& editor,
                    ResultTable& table, ProgressSink* progress = nullptr, int threads = 0);

// The multi-value pass filing into label cells instead of a table: writes the
// multi-value lines into `editor`, scans `buffer` and files every plausible
// match under its record id, in position order; with `states` enabled,
// `first_values` (indexed by record id) gets where each id's first value lay,
// its state and whether deleted data only keeps it (record_facts.h). A record
// of a table that grew since it was written is read by its own header
// (record_shape.h). With `also`, that lane is swept in the same scan (the
// person records' copies: the input is read once for both). Returns false
// when `progress` cancelled.
bool FileMultiValues(const Buffer& buffer, const ContactsSchema& schema, DdlEditor& editor,
                     LabelCells& labels, MatchStatus& status, const RecordStates& states,
                     std::vector<ValueOrigin>& first_values, ProgressSink* progress = nullptr,
                     int threads = 0, const ScanLane* also = nullptr);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_MULTI_VALUE_PASS_H_
