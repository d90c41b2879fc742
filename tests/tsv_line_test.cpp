#include "engine/tsv_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "byte_helpers.h"
#include "engine/values.h"

namespace quarrow {
namespace {

using testing::Bytes;

// The line as the rendered values give it: prefix, each value (or "null")
// and a TAB, then CR LF. The writer must give these bytes without them.
std::string RenderedLine(const Match& match, const ColumnList& columns) {
  std::string line(match.prefix);
  for (const TERM& column : columns) line.append(column.off ? "null" : column.value).append("\t");
  return line + "\r\n";
}

// Every match's line from a scan with the values rendered, joined as above,
// and from one that renders nothing and leaves it to the writer.
struct BothLines {
  std::string rendered, written;
};

BothLines ScanBoth(const std::string& bytes, const std::vector<std::string>& lines,
                   int64_t page_size, int threads) {
  const Buffer buffer = Buffer::FromBytes(bytes);
  const ColumnList columns = LoadColumns(lines);
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.page_size = page_size;
  params.threads = threads;
  BothLines both;
  auto collect = [](std::string& all) {
    return [&all](std::string_view text, int64_t) { all.append(text); };
  };
  ScanFormattedPages(buffer, columns, params,
                     [](const Match& match, const ColumnList& found, std::string& out) {
                       out += RenderedLine(match, found);
                       return true;
                     },
                     collect(both.rendered));
  params.render_nothing = true;
  ScanFormattedPages(buffer, columns, params,
                     [writer = TsvLineWriter(columns)](const Match& match, const ColumnList& found,
                                                       std::string& out) mutable {
                       writer.Append(match, found, out);
                       return true;
                     },
                     collect(both.written));
  return both;
}

TEST(TsvLineWriter, WritesEachKindAsTheRenderedValues) {
  // Header length 9, then: the NULL of the pair rule, a 2-byte integer (-2),
  // a double (1.5), a text of three bytes with a control byte, a blob of one
  // byte, the integer 1 held in the header (9), and a 1-byte integer under
  // ANY; then a suppressed column.
  std::string bytes = Bytes({0x00, 0x09, 0x00, 0x02, 0x07, 0x13, 0x0E, 0x09, 0x01, 0x00,
                             0xFF, 0xFE,                                   // -2
                             0x3F, 0xF8, 0, 0, 0, 0, 0, 0,                 // 1.5
                             'a', 0x01, 'c', 0x55, 0x2A});                 // text, blob, 42
  const ColumnList columns = LoadColumns({"id INTEGER", "a INTEGER", "b INTEGER", "c TEXT",
                                          "d BLOB", "e INTEGER", "f ANY", "g INTEGER *"});
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.render_nothing = true;
  std::string lines;
  // The whole line, then the head of a details line at a large offset.
  ScanFormattedPages(Buffer::FromBytes(bytes), columns, params,
                     [writer = TsvLineWriter(columns)](const Match& match, const ColumnList& found,
                                                       std::string& out) mutable {
                       if (match.position != 1) return false;
                       writer.Append(match, found, out);
                       writer.AppendHead(match, found, int64_t{1} << 40, out);
                       return true;
                     },
                     [&](std::string_view text, int64_t) { lines.append(text); });
  const std::string fields = "\t0\t9\t0\t-2\t1.5\ta c\tBLOB\t1\t42\tnull\t";
  EXPECT_EQ(lines, fields + "\r\n" + fields + "1099511627776\t");
}

TEST(TsvLineWriter, EqualsTheRenderedValuesOverSeamsAndTheBufferEnd) {
  // Bytes rich in small serial types, so that records of every shape match,
  // some of them with bodies past a page's window or cut by the buffer's end.
  const std::vector<std::vector<std::string>> lists = {
      {"id INTEGER", "name TEXT", "age INTEGER"},
      {"a INTEGER", "b BLOB", "c TEXT", "d INTEGER", "e TEXT *"},
      {"a ANY", "b INTEGER", "c", "d ANY", "e INTEGER"},
      {"UID INTEGER PRIMARY KEY", "record_id INTEGER", "property INTEGER", "identifier INTEGER",
       "label INTEGER", "value TEXT);"},
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    std::string bytes(5000 + seed * 331, '\0');
    for (char& c : bytes) {
      const uint32_t r = random() % 100;
      c = static_cast<char>(r < 35 ? 0 : r < 80 ? random() % 24 : random() % 256);
    }
    for (const auto& lines : lists) {
      for (int64_t page : {int64_t{1} << 20, int64_t{64}, int64_t{7}}) {
        const BothLines both = ScanBoth(bytes, lines, page, page == 64 ? 2 : 1);
        ASSERT_GT(both.rendered.size(), 100u) << lines[0];
        EXPECT_EQ(both.written, both.rendered) << lines[0] << " seed " << seed << " page " << page;
      }
    }
  }
}

TEST(TsvLineWriter, KeepsLongTextsWhole) {
  // One record whose text outgrows any line seen before it: the room grows.
  std::string text(3000, 'x');
  text[1500] = '\t';  // a control byte: a space
  const int serial = 13 + 2 * static_cast<int>(text.size());  // 6013: two varint bytes
  std::string bytes = Bytes({0x00, 0x05, 0x00, 0x01, 0x80 | (serial >> 7), serial & 0x7F, 0x05});
  bytes += text;
  const BothLines both =
      ScanBoth(bytes, {"id INTEGER", "n INTEGER", "t TEXT"}, int64_t{1} << 20, 1);
  ASSERT_NE(both.rendered.find(std::string(1500, 'x') + " "), std::string::npos);
  EXPECT_EQ(both.written, both.rendered);
}

}  // namespace
}  // namespace quarrow

namespace quarrow {
namespace {

// A page's offsets share their high digits: each is written as WriteDecimal
// writes it, across changes of those digits, steps back, and at the edges of
// four digits and of 64 bits.
TEST(NearbyDecimals, WriteAsWriteDecimalWhateverCameBefore) {
  std::mt19937_64 random(7);
  std::vector<uint64_t> values = {0,     9,     10,    9999,  10000, 10001,  19999, 20000,
                                  99999, 10000, 123456789, 123450000, 123459999,
                                  999999999999999999ull, UINT64_MAX, UINT64_MAX - 1, 5};
  uint64_t at = 1 << 20;
  for (int i = 0; i < 20000; ++i) {
    at += random() % 300;  // a page's matches
    values.push_back(at);
    if (i % 1000 == 0) values.push_back(random());  // and any number now and then
  }
  NearbyDecimals decimals;
  for (uint64_t value : values) {
    char expected[32], written[32];
    const std::string_view want(expected,
                                static_cast<size_t>(WriteDecimal(value, expected) - expected));
    const std::string_view got(written,
                               static_cast<size_t>(decimals.Write(value, written) - written));
    ASSERT_EQ(got, want) << value;
  }
}

}  // namespace
}  // namespace quarrow
