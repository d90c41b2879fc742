// The recovery measure: how much of a sample address book's ground truth (its
// manifest, sample_book.h) a contacts report brings back. Persons are found by
// name; numbers and e-mail addresses by their place in the report. Pure
// functions over texts; thread-safe.
//
// The contacts report is tab-separated UTF-8 with a byte-order mark, one row
// per CR LF, 46 fields per row each followed by a TAB; its first row names the
// columns. Columns are found by name: "First", "Last", "Organization" and the
// label columns "MOBILE" ... "Unknown", "EMAIL_MOBILE" ... "EMAIL_Unknown",
// whose cells merge values as comma-separated items (", " and spaces).
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

struct ManifestPerson {
  int64_t rowid = 0;
  bool deleted = false;
  std::string first;
  std::string last;
  std::string organization;
  std::vector<ManifestValue> values;
};

// Parses a manifest written by ManifestText: "#" lines are skipped, each
// "value" line belongs to the "person" line before it. Throws
// std::runtime_error naming the line for anything else.
std::vector<ManifestPerson> ParseManifest(std::string_view text);

struct ContactsReport {
  std::vector<std::string> header;             // the first row's 46 names
  std::vector<std::vector<std::string>> rows;  // the other rows, 46 cells each
};

// Parses a contacts report (see above). A cell may hold CR or LF (a note's
// line breaks): rows end after their 46th TAB. Throws std::runtime_error when
// the bytes are not such a report.
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
  int64_t excluded_values = 0;    // USSD codes, not counted above
};

RecoveryMeasure MeasureRecovery(const std::vector<ManifestPerson>& persons,
                                const ContactsReport& report);

// "found of total (percent%)", the percentage rounded down to one decimal
// ("(-)" when total is 0).
std::string FormatScore(const Score& score);

}  // namespace quarrow::sample

#endif  // QUARROW_TOOLS_RECOVERY_MEASURE_H_
