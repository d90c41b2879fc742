#include "report/csv_writer.h"

namespace quarrow {

namespace {

bool NeedsQuotes(std::string_view text) {
  if (text.empty()) return false;
  if (text.front() == ' ' || text.back() == ' ') return true;
  return text.find_first_of(",\"\r\n") != std::string_view::npos;
}

}  // namespace

void AppendCsvField(std::string_view bytes, std::string& out) {
  if (!NeedsQuotes(bytes)) {
    AppendValidUtf8(bytes, out);
    return;
  }
  out += '"';
  size_t from = 0;
  for (size_t quote = bytes.find('"'); quote != std::string_view::npos;
       quote = bytes.find('"', from)) {
    AppendValidUtf8(bytes.substr(from, quote + 1 - from), out);
    out += '"';
    from = quote + 1;
  }
  AppendValidUtf8(bytes.substr(from), out);
  out += '"';
}

void AppendCsvHeader(std::span<const ReportColumn> columns, std::string& out) {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out += ',';
    AppendCsvField(columns[i].name, out);
  }
  out += "\r\n";
}

void AppendCsvRecord(std::span<const ReportField> fields, std::string& out) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    AppendCsvField(fields[i].text, out);
  }
  out += "\r\n";
}

}  // namespace quarrow
