#include "contacts/person_pass.h"

#include "contacts/contacts_scan.h"
#include "engine/scan.h"
#include "text_rule/text_rule.h"

namespace quarrow {

namespace {

// The prefix holds the payload length, the rowid and the header length.
constexpr int kPrefixCount = 3;

}  // namespace

void AddPersonRow(ResultTable& table, std::string_view prefix,
                  const ColumnList& columns) {
  int64_t row = table.AddRow();
  for (int col = 0; col < kPrefixCount && !prefix.empty(); ++col) {
    size_t tab = prefix.find('\t');
    table.SetCell(row, col, prefix.substr(0, tab));
    prefix.remove_prefix(tab == std::string_view::npos ? prefix.size() : tab + 1);
  }
  for (int k = 0; k < kPersonColumnsKept && k < static_cast<int>(columns.size()); ++k) {
    const TERM& column = columns[k];
    table.SetCell(row, kFirstPersonColumn + k, column.off ? "null" : column.value);
  }
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

  ScanForContacts(buffer, columns, kPrefixCount, progress,
                  [&table](const Match& match, const ColumnList& found) {
                    AddPersonRow(table, match.prefix, found);
                  });
  return buffer;
}

}  // namespace quarrow
