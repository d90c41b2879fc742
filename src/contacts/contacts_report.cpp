#include "contacts/contacts_report.h"

#include <set>
#include <vector>

#include "contacts/person_pass.h"
#include "contacts/report_writer.h"
#include "engine/columns.h"
#include "engine/file_io.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"

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

namespace {

// The csv and jsonl columns: the header names; integers are the three numbers
// and the person schema's INTEGER columns.
std::vector<ReportColumn> ReportColumns(const std::vector<std::string>& names,
                                        bool details) {
  std::set<std::string> integer_names(kPrefixNames.begin(), kPrefixNames.end());
  for (const TERM& column : LoadColumns(SplitSchema(PersonSchema)))
    if (column.tp == kInteger) integer_names.insert(column.name);
  std::vector<ReportColumn> columns;
  for (const std::string& name : names) columns.push_back({name, integer_names.count(name) > 0});
  std::vector<std::string> reserved = {"_raw", "offset"};
  if (details) reserved.push_back("status");
  return UniqueColumnNames(std::move(columns), reserved);
}

}  // namespace

ContactsFormattedReport::ContactsFormattedReport(const RunOptions& options,
                                                 const std::vector<std::string>& names)
    : options_(options), layout_(ReportColumns(names, options.details)) {
  // The built-in schema's suppressed ("*") columns print "null" for any value.
  std::set<std::string> suppressed;
  for (const TERM& column : LoadColumns(SplitSchema(PersonSchema)))
    if (column.off) suppressed.insert(column.name);
  for (const std::string& name : names) suppressed_.push_back(suppressed.count(name) > 0);
}

std::string ContactsFormattedReport::Head() const {
  std::string head;
  if (options_.format != ReportFormat::kCsv) return head;
  if (options_.bom) head += kUtf8ByteOrderMark;
  std::vector<ReportColumn> columns = layout_.columns;
  if (options_.details) {
    columns.push_back({"offset", true});
    columns.push_back({"status", false});
  }
  AppendCsvHeader(columns, head);
  return head;
}

void ContactsFormattedReport::AppendRow(std::span<const std::string_view> cells,
                                        int64_t offset, std::string_view status,
                                        std::string& out) const {
  const std::vector<ReportColumn>& columns = layout_.columns;
  std::vector<ReportField> fields;
  fields.reserve(columns.size() + 2);
  for (size_t col = 0; col < columns.size(); ++col) {
    std::string_view cell = col < cells.size() ? cells[col] : std::string_view();
    // A suppressed column prints "null": no value; nor is an empty integer.
    const bool suppressed = col < suppressed_.size() && suppressed_[col] && cell == "null";
    fields.push_back({cell, suppressed || (columns[col].integer && (cell == "null" || cell.empty()))});
  }
  if (options_.format == ReportFormat::kCsv) {
    std::string offset_text = std::to_string(offset);
    if (options_.details) {
      fields.push_back({offset_text});
      fields.push_back({status});
    }
    AppendCsvRecord(fields, out);
    return;
  }
  JsonlRecord record(out);
  if (offset >= 0) record.Integer("offset", offset);
  if (options_.details) record.Text("status", status);
  for (size_t col = 0; col < columns.size(); ++col) record.Field(layout_, col, fields[col]);
  record.End();
}

void WriteContactsReport(ResultTable& table, const std::string& output_path,
                         OutputView& view, const RunOptions& options) {
  view.Clear();
  NameReportColumns(table);
  std::vector<std::string> names;
  for (int col = 0; col < kReportColumns; ++col) names.emplace_back(table.Cell(0, col));
  ContactsReportWriter writer(output_path, options, names);
  std::vector<std::string_view> cells(kReportColumns);
  for (int64_t row = 1; row <= table.LastRow(); ++row) {
    for (int col = 0; col < kReportColumns; ++col) cells[col] = table.Cell(row, col);
    writer.Row(cells, -1, "");
  }
  writer.Close();
  view.LoadFile(output_path);
}

}  // namespace quarrow
