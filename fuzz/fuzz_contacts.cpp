// Contacts recovery from end to end. Input: a byte choosing the start offset
// (0 to 7) and, in its bit 3, details for the csv and jsonl runs, then the
// input file's bytes.
//
// What must hold: the command succeeds; the report holds the header line and
// then whole lines (after the byte-order mark), each with the 46 fields; the
// view shows exactly the report; the editor holds a multi-value column list; a
// second run with the same table gives the same report (nothing of the first
// run stays); the input file is left as it was. The csv and jsonl reports,
// whose lines are made another way, hold the same number of rows: csv records
// of one field count each under the header row, one JSON object per jsonl
// line, all of it valid UTF-8.
#include <cstdint>
#include <string>
#include <vector>

#include "contacts/contacts_recovery.h"
#include "contacts/contacts_report.h"
#include "contacts/multi_value_pass.h"
#include "contacts/result_table.h"
#include "engine/columns.h"
#include "engine/ports.h"
#include "engine/run_options.h"
#include "support.h"

namespace {

class TextView : public quarrow::OutputView {
 public:
  void Clear() override { text.clear(); }
  void AppendLine(std::string_view line) override { text.append(line).append("\n"); }
  void LoadFile(const std::string& path) override { text = quarrow::fuzz::ReadWholeFile(path); }
  std::string text;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarrow;
  using namespace quarrow::fuzz;
  ByteReader in(data, size);
  const uint8_t choice = in.Byte();
  const std::string offset = std::to_string(choice % 8);
  const std::string bytes(in.Rest());
  const std::string input = TempFile("contacts.db");
  const std::string output = TempFile("contacts.tsv");
  WriteWholeFile(input, bytes);

  LinesEditor editor;
  TextView view;
  ResultTable table;
  const int64_t rows = RecoverContacts(input, offset, output, editor, view, table);
  const std::string report = ReadWholeFile(output);
  QUARROW_FUZZ_CHECK(ReadWholeFile(input) == bytes, "the input file changed");
  QUARROW_FUZZ_CHECK(view.text == report, "the view does not show the report");
  // The editor ends with the multi-value column list (the built-in one, or
  // the input's own): six columns or more.
  QUARROW_FUZZ_CHECK(editor.lines().size() >= SplitSchema(MultiValueSchema).size(),
                     "the editor does not hold a multi-value column list");

  const std::string bom = "\xEF\xBB\xBF";
  QUARROW_FUZZ_CHECK(report.compare(0, bom.size(), bom) == 0, "no byte-order mark");
  std::string_view rest = std::string_view(report).substr(bom.size());
  int64_t lines = 0;
  while (!rest.empty()) {
    size_t end = rest.find("\r\n");
    QUARROW_FUZZ_CHECK(end != std::string_view::npos, "a line without CR LF");
    std::string_view line = rest.substr(0, end);
    QUARROW_FUZZ_CHECK(Count(line, '\t') == static_cast<size_t>(kReportColumns),
                       "line " + std::to_string(lines) + " has a wrong field count");
    QUARROW_FUZZ_CHECK(Count(line, '\n') == 0, "a line break inside a line");
    ++lines;
    rest.remove_prefix(end + 2);
  }
  QUARROW_FUZZ_CHECK(lines >= 1, "no header line");

  TextView again;
  RecoverContacts(input, offset, output, editor, again, table);
  QUARROW_FUZZ_CHECK(again.text == report, "a second run gave another report");

  RunOptions options;
  options.details = (choice & 8) != 0;
  for (ReportFormat format : {ReportFormat::kCsv, ReportFormat::kJsonl}) {
    options.format = format;
    TextView shown;
    QUARROW_FUZZ_CHECK(
        RecoverContacts(input, offset, output, editor, shown, table, nullptr, options) == rows,
        "the csv or jsonl report counted other rows");
    const std::string written = ReadWholeFile(output);
    if (format == ReportFormat::kCsv) {
      CheckCsvReport(written, rows, 0);
    } else {
      CheckJsonlReport(written, rows);
    }
  }
  return 0;
}
