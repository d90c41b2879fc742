#include "search/jsonl_line_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "byte_helpers.h"
#include "engine/header.h"

namespace quarrow {
namespace {

using testing::Bytes;

JsonlColumns Layout(const ColumnList& columns) {
  std::vector<ReportColumn> report = {{"payload_length", true}, {"rowid", true},
                                      {"header_length", true}};
  for (const TERM& column : columns) report.push_back({column.name, column.tp == kInteger});
  return JsonlColumns(std::move(report));
}

// The object as the rendered values give it, field by field through
// JsonlLine::Field: NULL and suppressed fields null, integers by their text.
std::string RenderedObject(const Match& match, const ColumnList& columns,
                           const JsonlColumns& layout) {
  JsonlLine json;
  json.Begin();
  json.Integer("offset", match.position);
  std::string_view prefix = match.prefix;
  size_t index = 0;
  for (int k = 0; k < 3; ++k) {
    const size_t tab = prefix.find('\t');
    const std::string_view number = prefix.substr(0, tab);
    json.Field(layout, index++, ReportField{number, number.empty()});
    prefix.remove_prefix(tab == std::string_view::npos ? prefix.size() : tab + 1);
  }
  for (const TERM& column : columns) {
    const bool integer = SerialTypeKind(column.serial).kind == kInteger;
    json.Field(layout, index++,
               column.off ? ReportField{"null", true}
                          : ReportField{column.value, column.serial == 0, integer});
  }
  return std::string(json.Finish());
}

struct BothObjects {
  std::string rendered, written;
};

BothObjects ScanBoth(const std::string& bytes, const std::vector<std::string>& lines,
                     int64_t page_size) {
  const Buffer buffer = Buffer::FromBytes(bytes);
  const ColumnList columns = LoadColumns(lines);
  const JsonlColumns layout = Layout(columns);
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.page_size = page_size;
  params.threads = 1;
  BothObjects both;
  ScanFormattedPages(
      buffer, columns, params,
      [&layout](const Match& match, const ColumnList& found, std::string& out) {
        out += RenderedObject(match, found, layout);
        return true;
      },
      [&](std::string_view text, int64_t) { both.rendered.append(text); });
  params.render_nothing = true;
  ScanFormattedPages(
      buffer, columns, params,
      [writer = JsonlLineWriter(columns, layout)](const Match& match, const ColumnList& found,
                                                  std::string& out) mutable {
        writer.Append(match, found, match.position, out);
        return true;
      },
      [&](std::string_view text, int64_t) { both.written.append(text); });
  return both;
}

TEST(JsonlLineWriter, WritesNumbersTextsAndNulls) {
  // The pair rule's NULL, -2 in two bytes, a double, a text with a quote and
  // a byte that is no UTF-8, a blob, a suppressed column.
  std::string bytes = Bytes({0x00, 0x07, 0x00, 0x02, 0x07, 0x13, 0x0E, 0x00,  // header
                             0xFF, 0xFE, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, '"', 0xFF, 'c', 0x55});
  const ColumnList columns =
      LoadColumns({"id INTEGER", "n INTEGER", "d INTEGER", "t TEXT", "b BLOB", "s TEXT *"});
  const JsonlColumns layout = Layout(columns);
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.render_nothing = true;
  std::string objects;
  ScanFormattedPages(Buffer::FromBytes(bytes), columns, params,
                     [writer = JsonlLineWriter(columns, layout)](
                         const Match& match, const ColumnList& found, std::string& out) mutable {
                       if (match.position != 1) return false;
                       writer.Append(match, found, 41, out);
                       return true;
                     },
                     [&](std::string_view text, int64_t) { objects.append(text); });
  EXPECT_EQ(objects,
            "{\"offset\":41,\"payload_length\":null,\"rowid\":0,\"header_length\":7,"
            "\"id\":null,\"n\":-2,\"d\":\"1.5\",\"t\":\"\\\"\xEF\xBF\xBD" "c\",\"b\":\"BLOB\","
            "\"s\":null,\"_raw\":{\"t\":\"22ff63\"}}\n");
}

TEST(JsonlLineWriter, EqualsTheRenderedValuesOverSeamsAndTheBufferEnd) {
  const char specials[] = {'"', '\\', ' ', 'a', '\xC3', '\xA9', '\xFF', '\xE2', '7', '-'};
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
        const BothObjects both = ScanBoth(bytes, lines, page);
        ASSERT_GT(both.rendered.size(), 100u) << lines[1];
        EXPECT_EQ(both.written, both.rendered) << lines[1] << " seed " << seed << " page " << page;
      }
    }
  }
}

}  // namespace
}  // namespace quarrow
