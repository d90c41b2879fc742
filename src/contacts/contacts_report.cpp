#include "contacts/contacts_report.h"

#include <charconv>
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
  cells_.resize(layout_.size());
  for (size_t col = 0; col < layout_.size(); ++col) {
    kinds_.push_back(layout_.columns()[col].integer ? Kind::kInteger
                     : suppressed.count(names[col]) ? Kind::kSuppressed
                                                    : Kind::kText);
  }
}

std::string ContactsFormattedReport::Head() const {
  std::string head;
  if (options_.format != ReportFormat::kCsv) return head;
  if (options_.bom) head += kUtf8ByteOrderMark;
  std::vector<ReportColumn> columns = layout_.columns();
  if (options_.details) {
    columns.push_back({"offset", true});
    columns.push_back({"status", false});
  }
  AppendCsvHeader(columns, head);
  return head;
}

std::string_view ContactsFormattedReport::CsvLineOfCells(int64_t offset,
                                                         std::string_view status) {
  csv_.Begin();
  for (const Cell& cell : cells_) {
    if (cell.plain) csv_.PlainField(cell.text);
    else csv_.Field(cell.text);
  }
  if (options_.details) {
    char digits[24];
    csv_.Field(std::string_view(digits, std::to_chars(digits, digits + sizeof digits, offset).ptr));
    csv_.Field(status);
  }
  return csv_.Finish();
}

std::string_view ContactsFormattedReport::JsonlLineOfCells(int64_t offset,
                                                           std::string_view status) {
  jsonl_.Begin();
  if (offset >= 0) jsonl_.Integer("offset", offset);
  if (options_.details) jsonl_.Text("status", status);
  // Room for the whole row at once: no check per cell. The loop reads through
  // locals: every byte written could alias a member, locals it cannot.
  char* out = jsonl_.MakeRoom(layout_.RoomForAll(cells_size_));
  const JsonlColumns& layout = layout_;
  const Cell* cells = cells_.data();
  const Kind* kinds = kinds_.data();
  for (size_t col = 0, columns = cells_.size(); col < columns; ++col) {
    const std::string_view cell = cells[col].text;
    const Kind kind = kinds[col];
    if (kind != Kind::kText && cell == "null") {
      out = JsonlLine::WriteNull(layout, col, out);
    } else if (kind == Kind::kInteger && cell.empty()) {
      out = JsonlLine::WriteNull(layout, col, out);
    } else if (kind == Kind::kInteger && IsDecimalInteger(cell)) {
      out = JsonlLine::WriteNumber(layout, col, cell, out);
    } else if (cells[col].plain) {
      out = JsonlLine::WritePlainText(layout, col, cell, out);
    } else {
      out = jsonl_.WriteText(layout, col, cell, out);
    }
  }
  jsonl_.Commit(out);
  return jsonl_.Finish();
}

std::string_view ContactsFormattedReport::Row(std::span<const std::string_view> cells,
                                              int64_t offset, std::string_view status) {
  cells_size_ = 0;
  for (size_t col = 0; col < cells_.size(); ++col) {
    cells_[col] = {col < cells.size() ? cells[col] : std::string_view(), false};
    cells_size_ += cells_[col].text.size();
  }
  return options_.format == ReportFormat::kCsv ? CsvLineOfCells(offset, status)
                                               : JsonlLineOfCells(offset, status);
}

template <typename Marks>
void ContactsFormattedReport::SplitCells(std::string_view joined_cells,
                                         std::span<const std::string_view> more_cells,
                                         const std::array<bool, 256>& plain_bytes, Marks marks) {
  const size_t columns = cells_.size();
  size_t col = 0, start = 0;
  bool plain = true;
  // One pass over the joined cells finds both the TABs between them and the
  // bytes that keep a cell from being copied as it is.
  ForEachMarked(joined_cells, plain_bytes, marks, [&](size_t at) {
    if (joined_cells[at] != '\t') {
      plain = false;
      return;
    }
    if (col < columns) cells_[col++] = {{joined_cells.data() + start, at - start}, plain};
    start = at + 1;
    plain = true;
  });
  if (col < columns) cells_[col++] = {joined_cells.substr(start), plain};
  cells_size_ = joined_cells.size();
  for (size_t k = 0; k < more_cells.size() && col < columns; ++k, ++col) {
    cells_[col] = {more_cells[k], more_cells[k].empty()};
    cells_size_ += more_cells[k].size();
  }
  for (; col < columns; ++col) cells_[col] = {std::string_view(), true};
}

std::string_view ContactsFormattedReport::Row(std::string_view joined_cells,
                                              std::span<const std::string_view> more_cells,
                                              int64_t offset, std::string_view status) {
  using namespace byte_scan;
  if (options_.format == ReportFormat::kCsv) {
    SplitCells(joined_cells, more_cells, kCsvPlain, CsvNotPlain());
    return CsvLineOfCells(offset, status);
  }
  SplitCells(joined_cells, more_cells, kJsonPlain, JsonNotPlain());
  return JsonlLineOfCells(offset, status);
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
