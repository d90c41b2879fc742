// The recovery measure: how much of a sample address book's ground truth (its
// manifest, sample_book.h) a contacts report brings back. Persons are found by
// name; numbers and e-mail addresses by their place in the report. Pure
// functions over texts; thread-safe.
//
// The contacts report is tab-separated UTF-8 with a byte-order mark, one row
// per CR LF, 46 fields per row (50 with details: OFFSET, STATUS, STATE, LINKS) each
// followed by a TAB; its first row names the columns. Columns are found by
// name: "First", "Last", "Organization" and the label columns "MOBILE" ...
// "Unknown", "EMAIL_MOBILE" ... "EMAIL_Unknown", whose cells merge values as
// comma-separated items (", " and spaces); with details, "NUM_1" (the rowid),
// "CreationDate", "ModificationDate", "ExternalUUID" and "STATE" too.
#ifndef QUARROW_TOOLS_RECOVERY_MEASURE_H_
#define QUARROW_TOOLS_RECOVERY_MEASURE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow::sample {

struct ManifestValue {
  int64_t record_id = 0;
  int property = 0;     // 3 phone, 4 e-mail, others not measured
  std::string label;    // the label's text ("_$!<Mobile>!$_", "Telma")
  std::string value;
};

struct ManifestEdit {
  int64_t old_modified = 0;
  int64_t new_modified = 0;
  std::string old_number;  // empty when no number changed
  std::string new_number;
};

struct ManifestPerson {
  int64_t rowid = 0;
  bool deleted = false;
  std::string first;
  std::string last;
  std::string organization;
  // Manifests of version 3 on; 0 and empty in older ones.
  int layout = 0;  // of the last record written for the person
  int64_t created = 0;
  int64_t modified = 0;
  std::string external_uuid;
  std::vector<ManifestValue> values;
  std::vector<ManifestEdit> edits;
};

// Parses a manifest written by ManifestText (version 2 or 3): "#" lines are
// skipped, each "value" and "edit" line belongs to the "person" line before
// it. Throws std::runtime_error naming the line for anything else.
std::vector<ManifestPerson> ParseManifest(std::string_view text);

struct ContactsReport {
  std::vector<std::string> header;             // the first row's 46 (or 49) names
  std::vector<std::vector<std::string>> rows;  // the other rows, as many cells each
};

// Parses a contacts report (see above). A cell may hold CR or LF (a note's
// line breaks): rows end after as many TABs as the header row has (46, or
// more with details). Throws std::runtime_error when the bytes are not such a
// report.
ContactsReport ParseContactsReport(std::string_view bytes);

// The report column a value goes to: by its label's text, "_$!<Mobile>!$_"
// and "Mobile" to MOBILE, likewise iPhone, Home, Other, Work and WorkFAX; any
// other label to "Unknown"; "EMAIL_" in front for e-mail (property 4).
std::string LabelColumnName(std::string_view label, int property);

// True iff a value is a USSD code ('#' or '*'), which the contacts recovery
// excludes by design: such values are not counted.
bool IsExcludedValue(std::string_view value);

struct Score {
  int64_t found = 0;
  int64_t total = 0;
};

struct RecoveryMeasure {
  // A person is found by name when a row's First and Last cells equal the
  // person's; a person with neither (a company) by a row with both empty and
  // its Organization cell equal.
  Score live_persons;
  // Numbers and e-mail addresses (properties 3 and 4) that are an item of the
  // right label column's cell in a row found for their person.
  Score live_values;
  Score deleted_persons;
  Score deleted_values_filed;     // as live_values
  Score deleted_values_in_row;    // in any label column of a row of the person
  Score deleted_values_anywhere;  // an item of any label cell of any row
  // Of the deleted persons' values: those that stand beside a name (an item
  // of a row whose First, Last or Organization is not empty), and of them
  // those beside the name of a person of the book who does not have that
  // text (a wrong link; a name no person has, bytes a freeblock header
  // overwrote, attributes it to no one).
  int64_t deleted_values_beside_name = 0;
  int64_t deleted_values_wrong_name = 0;
  int64_t excluded_values = 0;    // USSD codes, not counted above
};

RecoveryMeasure MeasureRecovery(const std::vector<ManifestPerson>& persons,
                                const ContactsReport& report);

// What a report with details (STATE) and one of deleted data only say of the
// book's history, by the manifest (version 3).
struct StateMeasure {
  // The deleted-only report's rows that carry the name and the rowid (NUM_1)
  // of a person who is still in the book: never deleted data.
  int64_t live_rowid_rows = 0;
  // Its rows that carry a live person's name under another rowid (a rowid
  // destroyed with its cell, or one of the same name deleted).
  int64_t live_name_rows = 0;
  // Deleted persons the details report finds by name that the deleted-only
  // report finds too.
  Score deleted_kept;
  // Deleted persons the details report finds by name whose rows are all
  // deleted or unknown (STATE), never live or prior.
  Score deleted_by_state;
  // Edits whose earlier version (the person's name and the old
  // ModificationDate) is a row of the details report, and their rows by STATE.
  Score earlier_versions;
  int64_t earlier_prior = 0, earlier_unknown = 0, earlier_other = 0;
  // Persons deleted before the layout upgrade (their last record in the older
  // layout) found by name, and with CreationDate, ModificationDate and
  // ExternalUUID in their columns too.
  Score pre_upgrade_found;
  Score pre_upgrade_columns;
};

// `details` is a contacts report with details; `deleted_only` one with
// --deleted-only too. Throws std::runtime_error when a report lacks a column.
StateMeasure MeasureStates(const std::vector<ManifestPerson>& persons,
                           const ContactsReport& details, const ContactsReport& deleted_only);

// "found of total (percent%)", the percentage rounded down to one decimal
// ("(-)" when total is 0).
std::string FormatScore(const Score& score);

}  // namespace quarrow::sample

#endif  // QUARROW_TOOLS_RECOVERY_MEASURE_H_
