// The header match and value rendering over arbitrary bytes and an arbitrary
// column list. Input: a column count, one byte per column (its kind and
// whether it is suppressed), a byte of scan settings, a page size, then the
// bytes scanned.
//
// What must hold: the paged scan equals the one-buffer reference scan at the
// page size and thread count the input picks; rendering only some columns
// gives their values unchanged and leaves the rest empty; every rendered value
// is free of control bytes and TEXT values stay within their cap; seg is the
// serial type's content size.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/header.h"
#include "engine/scan.h"
#include "engine/values.h"
#include "support.h"

namespace quarrow::fuzz {
namespace {

const char* const kTypeWords[] = {"", " INTEGER", " BLOB", " TEXT", " ANY"};

struct Setup {
  std::vector<std::string> lines;
  CandidateRule rule;
  int threshold;
  int prefix;
  int threads;
  int64_t page_size;
};

Setup ReadSetup(ByteReader& in) {
  Setup setup;
  int count = in.Byte() % 24;
  for (int i = 0; i < count; ++i) {
    uint8_t b = in.Byte();
    setup.lines.push_back("c" + std::to_string(i) + kTypeWords[(b & 7) % 5] +
                          (b & 8 ? " *" : ""));
  }
  uint8_t flags = in.Byte();
  setup.rule = flags & 1 ? CandidateRule::kSingleByte : CandidateRule::kPair;
  setup.threshold = flags & 2 ? kStrict : kLoose;
  const int prefixes[] = {0, 1, 3};
  setup.prefix = prefixes[(flags >> 2) % 3];
  setup.threads = 1 + ((flags >> 4) & 1);
  setup.page_size = 1 + in.Byte();
  return setup;
}

void CheckRendered(const ColumnList& columns, const std::string& where) {
  for (const TERM& column : columns) {
    for (char c : column.value)
      QUARROW_FUZZ_CHECK(static_cast<uint8_t>(c) >= 0x20, where + ": control byte in a value");
    QUARROW_FUZZ_CHECK(static_cast<int64_t>(column.value.size()) <= kMaxTextBytes,
                       where + ": value longer than the text cap");
    SerialTypeInfo info = SerialTypeKind(column.serial);
    QUARROW_FUZZ_CHECK(column.seg == info.size, where + ": seg is not the serial type's size");
  }
}

}  // namespace
}  // namespace quarrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarrow;
  using namespace quarrow::fuzz;
  ByteReader in(data, size);
  Setup setup = ReadSetup(in);
  const std::string bytes(in.Rest());
  ColumnList columns = LoadColumns(setup.lines);

  const std::vector<std::string> reference =
      ReferenceScan(bytes, columns, setup.rule, setup.threshold, setup.prefix);

  ScanParams params = ScanParams::For(setup.rule, setup.threshold, setup.prefix, nullptr);
  params.page_size = setup.page_size;
  params.threads = setup.threads;
  Buffer buffer = Buffer::FromBytes(bytes);
  std::vector<std::string> paged;
  ScanRecords(buffer, columns, params, [&](const Match& match, const ColumnList& found) {
    CheckRendered(found, "match at " + std::to_string(match.position));
    paged.push_back(MatchLine(match, found));
  });
  QUARROW_FUZZ_CHECK(paged == reference, FirstDifference(paged, reference));

  // Only the columns not suppressed rendered, as the commands ask.
  params.rendered.clear();
  for (const TERM& column : columns) params.rendered.push_back(!column.off);
  size_t index = 0;
  ScanRecords(buffer, columns, params, [&](const Match& match, const ColumnList& found) {
    QUARROW_FUZZ_CHECK(index < reference.size(), "more matches when rendering fewer columns");
    ColumnList shown = found;
    for (TERM& column : shown)
      QUARROW_FUZZ_CHECK(!column.off || column.value.empty(), "a suppressed column was rendered");
    // Put the suppressed values back from a full rendering to compare the line.
    Buffer whole = Buffer::FromBytes(bytes);
    BufferView view(whole, 0, bytes);
    ColumnList full = columns;
    int64_t cursor = match.position + 1;
    QUARROW_FUZZ_CHECK(MatchHeader(view, full, setup.threshold, cursor), "match not reproduced");
    ExtractValues(view, RecordBodyStart(view, match.position, cursor, full), full);
    for (size_t k = 0; k < shown.size(); ++k)
      if (shown[k].off) shown[k].value = full[k].value;
    QUARROW_FUZZ_CHECK(MatchLine(match, shown) == reference[index],
                       "partial rendering differs at " + std::to_string(match.position));
    ++index;
  });
  QUARROW_FUZZ_CHECK(index == reference.size(), "fewer matches when rendering fewer columns");

  // Varints: at most nine bytes; the position N reads as a 0 byte, so a varint
  // running into the end stops just past it.
  BufferView view(buffer, 0, bytes);
  for (int64_t p = 0; p < static_cast<int64_t>(bytes.size()) && p < 64; ++p) {
    int64_t cursor = p;
    ReadVarint(view, cursor);
    QUARROW_FUZZ_CHECK(cursor > p && cursor - p <= 9 &&
                           cursor <= static_cast<int64_t>(bytes.size()) + 1,
                       "varint at " + std::to_string(p) + " read a wrong length");
  }
  return 0;
}
