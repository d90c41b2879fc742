// The person pass of contacts recovery: loads the input, finds the records of
// the address book's person table and adds one result-table row per record
// found, live or deleted. The buffer it loads is what the multi-value pass
// searches next.
#ifndef QUARROW_CONTACTS_PERSON_PASS_H_
#define QUARROW_CONTACTS_PERSON_PASS_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "contacts/contacts_schema.h"
#include "contacts/label_cells.h"
#include "contacts/record_copies.h"
#include "contacts/record_facts.h"
#include "contacts/record_states.h"
#include "contacts/report_writer.h"
#include "pagemap/match_status.h"
#include "contacts/result_table.h"
#include "contacts/value_links.h"
#include "contacts/value_placement.h"
#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/ports.h"
#include "engine/scan.h"

namespace quarrow {

// The person table's columns, one line of 727 bytes: 34 columns, 11 suppressed.
inline constexpr std::string_view PersonSchema =
    "ABPerson ROWID INTEGER PRIMARY KEY AUTOINCREMENT,First TEXT,Last TEXT,"
    "Middle TEXT,FirstPhonetic TEXT,MiddlePhonetic TEXT,LastPhonetic TEXT,"
    "Organization TEXT,Department TEXT,Note TEXT,Kind INTEGER,Birthday TEXT,"
    "JobTitle TEXT,Nickname TEXT,Prefix TEXT*,Suffix TEXT*,FirstSort TEXT*,"
    "LastSort TEXT*,CreationDate INTEGER,ModificationDate INTEGER,"
    "CompositeNameFallback TEXT*,ExternalIdentifier TEXT*,"
    "ExternalModificationTag TEXT,ExternalUUID TEXT,StoreID INTEGER,"
    "DisplayName TEXT,ExternalRepresentation BLOB,FirstSortSection TEXT*,"
    "LastSortSection TEXT*,FirstSortLanguageIndex INTEGER DEFAULT 2147483647*,"
    "LastSortLanguageIndex INTEGER DEFAULT 2147483647*,PersonLink INTEGER "
    "DEFAULT -1*,ImageURI TEXT,IsPreferredName INTEGER DEFAULT 1;";

// Schema column k goes to table column k + 3. Only columns 0 to 28 are kept:
// the rest would land in the label cells 32 to 36, which hold phone numbers.
inline constexpr int kFirstPersonColumn = 3;
inline constexpr int kPersonColumnsKept = 29;

// Where the cell at `from` in cells joined by TABs ends (at its TAB), or
// npos. The prefix's cells are a few digits each, read millions of times per
// GiB: a loop costs less than a call per cell.
inline size_t CellEnd(std::string_view cells, size_t from) {
  for (size_t at = from; at < cells.size(); ++at)
    if (cells[at] == '\t') return at;
  return std::string_view::npos;
}

// Appends the row of a person match to `row`, as cells joined by TABs: cells 0
// to 2 from `prefix` (payload length, rowid, header length, each followed by a
// TAB), then the kept columns' values, "null" for a suppressed one. Touches
// nothing else, so the scan's workers run it.
bool FormatPersonRow(std::string_view prefix, const ColumnList& columns, std::string& row);
// The same for a person list of another layout: report cell 3 + k holds the
// column person_cells[k] names (see ContactsSchema).
bool FormatPersonRow(std::string_view prefix, const ColumnList& columns,
                     const std::vector<int>& person_cells, std::string& row);

// The same, rendering the columns straight from the match's bytes into `row`
// (the match carries its view and body start; the columns' values are not
// used), so that no value is rendered twice.
bool FormatPersonRowFromMatch(const Match& match, const ColumnList& columns,
                              const std::vector<int>& person_cells, std::string& row);

// Adds one row for a person match, as FormatPersonRow gives it.
void AddPersonRow(ResultTable& table, std::string_view prefix,
                  const ColumnList& columns);

// Resets `table`, writes the person schema's lines into `editor`, loads
// them as the column list, names header cells 3 to 31, loads the input from
// the start offset `offset_text` (the file is opened before the text is
// converted, so a file error comes first; a negative offset is refused) and adds
// a row per match. Returns the buffer. Throws Error for those failures and when
// `progress` cancels.
Buffer PersonPass(const std::string& input_path, const std::string& offset_text,
                  DdlEditor& editor, ResultTable& table,
                  ProgressSink* progress = nullptr);
// The same with the person lines and cells of `schema`.
Buffer PersonPass(const std::string& input_path, const std::string& offset_text,
                  const ContactsSchema& schema, DdlEditor& editor, ResultTable& table,
                  ProgressSink* progress = nullptr, int threads = 0);

// Loads the input from the start offset `offset_text` (the file is opened
// before the text is converted, so a file error comes first; a negative offset
// is refused). Throws Error for those failures.
Buffer LoadContactsBuffer(const std::string& input_path, const std::string& offset_text);

// The person pass streaming to a report: writes the person schema's lines
// into `editor`, scans `buffer` and writes one row per match to `writer`, in
// position order, as the table's rows would be written: the first row of a
// rowid that has values takes its label cells, when the rowid is its cell's
// (value_placement.h); a row whose rowid is not proven takes the values of
// the id `copies` give its record (record_copies.h), or else those `links`
// give its names. Then the values of each id that no person row
// took, in a row of their own, in the order of the ids' first values. Each row carries its
// person record's offset, status and state (`states`; a row of values alone
// its first value's, `value_origins`, indexed by record id); with
// `deleted_only`, only rows of deleted and unknown records are written, and
// of the unknown ones only those that equal no live row (record_facts.h;
// their values still go to them, not to another row). A record of a table
// that grew since it was written is read by its own header (record_shape.h).
// Returns false when `progress` cancelled (the rows so far are written).
//
// With `found`, no row is written: each person record goes to `found` as the
// scan phase knows it, before any value is placed (a shard's part, which the
// merge places and writes: contacts_parts.h); the writer is only asked for
// its options.
struct FoundPerson {
  int64_t offset = 0;        // the record's input offset
  std::string_view row;      // cells 0 to 31 joined by TABs
  int proven_id = 0;         // the record id its whole cell's rowid proves; 0: none
  const PersonNames* names;  // its names, when it proves none
  std::optional<CopyKey> copy_key;  // its record's key, when it proves no id
  PageStatus where;
  RecordState state = RecordState::kUnknown;
  bool kept = true;          // what --deleted-only says of it
};
using FoundPersonSink = std::function<void(const FoundPerson&)>;
bool StreamPersonRows(const Buffer& buffer, const ContactsSchema& schema, DdlEditor& editor,
                      const LabelCells& labels, ContactsReportWriter& writer,
                      MatchStatus& status, const RecordStates& states,
                      const std::vector<ValueOrigin>& value_origins, const ValueLinks& links,
                      const RecordCopies& copies, bool deleted_only,
                      ProgressSink* progress = nullptr, int threads = 0,
                      const FoundPersonSink& found = nullptr);

// The whole copies among the person records of `buffer` (those whose rowid
// their cell proves), sealed, for StreamPersonRows: a scan of its own, as the
// person pass scans, by the person schema's lines (the editor keeps what the
// passes around it leave there). Returns nothing when `progress` cancels.
std::optional<RecordCopies> FindPersonCopies(const Buffer& buffer, const ContactsSchema& schema,
                                             ProgressSink* progress = nullptr, int threads = 0);
// The same search as a lane of another scan of the same buffer (the values'),
// so that the input is swept once for both: each whole copy is filed into
// `copies`, which the caller seals once that scan is done. `copies` must
// outlive the scan.
ScanLane PersonCopiesLane(const ContactsSchema& schema, RecordCopies& copies);

// The report's last rows, after the person rows: each id's values that no
// person row took, in a row of its own holding only the id, in the order of
// the ids' first values; with `deleted_only`, only ids whose first value it
// keeps. `offset_of` turns a value's position (LabelCells) into its input
// offset. The whole run and the merge of parts both end with it.
void WriteValueOnlyRows(const LabelCells& labels, ValuePlacement& placement,
                        const std::vector<ValueOrigin>& value_origins, bool deleted_only,
                        const std::function<int64_t(int64_t)>& offset_of,
                        ContactsReportWriter& writer);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_PERSON_PASS_H_
