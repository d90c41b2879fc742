#include "contacts/contacts_report.h"

#include "engine/file_io.h"

namespace quarrow {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::array<std::string_view, 3> kPrefixNames = {"NUM_0", "NUM_1", "NUM_2"};

}  // namespace

void NameReportColumns(ResultTable& table) {
  for (int k = 0; k < static_cast<int>(kPrefixNames.size()); ++k) {
    table.SetCell(0, k, kPrefixNames[k]);
  }
  for (int k = 0; k < static_cast<int>(LabelNames.size()); ++k) {
    table.SetCell(0, kFirstLabelColumn + k, LabelNames[k]);
  }
}

void AppendReportLine(const ResultTable& table, int64_t row, std::string& out) {
  if (row == 0) out += kByteOrderMark;
  table.AppendCells(row, kReportColumns, out);
  out += "\r\n";
}

void WriteContactsReport(ResultTable& table, const std::string& output_path,
                         OutputView& view) {
  view.Clear();
  NameReportColumns(table);
  OutputFile file(output_path);
  std::string line;
  for (int64_t row = 0; row <= table.LastRow(); ++row) {
    line.clear();
    AppendReportLine(table, row, line);
    file.Write(line);
  }
  file.Close();
  view.LoadFile(output_path);
}

}  // namespace quarrow
