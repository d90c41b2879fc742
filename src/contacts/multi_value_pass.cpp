#include "contacts/multi_value_pass.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "contacts/contacts_scan.h"
#include "engine/values.h"
#include "text_rule/text_rule.h"
#include "text_rule/utf8.h"

namespace quarrow {

namespace {

constexpr int kUnknownLabelColumn = 38;
constexpr int kEmailOffset = 7;

// A value read from a record as a number: an empty text reads as 0; a text
// that is not a 32-bit integer (a float's rendering, say) reads as nothing.
std::optional<int32_t> ReadNumber(std::string_view text) {
  if (text.empty()) return 0;
  return TryStrToInt(text);
}

bool InRange(std::string_view text, size_t max_bytes, int32_t lo, int32_t hi) {
  if (text.size() > max_bytes) return false;
  std::optional<int32_t> n = ReadNumber(text);
  return n && *n >= lo && *n <= hi;
}

}  // namespace

namespace {

// Per byte: 0 a byte no value holds, 2 one of 0x80 to 0xBF (a UTF-8
// continuation), 1 any other value byte.
constexpr std::array<uint8_t, 256> kValueByteKinds = [] {
  std::array<uint8_t, 256> kinds{};
  for (int c = 0; c < 256; ++c) kinds[c] = ValueChars[c] ? 1 : (c >= 0x80 && c < 0xC0 ? 2 : 0);
  return kinds;
}();

// What one look at each byte of a value found: a byte no value holds, a
// UTF-8 continuation byte.
struct ValueBytes {
  uint8_t bad = 0;
  uint8_t continuation = 0;

  // One lookup a byte, no branch: values are short and mostly pass.
  void Add(uint8_t c) {
    const uint8_t kind = kValueByteKinds[c];
    bad |= kind == 0;
    continuation |= kind == 2;
  }
  // IsValueText's answer for `value`, the bytes added.
  bool IsValueText(std::string_view value) const {
    if (bad) return false;
    return !continuation ||
           AllUtf8(value, [](uint32_t point) { return point < 0x80 || point >= 0xA0; });
  }
};

}  // namespace

bool IsValueText(std::string_view value) {
  ValueBytes bytes;
  for (unsigned char c : value) bytes.Add(c);
  return bytes.IsValueText(value);
}

bool IsValidMultiValue(const ColumnList& columns) {
  if (columns.size() <= static_cast<size_t>(kValueColumn)) return false;
  const std::string& value = columns[kValueColumn].value;
  // Ids are checked against 1 to 2000 on up to four digits, so the range itself
  // decides: persons 1000 to 2000 keep their numbers.
  return value.size() >= 3 &&
         InRange(columns[kRecordIdColumn].value, 4, 1, 2000) &&
         InRange(columns[kPropertyColumn].value, 3, 1, 9) && IsValueText(value);
}

namespace {

// The label's column from the label and property as numbers (nothing for a
// value that is not one).
int LabelColumnOf(std::optional<int32_t> label, std::optional<int32_t> property,
                  const ContactsSchema* schema) {
  int col = kUnknownLabelColumn;
  if (schema == nullptr || !schema->has_label_table) {
    if (label && *label >= 1 && *label <= 6) col = 31 + *label;
  } else if (label) {
    auto found = schema->label_columns.find(*label);
    if (found != schema->label_columns.end()) col = found->second;
  }
  if (property && *property == 4) col += kEmailOffset;
  return col;
}

}  // namespace

int LabelColumn(std::string_view label, std::string_view property) {
  return LabelColumnOf(ReadNumber(label), ReadNumber(property), nullptr);
}

int LabelColumn(std::string_view label, std::string_view property,
                const ContactsSchema& schema) {
  return LabelColumnOf(ReadNumber(label), ReadNumber(property), &schema);
}

void MergeValue(ResultTable& table, int64_t row, int col, std::string_view raw) {
  std::string_view cell = table.Cell(row, col);
  std::string merged = MergedCell(cell, raw);
  if (merged != cell) table.SetCell(row, col, merged);  // a row rewritten only when it changes
}

bool MayBeValidMultiValue(const ColumnList& columns) {
  // A record id or property stored as NULL, 0 (type 8) or types 10 and 11
  // renders as "0", out of range; a value of fewer than 3 bytes is too short.
  auto may_be_positive = [](uint64_t serial) {
    return serial != 0 && serial != 8 && serial != 10 && serial != 11;
  };
  return columns.size() > static_cast<size_t>(kValueColumn) &&
         may_be_positive(columns[kRecordIdColumn].serial) &&
         may_be_positive(columns[kPropertyColumn].serial) &&
         columns[kValueColumn].seg >= 3;
}

bool FormatMultiValue(const ColumnList& columns, std::string& out) {
  static const ContactsSchema kBuiltIn = BuiltInContactsSchema();
  return FormatMultiValue(columns, kBuiltIn, out);
}

bool FormatMultiValue(const ColumnList& columns, const ContactsSchema& schema,
                      std::string& out) {
  if (!IsValidMultiValue(columns)) return false;
  // None of the three holds a TAB: ids are numbers, values plain characters.
  out.append(columns[kRecordIdColumn].value);
  out += '\t';
  out += std::to_string(
      LabelColumn(columns[kLabelColumn].value, columns[kPropertyColumn].value, schema));
  out += '\t';
  out.append(columns[kValueColumn].value);
  return true;
}

namespace {

// A multi-value column's number as ReadNumber reads its rendered value, read
// from the record's bytes when it is a plain integer (the common case).
// Nothing when the rendered text would be longer than `max_bytes`.
std::optional<int32_t> NumberAt(const BufferView& view, int64_t field_start, const TERM& column,
                                std::string& scratch, size_t max_bytes = SIZE_MAX) {
  int64_t value;
  if (ReadIntegerValue(view, field_start, column, value)) {
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
  }
  scratch.clear();
  AppendColumnValue(view, field_start, column, scratch);
  if (scratch.size() > max_bytes) return std::nullopt;
  return ReadNumber(scratch);
}

bool InRange(std::optional<int32_t> n, int32_t lo, int32_t hi) {
  return n && *n >= lo && *n <= hi;
}

}  // namespace

bool FormatMultiValueFromMatch(const Match& match, const ColumnList& columns,
                               const ContactsSchema& schema, std::string& out) {
  if (columns.size() <= static_cast<size_t>(kValueColumn)) return false;
  thread_local std::string scratch;
  const BufferView& view = *match.view;
  int64_t starts[kValueColumn + 1];  // the fields up to the value
  FieldStarts(view, match.body_start, columns, kValueColumn + 1, starts);
  // The cheap tests first, on the record's bytes: most records that get this
  // far fail on the id. Numbers in these ranges print in at most 4 and 3
  // digits, as the rendered test asks; other texts are rendered and tested.
  const TERM& id_column = columns[kRecordIdColumn];
  FiledValue filed;
  int64_t id_number;
  if (ReadIntegerValue(view, starts[kRecordIdColumn], id_column, id_number)) {
    if (id_number < 1 || id_number > 2000) return false;
    filed.id = static_cast<int32_t>(id_number);  // its decimal text is canonical
  } else {
    scratch.clear();
    AppendColumnValue(view, starts[kRecordIdColumn], id_column, scratch);
    if (!InRange(scratch, 4, 1, 2000)) return false;
    filed.id = LabelIdOf(scratch);
  }
  // A property of 1 to 9 prints in one digit: within the test's three.
  const std::optional<int32_t> property =
      NumberAt(view, starts[kPropertyColumn], columns[kPropertyColumn], scratch, 3);
  if (!InRange(property, 1, 9)) return false;
  const std::optional<int32_t> label =
      NumberAt(view, starts[kLabelColumn], columns[kLabelColumn], scratch);
  filed.column = LabelColumnOf(label, property, &schema);
  out.append(reinterpret_cast<const char*>(&filed.id), sizeof filed.id);
  out.append(reinterpret_cast<const char*>(&filed.column), sizeof filed.column);
  const size_t value_at = out.size();
  const TERM& value_column = columns[kValueColumn];
  const int64_t text_size = std::min(value_column.seg, kMaxTextBytes);
  const uint8_t* text = value_column.tp == kText && text_size > 0
                            ? view.Span(starts[kValueColumn], text_size)
                            : nullptr;
  if (text == nullptr) {
    AppendColumnValue(view, starts[kValueColumn], value_column, out);
    const std::string_view value(out.data() + value_at, out.size() - value_at);
    return value.size() >= 3 && IsValueText(value);
  }
  // The usual value, a text the window holds: copied as CopyText copies it
  // (control bytes turned into spaces) and looked at in the same pass.
  if (text_size < 3) return false;
  const auto size = static_cast<size_t>(text_size);
  out.resize(value_at + size);
  char* const copy = out.data() + value_at;
  ValueBytes bytes;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t c = text[i] < 0x20 ? ' ' : text[i];
    copy[i] = static_cast<char>(c);
    bytes.Add(c);
  }
  return bytes.IsValueText(std::string_view(copy, size));
}

FiledValue ReadFiledValue(std::string_view formatted) {
  FiledValue filed;
  std::memcpy(&filed.id, formatted.data(), sizeof filed.id);
  std::memcpy(&filed.column, formatted.data() + sizeof filed.id, sizeof filed.column);
  filed.value = formatted.substr(sizeof filed.id + sizeof filed.column);
  return filed;
}

void FileMultiValue(ResultTable& table, std::string_view formatted) {
  size_t first_tab = formatted.find('\t');
  size_t second_tab = formatted.find('\t', first_tab + 1);
  std::string_view id = formatted.substr(0, first_tab);
  int col = StrToInt(formatted.substr(first_tab + 1, second_tab - first_tab - 1));
  int64_t row = table.FindRowById(id);
  if (row < 0) {
    row = table.AddRow();
    table.SetCell(row, ResultTable::kIdColumn, id);
  }
  MergeValue(table, row, col, formatted.substr(second_tab + 1));
}

void MultiValuePass(const Buffer& buffer, DdlEditor& editor, ResultTable& table,
                    ProgressSink* progress) {
  MultiValuePass(buffer, BuiltInContactsSchema(), editor, table, progress);
}

void MultiValuePass(const Buffer& buffer, const ContactsSchema& schema, DdlEditor& editor,
                    ResultTable& table, ProgressSink* progress, int threads) {
  ReplaceEditorLines(editor, schema.multi_value_lines);
  ColumnList columns = LoadColumns(EditorLines(editor));
  const RecordShaper shaper = ContactsShaper(columns, schema.multi_value_shared, schema.multi_value_narrower);
  // The plausibility test and the label's column run on the scan's workers:
  // most matches of six loose columns are chance bytes and never get further.
  ScanParams params = ContactsScanParams(0, progress);
  params.header_filter = MayBeValidMultiValue;
  params.threads = threads;
  auto file = [&table](std::string_view formatted) { FileMultiValue(table, formatted); };
  if (shaper.shapes()) {
    // Each match is read as its own header says, then rendered.
    params.render_nothing = true;
    ScanForContacts(
        buffer, shaper.scan_columns(), params,
        [&schema, &shaper, shaped = ColumnList()](const Match& match, const ColumnList& found,
                                                  std::string& out) mutable {
          ShapedRecord record;
          if (!shaper.Shape(match, found, shaped, record)) return false;
          ExtractValues(*match.view, record.body_start, shaped);
          return FormatMultiValue(shaped, schema, out);
        },
        file);
    return;
  }
  ScanForContacts(
      buffer, columns, params,
      [&schema](const Match&, const ColumnList& found, std::string& out) {
        return FormatMultiValue(found, schema, out);
      },
      file);
}

bool FileMultiValues(const Buffer& buffer, const ContactsSchema& schema, DdlEditor& editor,
                     LabelCells& labels, MatchStatus& status, const RecordStates& states,
                     std::vector<ValueOrigin>& first_values, ProgressSink* progress,
                     int threads, const ScanLane* also) {
  first_values.assign(LabelCells::kMaxId + 1, ValueOrigin{});
  ReplaceEditorLines(editor, schema.multi_value_lines);
  ColumnList columns = LoadColumns(EditorLines(editor));
  const RecordShaper shaper = ContactsShaper(columns, schema.multi_value_shared, schema.multi_value_narrower);
  ScanParams params = ContactsScanParams(0, progress);
  params.header_filter = MayBeValidMultiValue;
  params.threads = threads;
  status.Attach(params);
  // The formatter renders the four columns it reads, and the value only for
  // a record whose id and property pass.
  params.render_nothing = true;
  // With details or deleted data only, a value's facts follow it.
  const bool judged = states.enabled();
  const int64_t start_offset = buffer.start_offset();
  auto row = [&schema](const Match& match, const ColumnList& record, std::string& out) {
    return FormatMultiValueFromMatch(match, record, schema, out);
  };
  // The plain report of a table of one layout takes its matches as they are.
  MatchFormatter format = row;
  if (judged || shaper.shapes())
    format = ShapedJudgedFormatter(row, kMultiValueTable, shaper, states, judged, start_offset);
  FormattedHandler file = [&labels](int64_t position, std::string_view formatted) {
    const FiledValue filed = ReadFiledValue(formatted);
    labels.File(filed.id, filed.column, filed.value, position);
  };
  if (judged) {
    file = [&](int64_t position, std::string_view formatted) {
      const RecordFacts facts = TakeRecordFacts(formatted);
      const FiledValue filed = ReadFiledValue(formatted);
      if (!labels.Has(filed.id)) {
        ValueOrigin& origin = first_values[filed.id];
        origin.where = status.At(position);
        origin.state = StateAt(origin.where, facts);
        origin.kept_as_deleted =
            KeptAsDeletedData(status, position, origin.where, origin.state, facts, "", "");
      }
      labels.File(filed.id, filed.column, filed.value, position);
    };
  }
  if (also != nullptr)
    return ScanFormatted(buffer, shaper.scan_columns(), params, format, file, *also);
  return ScanFormatted(buffer, shaper.scan_columns(), params, format, file);
}

}  // namespace quarrow
