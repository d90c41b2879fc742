// Helpers for tests that read contacts reports: the report's column names, an
// output view that shows nothing, a recovery run into a report file, and a
// report split into rows of cells.
#ifndef QUARROW_TESTS_CONTACTS_REPORT_ROWS_H_
#define QUARROW_TESTS_CONTACTS_REPORT_ROWS_H_

#include <string>
#include <string_view>
#include <vector>

#include "contacts/contacts_recovery.h"
#include "contacts/contacts_report.h"
#include "contacts/person_pass.h"
#include "contacts/result_table.h"
#include "engine/columns.h"
#include "engine/ports.h"
#include "engine/run_options.h"

namespace quarrow::testing {

// The report's 46 column names, as a contacts run names them.
inline std::vector<std::string> ContactsReportNames() {
  std::vector<std::string> names = {"NUM_0", "NUM_1", "NUM_2"};
  const ColumnList person = LoadColumns(SplitSchema(PersonSchema));
  for (int k = 0; k < kPersonColumnsKept; ++k) names.push_back(person[k].name);
  for (std::string_view label : LabelNames) names.emplace_back(label);
  return names;
}

class NoView : public OutputView {
 public:
  void Clear() override {}
  void AppendLine(std::string_view) override {}
  void LoadFile(const std::string&) override {}
};

// Recovers the contacts of `input` (from its first byte) into `output` with
// `options`; returns the DDL editor's lines at the end.
inline std::vector<std::string> RecoverContactsInto(const std::string& input,
                                                    const std::string& output,
                                                    const RunOptions& options = {}) {
  LinesEditor editor;
  NoView view;
  ResultTable table;
  RecoverContacts(input, "0", output, editor, view, table, nullptr, options);
  return editor.lines();
}

// The report's rows (the header row first), each split at its TABs; the
// byte-order mark and the CR LF line ends are dropped.
inline std::vector<std::vector<std::string>> ReportRows(const std::string& report) {
  std::vector<std::vector<std::string>> rows;
  size_t start = 3;
  for (size_t end; (end = report.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::vector<std::string> fields;
    std::string line = report.substr(start, end - start);
    for (size_t tab; (tab = line.find('\t')) != std::string::npos; line.erase(0, tab + 1))
      fields.push_back(line.substr(0, tab));
    rows.push_back(std::move(fields));
  }
  return rows;
}

}  // namespace quarrow::testing

#endif  // QUARROW_TESTS_CONTACTS_REPORT_ROWS_H_
