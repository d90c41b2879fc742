#include "report/jsonl_writer.h"

#include <array>
#include <charconv>

namespace quarrow {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Which bytes a JSON string cannot hold as they are.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = true;
  table['"'] = table['\\'] = true;
  return table;
}();

void AppendHex(std::string_view bytes, std::string& out) {
  for (char c : bytes) {
    uint8_t b = static_cast<uint8_t>(c);
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 15];
  }
}

void AppendEscaped(char c, std::string& out) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default:
      out += "\\u00";
      out += kHexDigits[static_cast<uint8_t>(c) >> 4];
      out += kHexDigits[static_cast<uint8_t>(c) & 15];
  }
}

}  // namespace

bool AppendJsonString(std::string_view bytes, std::string& out) {
  out += '"';
  bool valid = true;
  size_t from = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    if (b >= 0x80 || !kNeedsEscape[b]) continue;
    valid &= AppendValidUtf8(bytes.substr(from, i - from), out);
    AppendEscaped(bytes[i], out);
    from = i + 1;
  }
  valid &= AppendValidUtf8(bytes.substr(from), out);
  out += '"';
  return valid;
}

void JsonlRecord::Key(std::string_view key) {
  if (!first_) out_ += ',';
  first_ = false;
  AppendJsonString(key, out_);
  out_ += ':';
}

void JsonlRecord::Integer(std::string_view key, int64_t value) {
  Key(key);
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_.append(digits, end);
}

void JsonlRecord::Text(std::string_view key, std::string_view bytes) {
  Key(key);
  if (AppendJsonString(bytes, out_)) return;
  raw_ += raw_.empty() ? '{' : ',';
  AppendJsonString(key, raw_);
  raw_ += ":\"";
  AppendHex(bytes, raw_);
  raw_ += '"';
}

void JsonlRecord::Null(std::string_view key) {
  Key(key);
  out_ += "null";
}

void JsonlRecord::Field(const ReportColumn& column, const ReportField& field) {
  if (field.is_null) {
    Null(column.name);
  } else if ((column.integer || field.integer) && IsDecimalInteger(field.text)) {
    Key(column.name);
    out_ += field.text;
  } else {
    Text(column.name, field.text);
  }
}

void JsonlRecord::End() {
  if (!raw_.empty()) {
    Key("_raw");
    out_ += raw_;
    out_ += '}';
  }
  out_ += "}\n";
}

void AppendJsonlRecord(std::span<const ReportColumn> columns,
                       std::span<const ReportField> fields, int64_t offset,
                       std::string& out) {
  JsonlRecord record(out);
  record.Integer("offset", offset);
  for (size_t i = 0; i < columns.size() && i < fields.size(); ++i)
    record.Field(columns[i], fields[i]);
  record.End();
}

}  // namespace quarrow
