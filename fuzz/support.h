// What the fuzz targets share: a check that aborts (so that libFuzzer keeps the
// input and the corpus regression fails), a private temporary folder for the
// files the commands read and write, a reader that splits the fuzzer's bytes
// into parameters, and the one-buffer reference scan the paged scan must equal.
// Test code only; each target is single-threaded at its entry point.
#ifndef QUARROW_FUZZ_SUPPORT_H_
#define QUARROW_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/columns.h"
#include "engine/scan.h"

namespace quarrow::fuzz {

// Prints `what` with the file and line and aborts when `condition` is false.
#define QUARROW_FUZZ_CHECK(condition, what)                                   \
  do {                                                                       \
    if (!(condition)) ::quarrow::fuzz::Fail(__FILE__, __LINE__, #condition, what); \
  } while (0)
[[noreturn]] void Fail(const char* file, int line, const char* condition,
                       const std::string& what);

// The path of `name` inside a folder made for this process under the system's
// temporary folder; the folder is removed when the process exits normally.
std::string TempFile(std::string_view name);

// Reads parameters off the front of the fuzzer's bytes; what is left is data.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size)
      : bytes_(reinterpret_cast<const char*>(data), size) {}
  // The next byte, 0 when none is left.
  uint8_t Byte();
  // The next 16-bit little-endian number (missing bytes are 0).
  uint16_t Word();
  // The next `count` bytes, fewer when fewer are left.
  std::string_view Take(size_t count);
  std::string_view Rest() const { return bytes_; }

 private:
  std::string_view bytes_;
};

// The scan as the rules state it, position by position over one buffer of
// `bytes` with no prefilter, pages or threads: one line per match, holding the
// position, the prefix and each column's seg and rendered value.
std::vector<std::string> ReferenceScan(const std::string& bytes, ColumnList columns,
                                       CandidateRule rule, int threshold, int prefix);
// The same line for a match of the paged scan.
std::string MatchLine(const Match& match, const ColumnList& columns);

// Splits `text` at LF into lines, as a DDL file is read (a final LF adds no line).
std::vector<std::string> SplitLines(std::string_view text);

// Writes `bytes` to `path`, replacing it; aborts on failure.
void WriteWholeFile(const std::string& path, std::string_view bytes);
// Returns the content of `path`; aborts on failure.
std::string ReadWholeFile(const std::string& path);

// "" when `got` equals `want`, else where and how they first differ.
std::string FirstDifference(const std::vector<std::string>& got,
                            const std::vector<std::string>& want);

// The number of occurrences of `c` in `text`.
size_t Count(std::string_view text, char c);

// Checks a csv report (aborting as QUARROW_FUZZ_CHECK does): it reads as
// RFC 4180 (records ended by CR LF, fields separated by commas, a quoted field
// holding anything with its quotes doubled), holds the header row and
// `records` records, each of `fields` fields (0: of the header row's count),
// and is valid UTF-8.
void CheckCsvReport(std::string_view csv, int64_t records, size_t fields);

// Checks a jsonl report: `records` lines, each ended by LF and exactly one
// JSON object as RFC 8259 has it (members whose values are strings with only
// the standard's escapes and no control byte, numbers, literals, arrays or
// objects), and valid UTF-8.
void CheckJsonlReport(std::string_view jsonl, int64_t records);

}  // namespace quarrow::fuzz

#endif  // QUARROW_FUZZ_SUPPORT_H_
