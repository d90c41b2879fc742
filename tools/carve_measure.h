// The carve measure: how much of a carve scenario's truth (carve_scenario.h)
// a table carver's jsonl report brings back, for one table.
//
// A report line is a JSON object: "offset", "payload_length", "rowid" (null
// when lost), "header_length", one member per column, then "status", "state"
// (live, prior, deleted, unknown) and "recovery" (intact, rebuilt, partial).
// A column whose name is taken by one of those keys is looked up with the
// report's suffix ("status_2"); other unknown members are ignored, and a
// missing column reads as null. Without "recovery" a row counts as intact,
// without "state" as claiming nothing.
//
// Values match when both are null, both strings with the same bytes (texts,
// and blobs as lowercase hex), or both numbers of the same value: integers
// exactly, otherwise both read as doubles. A report
// row matches a row version when its rowid (if not null) is the version's and
// every column's value matches; the INTEGER PRIMARY KEY column, which holds
// the rowid, is skipped when null, and so is any null value of a partial row.
//
// Pure functions over parsed texts and the evidence's bytes; thread-safe.
#ifndef QUARROW_TOOLS_CARVE_MEASURE_H_
#define QUARROW_TOOLS_CARVE_MEASURE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carve_json.h"

namespace quarrow::scenario {

struct TruthTable {
  std::string name;
  std::vector<std::string> columns;
  int ipk_column = -1;
  bool dropped = false;
};

struct TruthRow {
  std::string table;
  int64_t rowid = 0;
  std::string fate;                // live, deleted, dropped, prior
  std::vector<JsonValue> values;   // one per column of its table, in order
  bool overflow = false;
  std::string record;              // the record's bytes
};

struct Truth {
  std::string family;
  int page_size = 0;
  std::string journal;
  std::vector<TruthTable> tables;
  std::vector<TruthRow> rows;
  const TruthTable* FindTable(std::string_view name) const;
};

// Parses truth.jsonl (TruthText's lines). Throws std::runtime_error naming the
// line for anything else.
Truth ParseTruth(std::string_view text);

struct ReportRow {
  std::string line;  // as the report has it
  JsonValue object;
  std::optional<int64_t> rowid;
  std::string state;     // "" when the report gives none
  std::string recovery;  // "" when the report gives none
};

// Parses a jsonl report; blank lines are skipped. Throws std::runtime_error
// naming the line that is no JSON object.
std::vector<ReportRow> ParseReport(std::string_view text);

// True iff the two values match (see above).
bool ValuesMatch(const JsonValue& report, const JsonValue& truth);

// True iff `row` matches `version` of `table` (see above).
bool RowMatches(const ReportRow& row, const TruthTable& table, const TruthRow& version);

// True iff `version`'s record bytes survive in one of `files`: all but those
// a freed cell's header may overwrite (the cell's first four bytes less its
// payload-length and rowid varints), each piece that lies contiguously on a
// page (carve_record.h: the leaf's part, then each overflow page's part)
// found whole somewhere in the files. When those first bytes are not found
// with the rest, a value that its serial type alone held (NULL, 0, 1, an
// empty text or blob) and whose type lay in them went with them: the record
// does not survive, unless that column is the rowid's alias (`rowid_column`),
// always NULL.
bool Survives(const TruthRow& version, int page_size, const std::vector<std::string>& files,
              int rowid_column = -1);

struct Score {
  int64_t count = 0;
  int64_t of = 0;
};

struct CarveMeasure {
  Score deleted;             // deleted or dropped versions, of all versions
  Score surviving;           // of the deleted: their bytes survive
  Score right;               // of the deleted: a report row matches them fully
  Score right_surviving;     // of the surviving deleted
  Score overflow_right;      // of the surviving deleted overflow rows
  Score dropped_right;       // of the surviving dropped rows
  Score false_rows;          // report rows matching no version of the table, of all
                             // report rows (a row of another table is false too)
  Score live_under_deleted;  // report rows equal to a live row of the same rowid
                             // that claim deleted or unknown, of the live rows
  Score prior_seen;          // prior versions matched by a row with state prior
  std::vector<size_t> false_row_indexes;  // into the report, ascending
  // Surviving deleted or dropped versions no report row brings back right:
  // their table's rowid and fate, in the truth's order.
  std::vector<const TruthRow*> missed;
};

// Measures `report` (rows carved for `table`) against the truth; `files` are
// the evidence's bytes (database, -wal, -journal). With
// `deleted_only_report`, every row is taken as claiming to be deleted (a
// --deleted-only report keeps no live rows).
CarveMeasure MeasureCarve(const Truth& truth, const std::string& table,
                          const std::vector<ReportRow>& report,
                          const std::vector<std::string>& files, bool deleted_only_report);

// The measure as a tab-separated table, LF-ended lines: a header line
//   table measure count of percent target
// then one line per measure; "percent" is rounded down to one decimal ("-"
// when "of" is 0); "target" says "met" or "MISSED" with the goal, or is empty.
std::string FormatMeasure(const std::string& table, const CarveMeasure& measure);

// True iff every target is met: >= 99% of surviving deleted rows right, 100%
// of surviving overflow rows, >= 95% of surviving dropped rows, no live row
// under deleted-only, false rows under 2% of the report. A target with
// nothing to count is met.
bool TargetsMet(const CarveMeasure& measure);

}  // namespace quarrow::scenario

#endif  // QUARROW_TOOLS_CARVE_MEASURE_H_
