#include "contacts/report_writer.h"

#include "engine/header.h"

namespace quarrow {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

ContactsReportWriter::ContactsReportWriter(const std::string& output_path,
                                           const RunOptions& options,
                                           const std::vector<std::string>& names)
    : file_(output_path), options_(options), formatted_(options, names) {
  if (options_.format != ReportFormat::kTsv) {
    file_.Write(formatted_.Head());
    return;
  }
  line_ = kByteOrderMark;
  for (const std::string& name : names) AppendCell(name);
  if (options_.details) {
    AppendCell("OFFSET");
    AppendCell("STATUS");
  }
  line_ += "\r\n";
  file_.Write(line_);
}

void ContactsReportWriter::AppendCell(std::string_view cell) {
  line_ += cell;
  line_ += '\t';
}

void ContactsReportWriter::Row(std::span<const std::string_view> cells, int64_t offset,
                               std::string_view status) {
  line_.clear();
  ++rows_;
  if (options_.format != ReportFormat::kTsv) {
    formatted_.AppendRow(cells, offset, status, line_);
    file_.Write(line_);
    return;
  }
  for (std::string_view cell : cells) AppendCell(cell);
  EndTsvRow(offset, status);
}

void ContactsReportWriter::EndTsvRow(int64_t offset, std::string_view status) {
  if (options_.details) {
    AppendDecimal(offset, line_);
    line_ += '\t';
    AppendCell(status);
  }
  line_ += "\r\n";
  file_.Write(line_);
}

void ContactsReportWriter::Row(std::string_view joined_cells,
                               std::span<const std::string_view> more_cells, int64_t offset,
                               std::string_view status) {
  if (options_.format != ReportFormat::kTsv) {
    std::vector<std::string_view> cells;
    for (size_t start = 0;;) {
      const size_t tab = joined_cells.find('\t', start);
      cells.push_back(joined_cells.substr(start, tab - start));
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    cells.insert(cells.end(), more_cells.begin(), more_cells.end());
    Row(cells, offset, status);
    return;
  }
  // tsv takes the joined cells as they are: no need to split them.
  line_.clear();
  ++rows_;
  AppendCell(joined_cells);
  for (std::string_view cell : more_cells) AppendCell(cell);
  EndTsvRow(offset, status);
}

}  // namespace quarrow
