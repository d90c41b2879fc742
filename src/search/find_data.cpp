#include "search/find_data.h"

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/file_io.h"
#include "engine/scan.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

// One report line; runs on the scan's workers.
bool FormatReportLine(const Match& match, const ColumnList& columns, std::string& line) {
  line.append(match.prefix);
  for (const TERM& column : columns) {
    line += column.off ? std::string_view("null") : std::string_view(column.value);
    line += '\t';
  }
  line += "\r\n";
  return true;
}

}  // namespace

int64_t FindData(const std::vector<std::string>& ddl_lines,
                 const std::string& input_path, const std::string& output_path,
                 ProgressSink* progress) {
  RequireOutputPath(output_path);
  ColumnList columns = LoadColumns(ddl_lines);
  Buffer buffer = LoadBuffer(input_path, [] { return BufferShape{}; });
  RefuseOverwritingInput(input_path, output_path);

  OutputFile report(output_path);
  report.Write("\xEF\xBB\xBFTABLE\r\n");
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, progress);
  // Suppressed columns print "null": no need to render them.
  for (const TERM& column : columns) params.rendered.push_back(!column.off);
  int64_t records = 0;
  bool finished = ScanFormatted(buffer, columns, params, FormatReportLine,
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

void FindDataCommand(const DdlEditor& editor, const std::string& input_path,
                     const std::string& output_path, OutputView& view,
                     ProgressSink* progress) {
  FindData(EditorLines(editor), input_path, output_path, progress);
  view.LoadFile(output_path);
}

}  // namespace quarrow
