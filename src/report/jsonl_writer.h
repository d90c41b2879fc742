// The jsonl report: one JSON object per record, on one line ended by LF.
// Keys are the column names in column order, after the meta fields the caller
// puts first (the record's "offset" in the input, later its "status"). An
// integer column's decimal integers are JSON numbers; other fields are
// strings, with invalid UTF-8 replaced by U+FFFD; a field with no value is
// null. When a field's bytes were replaced, the object ends with "_raw": an
// object from those fields' keys to their original bytes in lowercase hex.
#ifndef QUARROW_REPORT_JSONL_WRITER_H_
#define QUARROW_REPORT_JSONL_WRITER_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report/report_fields.h"

namespace quarrow {

// Appends `bytes` as a JSON string (quotes included): escapes for quote,
// backslash and bytes below 0x20; U+FFFD for invalid UTF-8. Returns false iff
// something was replaced.
bool AppendJsonString(std::string_view bytes, std::string& out);

// A report's columns with their names encoded once as JSON keys: records are
// written by the million, their keys are the same every time.
struct JsonlColumns {
  explicit JsonlColumns(std::vector<ReportColumn> report_columns);
  std::vector<ReportColumn> columns;
  std::vector<std::string> keys;  // each name as ',' then a JSON string, then ':'
};

// Builds one object into `out`: the constructor opens it, then the fields,
// then End.
class JsonlRecord {
 public:
  explicit JsonlRecord(std::string& out) : out_(out) { out_ += '{'; }
  void Integer(std::string_view key, int64_t value);
  void Text(std::string_view key, std::string_view bytes);
  // Field `index` of `layout`, as the header comment says.
  void Field(const JsonlColumns& layout, size_t index, const ReportField& field);
  // Adds "_raw" when needed, closes the object and the line.
  void End();

 private:
  void EncodedKey(std::string_view encoded);
  void TextValue(std::string_view encoded_key, std::string_view bytes);

  std::string& out_;
  std::string raw_;  // the "_raw" object's members so far
  bool first_ = true;
};

// A whole record: the offset first, then `fields` under `layout`'s names.
void AppendJsonlRecord(const JsonlColumns& layout, std::span<const ReportField> fields,
                       int64_t offset, std::string& out);

}  // namespace quarrow

#endif  // QUARROW_REPORT_JSONL_WRITER_H_
