// The csv report: RFC 4180. Fields separated by commas, records ended by
// CR LF, a field quoted (quotes doubled) when it holds a comma, a quote, CR or
// LF, or starts or ends with a space; UTF-8 throughout (invalid sequences
// become U+FFFD), a byte-order mark only when asked for.
#ifndef QUARROW_REPORT_CSV_WRITER_H_
#define QUARROW_REPORT_CSV_WRITER_H_

#include <span>
#include <string>
#include <string_view>

#include "report/byte_scan.h"
#include "engine/line_buffer.h"
#include "report/report_fields.h"

namespace quarrow {

inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// Appends one field, quoted when needed.
void AppendCsvField(std::string_view bytes, std::string& out);

// The header row: the columns' names.
void AppendCsvHeader(std::span<const ReportColumn> columns, std::string& out);

// One record: each field's text (a field with no value writes its text too).
void AppendCsvRecord(std::span<const ReportField> fields, std::string& out);

// Builds one record at a time in a buffer it keeps, so that a record costs no
// allocation: Begin, the fields in order, then Finish. Not thread-safe; one
// per thread.
class CsvLine {
 public:
  void Begin() { line_.Clear(); }
  void Field(std::string_view bytes);
  // The same fields for loops that write many: MakeRoom once for all of them
  // (RoomFor each), then each is written at `out`, after its comma, and
  // returns its end; Commit takes the last end. No check per field.
  static constexpr size_t RoomFor(size_t size) { return 3 * size + 3; }
  char* MakeRoom(size_t bytes) { return line_.Room(bytes); }
  void Commit(const char* end) { line_.SetEnd(end); }
  static char* WriteField(std::string_view bytes, char* out);
  // The same for `bytes` followed by LineBuffer::kSlack readable bytes: the
  // bytes that need care are found sixteen at a time, the runs between them
  // copied in whole blocks.
  static char* WritePaddedField(std::string_view bytes, char* out);
  // Ends the record with CR LF. The line is valid until the next Begin.
  std::string_view Finish();

 private:
  LineBuffer line_;  // each field after a comma; the first comma is left out
};

}  // namespace quarrow

#endif  // QUARROW_REPORT_CSV_WRITER_H_
