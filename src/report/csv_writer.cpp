#include "report/csv_writer.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "report/byte_scan.h"

namespace quarrow {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The bytes that ask a field for quotes.
constexpr std::array<bool, 256> kQuoted = [] {
  std::array<bool, 256> table{};
  for (char c : {',', '"', '\r', '\n'}) table[static_cast<uint8_t>(c)] = true;
  return table;
}();

// Writes `bytes` from `from` on, quoted when `quoted`, at `out` (room for
// 3 bytes per byte and the quotes); returns the end.
char* WriteCareful(std::string_view bytes, size_t from, bool quoted, char* out) {
  if (quoted) *out++ = '"';
  std::memcpy(out, bytes.data(), from);
  out += from;
  for (size_t i = from; i < bytes.size();) {
    const uint8_t byte = static_cast<uint8_t>(bytes[i]);
    if (byte < 0x80) {
      if (byte == '"') *out++ = '"';
      *out++ = bytes[i++];
      continue;
    }
    const Utf8Step step = NextUtf8Step(bytes.substr(i));
    const std::string_view written = step.valid ? bytes.substr(i, step.length) : kReplacement;
    std::memcpy(out, written.data(), written.size());
    out += written.size();
    i += step.length;
  }
  if (quoted) *out++ = '"';
  return out;
}

// Writes one field at `out`, which has room for MaxFieldSize bytes.
char* WriteFieldAt(std::string_view bytes, char* out) {
  const size_t plain = CsvPlainEnd(bytes, 0);
  const bool spaced = !bytes.empty() && (bytes.front() == ' ' || bytes.back() == ' ');
  if (plain == bytes.size() && !spaced) {
    // An empty view may have no data at all, which memcpy must not be given.
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    return out + bytes.size();
  }
  bool quoted = spaced;
  for (size_t i = plain; i < bytes.size() && !quoted; ++i)
    quoted = kQuoted[static_cast<uint8_t>(bytes[i])];
  return WriteCareful(bytes, plain, quoted, out);
}

// Quotes doubled or bytes replaced by U+FFFD: at most 3 bytes per byte.
constexpr size_t MaxFieldSize(size_t size) { return 3 * size + 2; }

}  // namespace

void CsvLine::Field(std::string_view bytes) {
  char* out = line_.Room(1 + MaxFieldSize(bytes.size()));
  *out = ',';
  line_.SetEnd(WriteFieldAt(bytes, out + 1));
}

char* CsvLine::WriteField(std::string_view bytes, char* out) {
  *out = ',';
  return WriteFieldAt(bytes, out + 1);
}

char* CsvLine::WritePaddedField(std::string_view bytes, char* out) {
#if defined(__SSE2__)
  const size_t size = bytes.size();
  if (size > 64) return WriteField(bytes, out);  // rare: not worth a second way
  uint64_t marks = 0;
  for (size_t block = 0; block < size; block += 16)
    marks |= static_cast<uint64_t>(byte_scan::CsvNotPlain()(byte_scan::LoadBlock(bytes.data() + block)))
             << block;
  if (size < 64) marks &= (uint64_t{1} << size) - 1;
  bool quoted = size > 0 && (bytes.front() == ' ' || bytes.back() == ' ');
  for (uint64_t bits = marks; bits != 0 && !quoted; bits &= bits - 1)
    quoted = kQuoted[static_cast<uint8_t>(bytes[std::countr_zero(bits)])];
  *out++ = ',';
  if (quoted) *out++ = '"';
  size_t from = 0;  // the first byte not copied yet
  size_t next = 0;  // the first byte not judged yet: past a valid sequence
  for (uint64_t bits = marks; bits != 0; bits &= bits - 1) {
    const size_t at = static_cast<size_t>(std::countr_zero(bits));
    if (at < next) continue;
    if (static_cast<uint8_t>(bytes[at]) < 0x80) {
      next = at + 1;
      if (bytes[at] != '"') continue;  // copied with its run
      out = CopyPadded(bytes.substr(from, next - from), out);
      *out++ = '"';
      from = next;
      continue;
    }
    const Utf8Step step = NextUtf8Step(bytes.substr(at));
    next = at + step.length;
    if (step.valid) continue;
    out = CopyPadded(bytes.substr(from, at - from), out);
    std::memcpy(out, kReplacement.data(), kReplacement.size());
    out += kReplacement.size();
    from = next;
  }
  out = CopyPadded(bytes.substr(from), out);
  if (quoted) *out++ = '"';
  return out;
#else
  return WriteField(bytes, out);
#endif
}

std::string_view CsvLine::Finish() {
  char* out = line_.Room(2);
  std::memcpy(out, "\r\n", 2);
  line_.SetEnd(out + 2);
  std::string_view line = line_.view();
  // Each field was written after a comma: the first one's is no separator.
  return line.size() > 2 ? line.substr(1) : line;
}

void AppendCsvField(std::string_view bytes, std::string& out) {
  const size_t start = out.size();
  out.resize(start + MaxFieldSize(bytes.size()));
  const char* end = WriteFieldAt(bytes, out.data() + start);
  out.resize(static_cast<size_t>(end - out.data()));
}

void AppendCsvHeader(std::span<const ReportColumn> columns, std::string& out) {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out += ',';
    AppendCsvField(columns[i].name, out);
  }
  out += "\r\n";
}

void AppendCsvRecord(std::span<const ReportField> fields, std::string& out) {
  thread_local CsvLine line;
  line.Begin();
  for (const ReportField& field : fields) line.Field(field.text);
  out += line.Finish();
}

}  // namespace quarrow
