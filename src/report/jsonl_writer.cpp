#include "report/jsonl_writer.h"

#include <array>
#include <charconv>

namespace quarrow {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The bytes a JSON string holds as they are: ASCII but controls, quote and
// backslash.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> table{};
  for (int b = 0x20; b < 0x80; ++b) table[b] = true;
  table['"'] = table['\\'] = false;
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
    // Most texts are plain ASCII: one look per byte, one append at the end.
    if (kPlain[static_cast<uint8_t>(bytes[i])]) continue;
    out.append(bytes.data() + from, i - from);
    if (static_cast<uint8_t>(bytes[i]) < 0x80) {
      AppendEscaped(bytes[i], out);
      from = i + 1;
      continue;
    }
    // A run of non-ASCII bytes up to the next ASCII one.
    size_t end = i;
    while (end < bytes.size() && static_cast<uint8_t>(bytes[end]) >= 0x80) ++end;
    valid &= AppendValidUtf8(bytes.substr(i, end - i), out);
    from = end;
    i = end - 1;
  }
  out.append(bytes.data() + from, bytes.size() - from);
  out += '"';
  return valid;
}

namespace {

// ',' "name" ':' -- the comma is left out before an object's first member.
std::string EncodeKey(std::string_view name) {
  std::string key = ",";
  AppendJsonString(name, key);
  key += ':';
  return key;
}

}  // namespace

JsonlColumns::JsonlColumns(std::vector<ReportColumn> report_columns)
    : columns(std::move(report_columns)) {
  for (const ReportColumn& column : columns) keys.push_back(EncodeKey(column.name));
}

void JsonlRecord::EncodedKey(std::string_view encoded) {
  if (first_) encoded.remove_prefix(1);
  first_ = false;
  out_.append(encoded.data(), encoded.size());
}

void JsonlRecord::TextValue(std::string_view encoded_key, std::string_view bytes) {
  EncodedKey(encoded_key);
  if (AppendJsonString(bytes, out_)) return;
  raw_ += raw_.empty() ? '{' : ',';
  raw_ += encoded_key.substr(1);
  raw_ += '"';
  AppendHex(bytes, raw_);
  raw_ += '"';
}

void JsonlRecord::Integer(std::string_view key, int64_t value) {
  EncodedKey(EncodeKey(key));
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_.append(digits, end);
}

void JsonlRecord::Text(std::string_view key, std::string_view bytes) {
  TextValue(EncodeKey(key), bytes);
}

void JsonlRecord::Field(const JsonlColumns& layout, size_t index, const ReportField& field) {
  const std::string& key = layout.keys[index];
  if (field.is_null) {
    EncodedKey(key);
    out_ += "null";
  } else if ((layout.columns[index].integer || field.integer) && IsDecimalInteger(field.text)) {
    EncodedKey(key);
    out_ += field.text;
  } else {
    TextValue(key, field.text);
  }
}

void JsonlRecord::End() {
  if (!raw_.empty()) {
    EncodedKey(",\"_raw\":");
    out_ += raw_;
    out_ += '}';
  }
  out_ += "}\n";
}

void AppendJsonlRecord(const JsonlColumns& layout, std::span<const ReportField> fields,
                       int64_t offset, std::string& out) {
  // Room for the keys and some bytes of each value, so the line grows once.
  out.reserve(out.size() + 64 + layout.columns.size() * 24);
  JsonlRecord record(out);
  record.Integer("offset", offset);
  for (size_t i = 0; i < layout.columns.size() && i < fields.size(); ++i)
    record.Field(layout, i, fields[i]);
  record.End();
}

}  // namespace quarrow
