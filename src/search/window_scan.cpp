#include "search/window_scan.h"

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/scan.h"
#include "text_rule/error.h"
#include "text_rule/text_rule.h"

namespace quarrow {

const std::string_view kWindowSchema =
    "ABMultiValue ( parent_id INTEGER, property INTEGER, value TEXT);";

void ScanFileWindow(const std::string& input_path, const std::string& length_text,
                    const std::string& offset_text, DdlEditor& editor,
                    OutputView& view, ProgressSink* progress) {
  // The file is opened first; the length is converted before the offset.
  Buffer buffer = LoadBuffer(input_path, [&] {
    BufferShape shape;
    shape.length_from = BufferShape::Length::kNumber;
    shape.length = StrToInt("0" + length_text);
    shape.start_offset = StrToInt("0" + offset_text);
    return shape;
  });
  ReplaceEditorLines(editor, SplitSchema(kWindowSchema));
  ColumnList columns = LoadColumns(EditorLines(editor));

  ScanParams params = ScanParams::For(CandidateRule::kSingleByte, kStrict, 1, progress);
  int64_t lines = 0;
  bool finished = ScanFormatted(
      buffer, columns, params,
      [](const Match& match, const ColumnList& found, std::string& line) {
        line.append(match.prefix);
        for (const TERM& column : found) {
          line += '\t';
          line += column.off ? std::string_view("null") : std::string_view(column.value);
        }
        return true;
      },
      [&](int64_t, std::string_view line) {
        view.AppendLine(line);
        ++lines;
      });
  if (!finished) {
    throw Error("The window scan was cancelled: the " + std::to_string(lines) +
                " lines found before that were added to the view");
  }
}

}  // namespace quarrow
