#include "search/csv_line_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "byte_helpers.h"
#include "report/csv_writer.h"

namespace quarrow {
namespace {

using testing::Bytes;

// The record as the rendered values give it, field by field through CsvLine:
// the prefix's three numbers, then each value (or "null").
std::string RenderedRecord(const Match& match, const ColumnList& columns) {
  CsvLine csv;
  csv.Begin();
  std::string_view prefix = match.prefix;
  for (int k = 0; k < 3; ++k) {
    const size_t tab = prefix.find('\t');
    csv.Field(prefix.substr(0, tab));
    prefix.remove_prefix(tab == std::string_view::npos ? prefix.size() : tab + 1);
  }
  for (const TERM& column : columns) csv.Field(column.off ? "null" : column.value);
  return std::string(csv.Finish());
}

struct BothRecords {
  std::string rendered, written;
};

BothRecords ScanBoth(const std::string& bytes, const std::vector<std::string>& lines,
                     int64_t page_size) {
  const Buffer buffer = Buffer::FromBytes(bytes);
  const ColumnList columns = LoadColumns(lines);
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.page_size = page_size;
  params.threads = 1;
  BothRecords both;
  ScanFormattedPages(
      buffer, columns, params,
      [](const Match& match, const ColumnList& found, std::string& out) {
        out += RenderedRecord(match, found);
        return true;
      },
      [&](std::string_view text, int64_t) { both.rendered.append(text); });
  params.render_nothing = true;
  ScanFormattedPages(
      buffer, columns, params,
      [writer = CsvLineWriter(columns)](const Match& match, const ColumnList& found,
                                        std::string& out) mutable {
        writer.Append(match, found, out);
        return true;
      },
      [&](std::string_view text, int64_t) { both.written.append(text); });
  return both;
}

TEST(CsvLineWriter, QuotesTextsAsTheRenderedValues) {
  // The pair rule's NULL, a text of 4 bytes with a comma and a quote, an
  // integer 7, a text starting with a space, a suppressed column.
  std::string bytes = Bytes({0x00, 0x06, 0x00, 0x15, 0x01, 0x11, 0x00,  // header
                             'a', ',', '"', 'b', 0x07, ' ', 'x'});
  const ColumnList columns =
      LoadColumns({"id INTEGER", "t TEXT", "n INTEGER", "u TEXT", "s TEXT *"});
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.render_nothing = true;
  std::string records;
  ScanFormattedPages(Buffer::FromBytes(bytes), columns, params,
                     [writer = CsvLineWriter(columns)](const Match& match, const ColumnList& found,
                                                       std::string& out) mutable {
                       if (match.position != 1) return false;
                       writer.Append(match, found, out);
                       return true;
                     },
                     [&](std::string_view text, int64_t) { records.append(text); });
  EXPECT_EQ(records, ",0,6,0,\"a,\"\"b\",7,\" x\",null\r\n");
}

TEST(CsvLineWriter, EqualsTheRenderedValuesOverSeamsAndTheBufferEnd) {
  // Bytes rich in small serial types and in what csv quotes or replaces:
  // commas, quotes, spaces, UTF-8 and bytes that are none.
  const char specials[] = {',', '"', ' ', '\r', '\n', 'a', '\xC3', '\xA9', '\xFF', '\xE2'};
  const std::vector<std::vector<std::string>> lists = {
      {"id INTEGER", "name TEXT", "age INTEGER"},
      {"a INTEGER", "b BLOB", "c TEXT", "d INTEGER", "e TEXT *"},
      {"a ANY", "b TEXT", "c", "d ANY", "e INTEGER"},
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    std::string bytes(6000 + seed * 211, '\0');
    for (char& c : bytes) {
      const uint32_t r = random() % 100;
      c = r < 30   ? '\0'
          : r < 65 ? static_cast<char>(random() % 24)
          : r < 85 ? specials[random() % 10]
                   : static_cast<char>(random());
    }
    for (const auto& lines : lists) {
      for (int64_t page : {int64_t{1} << 20, int64_t{61}}) {
        const BothRecords both = ScanBoth(bytes, lines, page);
        ASSERT_GT(both.rendered.size(), 100u) << lines[1];
        EXPECT_EQ(both.written, both.rendered) << lines[1] << " seed " << seed << " page " << page;
      }
    }
  }
}

}  // namespace
}  // namespace quarrow
