#include "contacts/person_pass.h"


#include "contacts/contacts_scan.h"
#include "engine/scan.h"
#include "text_rule/text_rule.h"

namespace quarrow {

namespace {

// The prefix holds the payload length, the rowid and the header length.
constexpr int kPrefixCount = 3;

}  // namespace

bool FormatPersonRow(std::string_view prefix, const ColumnList& columns,
                     std::string& row) {
  // The prefix's values, each followed by a TAB, are cells 0 to 2 as they stand.
  row.append(prefix);
  for (int k = 0; k < kPersonColumnsKept && k < static_cast<int>(columns.size()); ++k) {
    if (k > 0) row += '\t';
    const TERM& column = columns[k];
    row += column.off ? std::string_view("null") : std::string_view(column.value);
  }
  return true;
}

void AddPersonRow(ResultTable& table, std::string_view prefix,
                  const ColumnList& columns) {
  std::string row;
  FormatPersonRow(prefix, columns, row);
  table.AddRowText(row);
}

Buffer PersonPass(const std::string& input_path, const std::string& offset_text,
                  DdlEditor& editor, ResultTable& table, ProgressSink* progress) {
  table.Reset();
  ReplaceEditorLines(editor, SplitSchema(PersonSchema));
  ColumnList columns = LoadColumns(EditorLines(editor));
  for (int k = 0; k < kPersonColumnsKept && k < static_cast<int>(columns.size()); ++k) {
    table.SetCell(0, kFirstPersonColumn + k, columns[k].name);
  }

  Buffer buffer = LoadBuffer(input_path, [&offset_text] {
    BufferShape shape;
    shape.length_from = BufferShape::Length::kFileSize;
    shape.start_offset = StrToInt(offset_text);
    return shape;
  });

  // Only the kept columns that are not suppressed are printed as they are.
  ScanParams params = ContactsScanParams(kPrefixCount, progress);
  for (int k = 0; k < kPersonColumnsKept && k < static_cast<int>(columns.size()); ++k) {
    params.rendered.push_back(!columns[k].off);
  }
  ScanForContacts(
      buffer, columns, params,
      [](const Match& match, const ColumnList& found, std::string& row) {
        return FormatPersonRow(match.prefix, found, row);
      },
      [&table](std::string_view row) { table.AddRowText(row); });
  return buffer;
}

}  // namespace quarrow
