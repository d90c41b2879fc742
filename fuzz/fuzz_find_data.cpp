// Find data from end to end: the DDL lines and the input file's bytes both come
// from the fuzzer. Input: a 16-bit length L, L bytes of DDL text (lines at LF),
// then the input file's bytes.
//
// What must hold: the command succeeds; the report is the header line and then
// one line per record it counts, each with one field per column (suppressed
// ones "null") after the three prefix fields; it counts as many records as the
// one-buffer reference scan finds; the input file is left as it was. The csv
// and jsonl reports count the same records: csv records of one field count
// each (the three numbers' and the columns') under the header row, one JSON
// object per jsonl line, all of it valid UTF-8.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/header.h"
#include "engine/run_options.h"
#include "engine/scan.h"
#include "search/find_data.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarrow;
  using namespace quarrow::fuzz;
  ByteReader in(data, size);
  std::vector<std::string> ddl = SplitLines(in.Take(in.Word()));
  const std::string bytes(in.Rest());
  const std::string input = TempFile("input.db");
  const std::string output = TempFile("report.tsv");
  WriteWholeFile(input, bytes);

  int64_t records = FindData(ddl, input, output);
  const std::string report = ReadWholeFile(output);
  QUARROW_FUZZ_CHECK(ReadWholeFile(input) == bytes, "the input file changed");

  const std::string head = "\xEF\xBB\xBFTABLE\r\n";
  QUARROW_FUZZ_CHECK(report.compare(0, head.size(), head) == 0, "no header line");
  ColumnList columns = LoadColumns(ddl);
  std::string_view rest = std::string_view(report).substr(head.size());
  int64_t lines = 0;
  while (!rest.empty()) {
    size_t end = rest.find("\r\n");
    QUARROW_FUZZ_CHECK(end != std::string_view::npos, "a line without CR LF");
    std::string_view line = rest.substr(0, end);
    QUARROW_FUZZ_CHECK(Count(line, '\t') == 3 + columns.size(),
                       "line " + std::to_string(lines) + " has a wrong field count");
    QUARROW_FUZZ_CHECK(Count(line, '\r') + Count(line, '\n') == 0, "a line break inside a line");
    ++lines;
    rest.remove_prefix(end + 2);
  }
  QUARROW_FUZZ_CHECK(lines == records, "report lines " + std::to_string(lines) +
                                           " but " + std::to_string(records) + " counted");
  size_t expected = ReferenceScan(bytes, columns, CandidateRule::kPair, kLoose, 3).size();
  QUARROW_FUZZ_CHECK(static_cast<size_t>(records) == expected,
                     std::to_string(records) + " records, reference " + std::to_string(expected));

  RunOptions options;
  for (ReportFormat format : {ReportFormat::kCsv, ReportFormat::kJsonl}) {
    options.format = format;
    QUARROW_FUZZ_CHECK(FindData(ddl, input, output, nullptr, options) == records,
                       "the csv or jsonl report counted other records");
    const std::string written = ReadWholeFile(output);
    if (format == ReportFormat::kCsv) {
      CheckCsvReport(written, records, 3 + columns.size());
    } else {
      CheckJsonlReport(written, records);
    }
  }
  return 0;
}
