#include "contacts/contacts_schema.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "contacts/multi_value_pass.h"
#include "contacts/person_pass.h"
#include "engine/columns.h"

namespace quarrow {

namespace {

constexpr int kMobileColumn = 32;
constexpr int kUnknownColumn = 38;
constexpr size_t kMaxPersonColumns = 1000;

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The built-in lines' first name is the table's (the line starts with it):
// columns are compared by kind everywhere and by name from the second on.
bool SameColumns(const ColumnList& built_in, const ColumnList& input) {
  if (built_in.size() != input.size()) return false;
  for (size_t k = 0; k < input.size(); ++k) {
    if (built_in[k].tp != input[k].tp) return false;
    if (k > 0 && built_in[k].name != input[k].name) return false;
  }
  return true;
}

// How many columns `input` shares with the built-in list it grew from: all of
// the built-in ones when it starts with them, else all of its own.
size_t SharedColumns(const ColumnList& built_in, const ColumnList& input) {
  if (input.size() <= built_in.size()) return input.size();
  for (size_t k = 0; k < built_in.size(); ++k) {
    if (built_in[k].tp != input[k].tp) return input.size();
    if (k > 0 && !SameText(built_in[k].name, input[k].name)) return input.size();
  }
  return built_in.size();
}

int IndexOf(const ColumnList& columns, std::string_view name) {
  for (size_t k = 0; k < columns.size(); ++k)
    if (SameText(columns[k].name, name)) return static_cast<int>(k);
  return -1;
}

void UsePersonTable(const TableDefinition& table, ContactsSchema& schema) {
  std::vector<std::string> lines = DdlLinesOf(table);
  ColumnList input = LoadColumns(lines);
  ColumnList built_in = LoadColumns(SplitSchema(PersonSchema));
  if (input.size() > kMaxPersonColumns || IndexOf(input, "First") < 0 ||
      IndexOf(input, "Last") < 0 || SameColumns(built_in, input))
    return;
  schema.person_lines = std::move(lines);
  schema.person_shared = SharedColumns(built_in, input);
  for (int k = 0; k < kPersonColumnsKept; ++k) {
    // The built-in first line starts with the table's name: column 0 is the key.
    int index = k == 0 ? 0 : IndexOf(input, built_in[k].name);
    schema.person_cells[k] = built_in[k].off ? ContactsSchema::kNullCell
                             : index < 0     ? ContactsSchema::kEmptyCell
                                             : index;
  }
}

void UseMultiValueTable(const TableDefinition& table, ContactsSchema& schema) {
  std::vector<std::string> lines = DdlLinesOf(table);
  ColumnList input = LoadColumns(lines);
  ColumnList built_in = LoadColumns(SplitSchema(MultiValueSchema));
  if (SameColumns(built_in, input) || input.size() > kMaxPersonColumns) return;
  for (int k : {kRecordIdColumn, kPropertyColumn, kLabelColumn, kValueColumn}) {
    if (static_cast<size_t>(k) >= input.size() || !SameText(input[k].name, built_in[k].name))
      return;
  }
  schema.multi_value_lines = std::move(lines);
  schema.multi_value_shared = SharedColumns(built_in, input);
}

}  // namespace

int LabelColumnOfName(std::string_view label) {
  if (label.size() > 8 && label.substr(0, 4) == "_$!<" &&
      label.substr(label.size() - 4) == ">!$_")
    label = label.substr(4, label.size() - 8);
  static constexpr std::array<std::string_view, 6> kNames = {"Mobile", "iPhone", "Home",
                                                             "Other",  "Work",   "WorkFAX"};
  for (size_t k = 0; k < kNames.size(); ++k)
    if (SameText(label, kNames[k])) return kMobileColumn + static_cast<int>(k);
  return kUnknownColumn;
}

ContactsSchema BuiltInContactsSchema() {
  ContactsSchema schema;
  schema.person_lines = SplitSchema(PersonSchema);
  ColumnList columns = LoadColumns(schema.person_lines);
  for (int k = 0; k < kPersonColumnsKept; ++k)
    schema.person_cells.push_back(columns[k].off ? ContactsSchema::kNullCell : k);
  schema.multi_value_lines = SplitSchema(MultiValueSchema);
  schema.person_shared = columns.size();
  schema.multi_value_shared = schema.multi_value_lines.size();
  return schema;
}

ContactsSchema ChooseContactsSchema(const InputSchema& input) {
  ContactsSchema schema = BuiltInContactsSchema();
  if (std::optional<TableDefinition> person = input.Table("ABPerson"))
    UsePersonTable(*person, schema);
  else
    schema.person_narrower = input.unsound.count("ABPerson") != 0;
  if (std::optional<TableDefinition> multi_value = input.Table("ABMultiValue"))
    UseMultiValueTable(*multi_value, schema);
  else
    schema.multi_value_narrower = input.unsound.count("ABMultiValue") != 0;
  if (!input.labels.empty()) {
    schema.has_label_table = true;
    for (const auto& [id, name] : input.labels) schema.label_columns[id] = LabelColumnOfName(name);
  }
  return schema;
}

}  // namespace quarrow
