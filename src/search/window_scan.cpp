#include "search/window_scan.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/header.h"
#include "engine/scan.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "text_rule/error.h"
#include "text_rule/text_rule.h"

namespace quarrow {

const std::string_view kWindowSchema =
    "ABMultiValue ( parent_id INTEGER, property INTEGER, value TEXT);";

int64_t WindowFieldNumber(std::string_view text, std::string_view shown) {
  // "0" in front keeps every number from being negative: "0-5" is no number.
  std::string with_zero = "0";
  with_zero += text;
  int64_t value = 0;
  if (ParseInt64(with_zero, value) == IntText::kNotANumber) {
    throw Error("''" + std::string(shown) + "'' is not a valid integer value");
  }
  // A number too large: the message quotes it as typed.
  return StrToInt64(with_zero, text);
}

namespace {

// A match's four fields: the header length (its prefix, before the TAB) and
// the three columns' values.
std::vector<ReportField> WindowFields(const Match& match, const ColumnList& columns) {
  std::vector<ReportField> fields;
  std::string_view header_length = match.prefix.substr(0, match.prefix.find('\t'));
  fields.push_back({header_length, header_length.empty()});
  for (const TERM& column : columns) {
    if (column.off) {
      fields.push_back({"null", true});
    } else {
      fields.push_back({column.value, column.serial == 0,
                        SerialTypeKind(column.serial).kind == kInteger});
    }
  }
  return fields;
}

std::vector<ReportColumn> WindowColumns() {
  std::vector<ReportColumn> columns;
  for (const char* name : kWindowFieldNames)
    columns.push_back({name, std::string_view(name) != "value"});
  return columns;
}

MatchFormatter WindowFormatter(ReportFormat format, int64_t start_offset) {
  switch (format) {
    case ReportFormat::kTsv:
      break;
    case ReportFormat::kCsv:
      return [](const Match& match, const ColumnList& found, std::string& line) {
        AppendCsvRecord(WindowFields(match, found), line);
        line.resize(line.size() - 2);  // the view ends the line
        return true;
      };
    case ReportFormat::kJsonl:
      return [start_offset](const Match& match, const ColumnList& found, std::string& line) {
        static const JsonlColumns columns(WindowColumns());
        AppendJsonlRecord(columns, WindowFields(match, found),
                          start_offset + match.position, line);
        line.pop_back();  // the view ends the line
        return true;
      };
  }
  return [](const Match& match, const ColumnList& found, std::string& line) {
    line.append(match.prefix);
    for (const TERM& column : found) {
      line += '\t';
      line += column.off ? std::string_view("null") : std::string_view(column.value);
    }
    return true;
  };
}

}  // namespace

int64_t ScanWindow(const std::string& input_path,
                   const std::function<WindowRange()>& range_after_open,
                   DdlEditor& editor, OutputView& view, ProgressSink* progress,
                   const RunOptions& options) {
  // The file is opened first, so that its error comes before a number's.
  auto source = std::make_shared<FileSource>(input_path);
  WindowRange range = range_after_open();
  if (range.offset < 0) {
    throw Error("The start offset " + std::to_string(range.offset) +
                " is negative; it must be 0 or more");
  }
  // Without a length the window runs to the file's end, whatever its size.
  int64_t length = range.length.value_or(std::max<int64_t>(source->size() - range.offset, 0));
  Buffer buffer(std::move(source), range.offset, std::max<int64_t>(length, 0));
  buffer.LimitCandidatesToInput(options.range_first, options.range_end);
  ReplaceEditorLines(editor, SplitSchema(kWindowSchema));
  ColumnList columns = LoadColumns(EditorLines(editor));

  if (options.format == ReportFormat::kCsv) {
    std::string header(options.bom ? kUtf8ByteOrderMark : "");
    AppendCsvHeader(WindowColumns(), header);
    header.resize(header.size() - 2);
    view.AppendLine(header);
  }
  ScanParams params = ScanParams::For(CandidateRule::kSingleByte, kStrict, 1, progress);
  params.threads = options.threads;
  int64_t lines = 0;
  bool finished = ScanFormatted(buffer, columns, params,
                                WindowFormatter(options.format, buffer.start_offset()),
                                [&](int64_t, std::string_view line) {
                                  view.AppendLine(line);
                                  ++lines;
                                });
  if (!finished) {
    throw Error("The window scan was cancelled: the " + std::to_string(lines) +
                " lines found before that were added to the view");
  }
  return lines;
}

int64_t ScanFileWindow(const std::string& input_path, const std::string& length_text,
                       const std::string& offset_text, DdlEditor& editor,
                       OutputView& view, ProgressSink* progress, const RunOptions& options) {
  return ScanWindow(
      input_path,
      [&] {
        // The length is converted before the offset.
        WindowRange range;
        range.length = WindowFieldNumber(length_text, "0" + length_text);
        range.offset = WindowFieldNumber(offset_text, "0" + offset_text);
        return range;
      },
      editor, view, progress, options);
}

}  // namespace quarrow
