#include "search/find_data.h"

#include <array>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/file_io.h"
#include "engine/header.h"
#include "engine/scan.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

// One tsv report line, as specified; runs on the scan's workers.
bool FormatTsvLine(const Match& match, const ColumnList& columns, std::string& line) {
  line.append(match.prefix);
  for (const TERM& column : columns) {
    line += column.off ? std::string_view("null") : std::string_view(column.value);
    line += '\t';
  }
  line += "\r\n";
  return true;
}

// The csv and jsonl columns: the three numbers, then the DDL's columns.
std::vector<ReportColumn> ReportColumns(const ColumnList& columns) {
  std::vector<ReportColumn> report;
  for (const char* name : kFindNumberNames) report.push_back({name, true});
  for (const TERM& column : columns) report.push_back({column.name, column.tp == kInteger});
  // "offset" and "_raw" are jsonl's own keys.
  return UniqueColumnNames(std::move(report), {"offset", "_raw"});
}

// A match's fields: the prefix's three numbers (each followed by a TAB in
// `prefix`; a missing one is empty), then the columns' values.
void MatchFields(const Match& match, const ColumnList& columns,
                 std::vector<ReportField>& fields) {
  std::string_view prefix = match.prefix;
  for (int k = 0; k < 3; ++k) {
    size_t tab = prefix.find('\t');
    std::string_view number = prefix.substr(0, tab);
    fields.push_back({number, number.empty()});
    prefix.remove_prefix(tab == std::string_view::npos ? prefix.size() : tab + 1);
  }
  for (const TERM& column : columns) {
    if (column.off) {
      fields.push_back({"null", true});
      continue;
    }
    int32_t kind = SerialTypeKind(column.serial).kind;
    fields.push_back({column.value, column.serial == 0, kind == kInteger});
  }
}

// The formatter of `options.format` for a scan whose buffer starts at
// `start_offset` in the input. Runs on the scan's workers: it only reads
// `report_columns`.
MatchFormatter ReportFormatter(ReportFormat format, const JsonlColumns& report_columns,
                               int64_t start_offset) {
  switch (format) {
    case ReportFormat::kTsv:
      return FormatTsvLine;
    case ReportFormat::kCsv:
      return [](const Match& match, const ColumnList& columns, std::string& line) {
        thread_local std::vector<ReportField> fields;
        fields.clear();
        MatchFields(match, columns, fields);
        AppendCsvRecord(fields, line);
        return true;
      };
    case ReportFormat::kJsonl:
      return [&report_columns, start_offset](const Match& match,
                                             const ColumnList& columns, std::string& line) {
        thread_local std::vector<ReportField> fields;
        fields.clear();
        MatchFields(match, columns, fields);
        AppendJsonlRecord(report_columns, fields, start_offset + match.position, line);
        return true;
      };
  }
  return FormatTsvLine;
}

// What the report holds before its first record.
std::string ReportHead(const RunOptions& options,
                       const std::vector<ReportColumn>& report_columns) {
  std::string head;
  switch (options.format) {
    case ReportFormat::kTsv:
      return "\xEF\xBB\xBFTABLE\r\n";
    case ReportFormat::kCsv:
      if (options.bom) head += kUtf8ByteOrderMark;
      AppendCsvHeader(report_columns, head);
      return head;
    case ReportFormat::kJsonl:
      return head;
  }
  return head;
}

}  // namespace

int64_t FindData(const std::vector<std::string>& ddl_lines,
                 const std::string& input_path, const std::string& output_path,
                 ProgressSink* progress, const RunOptions& options) {
  RequireOutputPath(output_path);
  ColumnList columns = LoadColumns(ddl_lines);
  Buffer buffer = LoadBuffer(input_path, [] { return BufferShape{}; });
  RefuseOverwritingInput(input_path, output_path);

  const JsonlColumns report_columns(ReportColumns(columns));
  OutputFile report(output_path);
  report.Write(ReportHead(options, report_columns.columns));
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, progress);
  params.threads = options.threads;
  // Suppressed columns print "null": no need to render them.
  for (const TERM& column : columns) params.rendered.push_back(!column.off);
  int64_t records = 0;
  bool finished = ScanFormatted(
      buffer, columns, params,
      ReportFormatter(options.format, report_columns, buffer.start_offset()),
      [&](int64_t, std::string_view line) {
        report.Write(line.data(), line.size());
        ++records;
      });
  report.Close();
  if (!finished) {
    throw Error("Find data was cancelled: the report \"" + FullPath(output_path) +
                "\" holds the " + std::to_string(records) +
                " records found before that, and is incomplete");
  }
  return records;
}

int64_t FindDataCommand(const DdlEditor& editor, const std::string& input_path,
                        const std::string& output_path, OutputView& view,
                        ProgressSink* progress, const RunOptions& options) {
  int64_t records = FindData(EditorLines(editor), input_path, output_path, progress, options);
  view.LoadFile(output_path);
  return records;
}

}  // namespace quarrow
