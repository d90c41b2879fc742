#include "contacts/report_writer.h"

#include "engine/header.h"

namespace quarrow {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

ContactsReportWriter::ContactsReportWriter(const std::string& output_path,
                                           const RunOptions& options,
                                           const std::vector<std::string>& names)
    : file_(output_path), options_(options), names_(names), formatted_(options, names) {
  if (options_.format != ReportFormat::kTsv) {
    file_.Write(formatted_.Head());
    return;
  }
  line_ = kByteOrderMark;
  for (const std::string& name : names) AppendCell(name);
  if (options_.details) {
    AppendCell("OFFSET");
    AppendCell("STATUS");
    AppendCell("STATE");
    AppendCell("LINKS");
  }
  line_ += "\r\n";
  file_.Write(line_);
}

void ContactsReportWriter::AppendCell(std::string_view cell) {
  line_ += cell;
  line_ += '\t';
}

void ContactsReportWriter::Row(std::span<const std::string_view> cells, int64_t offset,
                               std::string_view status, std::string_view state,
                               std::string_view links) {
  if (options_.format != ReportFormat::kTsv)
    return FormattedRow(formatted_.Row(cells, offset, status, state, links));
  line_.clear();
  ++rows_;
  for (std::string_view cell : cells) AppendCell(cell);
  EndTsvRow(offset, status, state, links);
}

void ContactsReportWriter::EndTsvRow(int64_t offset, std::string_view status,
                                     std::string_view state, std::string_view links) {
  if (options_.details) {
    AppendDecimal(offset, line_);
    line_ += '\t';
    AppendCell(status);
    AppendCell(state);
    AppendCell(links);
  }
  line_ += "\r\n";
  file_.Write(line_);
}

void ContactsReportWriter::Row(std::string_view joined_cells,
                               std::span<const std::string_view> more_cells, int64_t offset,
                               std::string_view status, std::string_view state,
                               std::string_view links) {
  if (options_.format != ReportFormat::kTsv)
    return FormattedRow(formatted_.Row(joined_cells, more_cells, offset, status, state, links));
  // tsv takes the joined cells as they are: no need to split them.
  line_.clear();
  ++rows_;
  AppendCell(joined_cells);
  for (std::string_view cell : more_cells) AppendCell(cell);
  EndTsvRow(offset, status, state, links);
}

}  // namespace quarrow
