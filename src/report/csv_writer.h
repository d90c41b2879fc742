// The csv report: RFC 4180. Fields separated by commas, records ended by
// CR LF, a field quoted (quotes doubled) when it holds a comma, a quote, CR or
// LF, or starts or ends with a space; UTF-8 throughout (invalid sequences
// become U+FFFD), a byte-order mark only when asked for.
#ifndef QUARROW_REPORT_CSV_WRITER_H_
#define QUARROW_REPORT_CSV_WRITER_H_

#include <span>
#include <string>
#include <string_view>

#include "report/report_fields.h"

namespace quarrow {

inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Appends one field, quoted when needed.
void AppendCsvField(std::string_view bytes, std::string& out);

// The header row: the columns' names.
void AppendCsvHeader(std::span<const ReportColumn> columns, std::string& out);

// One record: each field's text (a field with no value writes its text too).
void AppendCsvRecord(std::span<const ReportField> fields, std::string& out);

}  // namespace quarrow

#endif  // QUARROW_REPORT_CSV_WRITER_H_
