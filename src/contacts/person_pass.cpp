#include "contacts/person_pass.h"

#include <array>
#include <span>

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
  // Cells 0 to 2 take the prefix's values, then the kept person columns follow.
  std::array<std::string_view, kFirstPersonColumn + kPersonColumnsKept> cells{};
  for (int col = 0; col < kPrefixCount && !prefix.empty(); ++col) {
    size_t tab = prefix.find('\t');
    cells[col] = prefix.substr(0, tab);
    prefix.remove_prefix(tab == std::string_view::npos ? prefix.size() : tab + 1);
  }
  size_t used = kFirstPersonColumn;
  for (int k = 0; k < kPersonColumnsKept && k < static_cast<int>(columns.size()); ++k) {
    const TERM& column = columns[k];
    cells[used++] = column.off ? std::string_view("null") : std::string_view(column.value);
  }
  table.AddRow(std::span<const std::string_view>(cells.data(), used));
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
