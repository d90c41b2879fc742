// The csv and jsonl reports byte for byte: the fast paths (word-at-a-time
// scans, copies without calls, rows written without a list of fields) must
// write exactly what the plain definitions of the formats give.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contacts_report.h"
#include "contacts_report_rows.h"
#include "contacts/person_pass.h"
#include "engine/columns.h"
#include "report/byte_scan.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "engine/line_buffer.h"

namespace quarrow {
namespace {

// Texts made of the bytes each scan must tell apart, of every length up to
// a few words, so that every byte lands at every position of a word and in
// the last, partial one.
std::vector<std::string> TrickyTexts() {
  const std::string alphabet = std::string("a0 ,\"\\\t\r\n\x01\x1f\x7f\x80\xc3\xa9\xff") + '\0';
  std::mt19937 random(10);
  std::vector<std::string> texts;
  for (size_t size = 0; size <= 140; size += size < 40 ? 1 : 7) {
    for (int variant = 0; variant < 30; ++variant) {
      std::string text(size, 'a');
      // Mostly plain, as real cells are: a few tricky bytes each.
      for (int k = 0; k < 1 + variant % 3 && size > 0; ++k)
        text[random() % size] = alphabet[random() % alphabet.size()];
      texts.push_back(text);
    }
  }
  return texts;
}

size_t ReferenceEnd(std::string_view text, size_t from, std::string_view special) {
  for (size_t i = from; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x80 || special.find(text[i]) != std::string_view::npos) return i;
  }
  return text.size();
}

TEST(ByteScan, StopsAtTheFirstByteNeedingCareWhereverItIs) {
  std::vector<uint64_t> bits;  // reused, as a report reuses it from row to row
  for (const std::string& text : TrickyTexts()) {
    // MarkBits reads whole blocks: the text is followed by bytes that would be
    // marked, were they read as the text's.
    const std::string padded = text + std::string(16, '"');
    MarkBits(std::string_view(padded).substr(0, text.size()), byte_scan::JsonNotPlain(), bits);
    ASSERT_EQ(bits.size(), (text.size() + 63) / 64);
    std::vector<size_t> json_marks;
    for (size_t word = 0; word < bits.size(); ++word)
      for (uint64_t mask = bits[word]; mask != 0; mask &= mask - 1)
        json_marks.push_back(word * 64 + std::countr_zero(mask));
    std::vector<size_t> expected_marks;
    for (size_t from = 0; from <= text.size(); ++from) {
      ASSERT_EQ(JsonPlainEnd(text, from), ReferenceEnd(text, from, "\"\\")) << text << " " << from;
      ASSERT_EQ(CsvPlainEnd(text, from), ReferenceEnd(text, from, ",\"")) << text << " " << from;
      if (from < text.size() && ReferenceEnd(text, from, "\"\\") == from) expected_marks.push_back(from);
    }
    ASSERT_EQ(json_marks, expected_marks) << text;
  }
}

TEST(ByteScan, CopiesWriteExactlyTheirBytes) {
  const std::string source = "0123456789abcdefghijklmnopqrstuvwxyz0123456789";
  for (size_t size = 0; size <= 40; ++size) {
    std::string out(64, '#');
    char* end = CopyBytes(std::string_view(source).substr(3, size), out.data());
    EXPECT_EQ(end - out.data(), static_cast<ptrdiff_t>(size));
    EXPECT_EQ(out, source.substr(3, size) + std::string(64 - size, '#')) << size;
  }
  // A padded fragment may move whole blocks, but the line ends after its text.
  LineBuffer line;
  const std::string padded = std::string(40, 'k') + "ab" + std::string(LineBuffer::kSlack, '-');
  const std::string_view fragments = padded;
  line.SetEnd(CopyPadded(fragments.substr(0, 40), line.Room(40)));
  line.SetEnd(CopyPadded(fragments.substr(40, 2), line.Room(2)));
  EXPECT_EQ(line.view(), std::string(40, 'k') + "ab");
}

TEST(ByteScan, IntegersAreCheckedWordByWord) {
  for (std::string_view text : {"12345678", "-1234567812345678", "1234567812345678901"})
    EXPECT_TRUE(IsDecimalInteger(text)) << text;
  // A byte just below '0' or just above '9', or from 0x80 on, at either end
  // of a word and in the tail.
  for (std::string_view text : {"/2345678", "1234567:", "12345678/", "1234567\xB9",
                                "\xB0" "2345678", "123456781234567:", "00000000"})
    EXPECT_FALSE(IsDecimalInteger(text)) << text;
}

// Bytes that start no sequence and two-byte sequences take the short way, the
// rest the table: both agree for every lead byte from 0x80 on, alone, and
// before every second byte (then a valid continuation, or none).
TEST(ByteScan, Utf8StepsTakenShortAgreeWithTheTable) {
  int differing = 0;
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    const std::string alone(1, static_cast<char>(lead));
    std::vector<std::string> texts = {alone};
    for (int second = 0; second <= 0xFF; ++second) {
      const std::string pair = alone + static_cast<char>(second);
      texts.push_back(pair);
      texts.push_back(pair + "\x80\x80");
    }
    for (const std::string& text : texts) {
      const Utf8Step fast = NextUtf8Step(text), slow = NextUtf8StepSlow(text);
      if (fast.length != slow.length || fast.valid != slow.valid) ++differing;
    }
  }
  EXPECT_EQ(differing, 0);
  EXPECT_TRUE(NextUtf8Step("\xC3\xA9").valid);
  EXPECT_EQ(NextUtf8Step("\xE2\x82\xAC").length, 3u);
  EXPECT_FALSE(NextUtf8Step("\xBF\x80").valid);
}

// The padded writers find what needs care sixteen bytes at a time and copy
// whole blocks: they must write what the byte-by-byte writers write.
TEST(ByteScan, PaddedWritersWriteWhatTheCarefulOnesWrite) {
  const JsonlColumns layout({{"t", false}});
  JsonlLine careful, padded;
  for (const std::string& text : TrickyTexts()) {
    const std::string copy = text + std::string(LineBuffer::kSlack, '"');
    const std::string_view bytes = std::string_view(copy).substr(0, text.size());
    std::string expected(3 * text.size() + 3 + LineBuffer::kSlack, '#');
    expected.resize(CsvLine::WriteField(text, expected.data()) - expected.data());
    std::string field(3 * text.size() + 3 + LineBuffer::kSlack, '#');
    field.resize(CsvLine::WritePaddedField(bytes, field.data()) - field.data());
    ASSERT_EQ(field, expected) << text;

    careful.Begin();
    careful.Text(layout, 0, text);
    padded.Begin();
    char* out = padded.MakeRoom(layout.RoomFor(0, text.size()));
    out = CopyPadded(layout.key(0), out);
    padded.Commit(padded.WritePaddedTextValue(layout, 0, bytes, out));
    ASSERT_EQ(std::string(padded.Finish()), std::string(careful.Finish())) << text;
  }
}

TEST(ByteScan, DecimalsAreWrittenWhole) {
  for (uint64_t value : {0ull, 7ull, 10ull, 99ull, 100ull, 4096ull, 123456789ull,
                         18446744073709551615ull}) {
    char out[24 + LineBuffer::kSlack];
    EXPECT_EQ(std::string(out, WriteDecimal(value, out)), std::to_string(value));
  }
}

// One row with a cell of each kind the report tells apart: cells 0 to 31 as
// the person pass joins them, then the 14 label cells.
struct SampleRow {
  std::vector<std::string> cells = std::vector<std::string>(kReportColumns);
  SampleRow() {
    cells[0] = "12", cells[1] = "-3", cells[3] = "null";          // integers
    cells[4] = "M\xC3\xBCller", cells[5] = "say \"hi\"\\";       // escapes
    cells[6] = "a\xFF" "b", cells[8] = "tab\x01", cells[13] = "007";
    for (int col : {17, 19, 20, 23, 24, 30, 31}) cells[col] = "null";  // suppressed
    cells[18] = "x";  // a suppressed column's value all the same
    cells[21] = "1500", cells[25] = "null", cells[26] = "0";
    cells[29] = std::string(20, 'z');                           // past two words
    cells[28] = std::string(70, 'L');                           // past a 64-byte block
    cells[32] = "555 0150", cells[34] = "a, b", cells[41] = " lead";
    cells[33] = "caf\xC3\xA9";                                 // a label cell to check
  }
  std::string Joined() const {
    std::string joined;
    for (int k = 0; k < 32; ++k) joined += (k ? "\t" : "") + cells[k];
    return joined;
  }
  std::vector<std::string_view> Labels() const {
    return std::vector<std::string_view>(cells.begin() + 32, cells.end());
  }
  std::vector<std::string_view> All() const {
    return std::vector<std::string_view>(cells.begin(), cells.end());
  }
};

// What each column's member or field should read, in column order.
std::string Expected(const std::vector<std::string>& names,
                     const std::vector<std::pair<int, std::string>>& values,
                     const std::string& empty, const std::string& separator,
                     bool with_keys) {
  std::vector<std::string> fields(names.size(), empty);
  for (int col : {0, 1, 2, 3, 13, 21, 22, 27}) fields[col] = with_keys ? "null" : "";
  for (int col : {17, 18, 19, 20, 23, 24, 30, 31}) fields[col] = with_keys ? "null" : "";
  for (const auto& [col, value] : values) fields[col] = value;
  std::string line;
  for (size_t col = 0; col < names.size(); ++col) {
    if (col > 0) line += separator;
    line += with_keys ? "\"" + names[col] + "\":" + fields[col] : fields[col];
  }
  return line;
}

TEST(ContactsReportBytes, JsonlRowIsPinned) {
  const SampleRow row;
  RunOptions options;
  options.format = ReportFormat::kJsonl;
  options.details = true;
  const std::vector<std::string> names = testing::ContactsReportNames();
  ContactsFormattedReport report(options, names);
  const std::string line(report.Row(row.Joined(), row.Labels(), 4096, "freed", "prior"));
  const std::string members = Expected(
      names,
      {{0, "12"}, {1, "-3"}, {4, "\"M\xC3\xBCller\""}, {5, "\"say \\\"hi\\\"\\\\\""},
       {6, "\"a\xEF\xBF\xBD" "b\""}, {8, "\"tab\\u0001\""}, {13, "\"007\""}, {18, "\"x\""},
       {21, "1500"}, {25, "\"null\""}, {26, "\"0\""}, {29, "\"" + std::string(20, 'z') + "\""},
       {28, "\"" + std::string(70, 'L') + "\""}, {32, "\"555 0150\""},
       {33, "\"caf\xC3\xA9\""}, {34, "\"a, b\""}, {41, "\" lead\""}},
      "\"\"", ",", true);
  EXPECT_EQ(line, "{\"offset\":4096,\"status\":\"freed\",\"state\":\"prior\",\"links\":\"\"," + members +
                      ",\"_raw\":{\"Middle\":\"61ff62\"}}\n");
  // A row given as its cells apart is written the same way.
  EXPECT_EQ(std::string(report.Row(row.All(), 4096, "freed", "prior")), line);
}

TEST(ContactsReportBytes, CsvRowIsPinned) {
  const SampleRow row;
  RunOptions options;
  options.format = ReportFormat::kCsv;
  const std::vector<std::string> names = testing::ContactsReportNames();
  ContactsFormattedReport report(options, names);
  const std::string line(report.Row(row.Joined(), row.Labels(), -1, "", ""));
  std::vector<std::pair<int, std::string>> values;
  for (int col = 0; col < kReportColumns; ++col) values.push_back({col, row.cells[col]});
  values[5].second = "\"say \"\"hi\"\"\\\"";
  values[6].second = "a\xEF\xBF\xBD" "b";
  values[34].second = "\"a, b\"";
  values[41].second = "\" lead\"";
  EXPECT_EQ(line, Expected(names, values, "", ",", false) + "\r\n");
  EXPECT_EQ(std::string(report.Row(row.All(), -1, "", "")), line);
}

TEST(ContactsReportBytes, RowsOfOtherLengthsKeepTheirColumns) {
  RunOptions options;
  options.format = ReportFormat::kJsonl;
  const std::vector<std::string> names = testing::ContactsReportNames();
  ContactsFormattedReport report(options, names);
  // Cells missing at the end are empty; cells past the 46th are left out.
  std::string joined = "1\t2\t3";
  const std::string short_line(report.Row(joined, {}, -1, "", ""));
  EXPECT_EQ(short_line.rfind("{\"NUM_0\":1,\"NUM_1\":2,\"NUM_2\":3,\"ABPerson\":null,\"First\":\"\"", 0),
            0u);
  EXPECT_NE(short_line.find(",\"EMAIL_Unknown\":\"\"}\n"), std::string::npos);
  for (int k = 3; k < 50; ++k) joined += "\tv";
  const std::vector<std::string_view> labels(14, "label");
  const std::string long_line(report.Row(joined, labels, -1, "", ""));
  EXPECT_NE(long_line.find(",\"EMAIL_Unknown\":\"v\"}\n"), std::string::npos);
  EXPECT_EQ(long_line.find("label"), std::string::npos);
}

// A row given joined is written from its TABs and its marked bytes, a row
// given as cells one cell at a time: both must give the same line, whatever
// the cells hold and wherever they fall in the row's 64-byte words.
void ExpectJoinedRowsWrittenAsTheirCells(const std::vector<std::string>& names) {
  const std::vector<std::string> pieces = {
      "", "", "", "", "null", "0", "-12", "007", "Ann", " lead", "trail ", " ", "a,b",
      "say \"hi\"", "back\\slash", "ctl\x01", "cr\rlf\n", "M\xC3\xBCller", "bad\xFF",
      std::string(61, 'w'), std::string(70, 'L') + ",", "12345678901234567890"};
  std::mt19937 random(46);
  for (int round = 0; round < 3000; ++round) {
    // Mostly a person row's 32 joined cells, some rows shorter or longer.
    const size_t joined_count = round % 5 == 0 ? random() % 60 + 1 : 32;
    std::vector<std::string> cells;
    std::string joined;
    for (size_t k = 0; k < joined_count; ++k) {
      cells.push_back(pieces[random() % pieces.size()]);
      joined += (k ? "\t" : "") + cells.back();
    }
    std::vector<std::string> labels(14);
    if (round % 3 == 0)
      for (std::string& label : labels) label = pieces[random() % pieces.size()];
    const std::vector<std::string_view> label_views(labels.begin(), labels.end());
    std::vector<std::string_view> all(cells.begin(), cells.end());
    all.insert(all.end(), label_views.begin(), label_views.end());
    for (ReportFormat format : {ReportFormat::kCsv, ReportFormat::kJsonl}) {
      RunOptions options;
      options.format = format;
      options.details = round % 2 == 0;
      ContactsFormattedReport report(options, names);
      const std::string from_joined(report.Row(joined, label_views, round, "live", "deleted"));
      ASSERT_EQ(from_joined, std::string(report.Row(all, round, "live", "deleted"))) << joined;
    }
  }
}

TEST(ContactsReportBytes, JoinedRowsAreWrittenAsTheirCells) {
  ExpectJoinedRowsWrittenAsTheirCells(testing::ContactsReportNames());
  // Past 64 columns the cells are judged one by one, not as one word's bits.
  std::vector<std::string> wide = testing::ContactsReportNames();
  for (int k = 0; wide.size() < 70; ++k) wide.push_back("extra_" + std::to_string(k));
  ExpectJoinedRowsWrittenAsTheirCells(wide);
}

TEST(JsonlLine, LongAndEscapedTextsGrowTheLine) {
  JsonlLine line;
  const JsonlColumns layout({{"t", false}, {"n", true}});
  for (int round = 0; round < 2; ++round) {  // the second reuses the buffer
    line.Begin();
    const std::string controls(5000, '\x02');
    line.Text(layout, 0, controls);
    line.Integer(layout, 1, "01");
    std::string expected = "{\"t\":\"";
    for (int k = 0; k < 5000; ++k) expected += "\\u0002";
    expected += "\",\"n\":\"01\"}\n";
    EXPECT_EQ(std::string(line.Finish()), expected);
  }
  line.Begin();
  EXPECT_EQ(line.Finish(), "{}\n");
}

}  // namespace
}  // namespace quarrow
