// The contacts report: the result table written as tab-separated UTF-8 text
// with a byte-order mark, one line per row from 0 to LastRow().
#ifndef QUARROW_CONTACTS_CONTACTS_REPORT_H_
#define QUARROW_CONTACTS_CONTACTS_REPORT_H_

#include <array>
#include <string>
#include <string_view>

#include "contacts/result_table.h"
#include "engine/ports.h"

namespace quarrow {

// Every line holds the cells of columns 0 to 45, each followed by a TAB.
inline constexpr int kReportColumns = 46;
inline constexpr int kFirstLabelColumn = 32;

// Header names of the label columns 32 to 45.
inline constexpr std::array<std::string_view, 14> LabelNames = {
    "MOBILE",       "IPHONE",       "HOME",          "OTHER",
    "WORK",         "WORKFAX",      "Unknown",       "EMAIL_MOBILE",
    "EMAIL_IPHONE", "EMAIL_HOME",   "EMAIL_OTHER",   "EMAIL_WORK",
    "EMAIL_WORKFAX", "EMAIL_Unknown"};

// Names header cells 0 to 2 ("NUM_0", "NUM_1", "NUM_2") and 32 to 45.
void NameReportColumns(ResultTable& table);

// Appends row `row`'s report line to `out`: the byte-order mark first for row
// 0, then the 46 fields each followed by a TAB, then CR LF.
void AppendReportLine(const ResultTable& table, int64_t row, std::string& out);

// Clears `view`, names the header cells, writes rows 0 to LastRow() to
// `output_path` (truncated in place; "-" is standard output) and loads the file
// into `view`. Throws Error when the file cannot be created or written; the
// file is closed on every path.
void WriteContactsReport(ResultTable& table, const std::string& output_path,
                         OutputView& view);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_REPORT_H_
