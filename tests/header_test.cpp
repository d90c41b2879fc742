#include "engine/header.h"

#include <gtest/gtest.h>

#include <random>

#include "byte_helpers.h"

namespace quarrow {
namespace {

using testing::Bytes;
using testing::WholeView;

uint64_t Varint(const std::string& bytes, int64_t start, int64_t* end = nullptr) {
  WholeView whole(bytes);
  int64_t cursor = start;
  uint64_t value = ReadVarint(whole.view, cursor);
  if (end) *end = cursor;
  return value;
}

TEST(ReadVarint, DecodesAndAdvances) {
  int64_t end;
  EXPECT_EQ(Varint(Bytes({0x81, 0x00}), 0, &end), 128u);
  EXPECT_EQ(end, 2);
  EXPECT_EQ(Varint(Bytes({0x7F}), 0, &end), 127u);
  EXPECT_EQ(end, 1);
  EXPECT_EQ(Varint(Bytes({0x00, 0x05}), 0, &end), 0u);
  EXPECT_EQ(end, 1);
}

TEST(ReadVarint, StopsAfterNineBytesKeepingSevenBitsOfEach) {
  int64_t end;
  EXPECT_EQ(Varint(std::string(10, '\xFF'), 0, &end), 0x7FFFFFFFFFFFFFFFull);
  EXPECT_EQ(end, 9);
  // Nine bytes of 0x80 with a final 0x01: the ninth byte's high bit is ignored.
  EXPECT_EQ(Varint(std::string(8, '\x80') + "\x81", 0, &end), 1u);
  EXPECT_EQ(end, 9);
}

TEST(ReadVarint, EndsAtTheBufferEnd) {
  int64_t end;
  // The position N reads as 0 and still moves the cursor.
  EXPECT_EQ(Varint(Bytes({0x81}), 0, &end), 128u);
  EXPECT_EQ(end, 2);
  EXPECT_EQ(Varint(Bytes({0x05}), 1, &end), 0u);
  EXPECT_EQ(end, 1);  // at N: unchanged
}

TEST(SerialTypeKind, FollowsTheRecordFormat) {
  struct {
    uint64_t serial;
    int kind;
    int64_t size;
  } cases[] = {{0, kNone, 0},     {1, kInteger, 1}, {4, kInteger, 4}, {5, kInteger, 6},
               {6, kInteger, 8},  {7, kInteger, 8}, {8, kInteger, 0}, {9, kInteger, 0},
               {11, kInteger, 0}, {12, kBlob, 0},   {13, kText, 0},   {14, kBlob, 1},
               {19, kText, 3},    {0x7FFFFFFFFFFFFFFFull, kText, 0x3FFFFFFFFFFFFFF9},
               {(1ull << 32) + 12, kBlob, 1ll << 31}};
  for (const auto& c : cases) {
    SerialTypeInfo info = SerialTypeKind(c.serial);
    EXPECT_EQ(info.kind, c.kind) << c.serial;
    EXPECT_EQ(info.size, c.size) << c.serial;
  }
}

bool Fits(const std::string& bytes, ColumnList& columns, int threshold,
          int64_t* cursor_out = nullptr) {
  WholeView whole(bytes);
  int64_t cursor = 0;
  bool fits = MatchHeader(whole.view, columns, threshold, cursor);
  if (cursor_out) *cursor_out = cursor;
  return fits;
}

TEST(MatchHeader, FitsAndRecordsSizesAndSerialTypes) {
  ColumnList columns = LoadColumns({"a INTEGER", "b TEXT", "c INTEGER"});
  int64_t cursor;
  ASSERT_TRUE(Fits(Bytes({0, 15, 1}), columns, kLoose, &cursor));
  EXPECT_EQ(cursor, 3);
  EXPECT_EQ(columns[0].seg, 0);
  EXPECT_EQ(columns[1].seg, 1);
  EXPECT_EQ(columns[2].seg, 1);
  EXPECT_EQ(columns[1].serial, 15u);
  // A float in an INTEGER column fits; a text in it does not.
  EXPECT_TRUE(Fits(Bytes({7, 0, 0}), columns, kLoose));
  EXPECT_EQ(columns[0].seg, 8);
  EXPECT_FALSE(Fits(Bytes({15, 0, 1}), columns, kLoose, &cursor));
  EXPECT_EQ(cursor, 0);
}

TEST(MatchHeader, ColumnOfNoKindOnlyFitsNull) {
  ColumnList columns = LoadColumns({"a INTEGER", "", "c INTEGER"});
  EXPECT_TRUE(Fits(Bytes({1, 0, 1}), columns, kLoose));
  EXPECT_FALSE(Fits(Bytes({1, 1, 1}), columns, kLoose));
}

TEST(MatchHeader, ThresholdIsStrict) {
  // 11 columns, threshold 0.1: one non-NULL field is not enough, two are.
  ColumnList eleven = LoadColumns(std::vector<std::string>(11, "x INTEGER"));
  EXPECT_FALSE(Fits(Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), eleven, kLoose));
  EXPECT_TRUE(Fits(Bytes({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), eleven, kLoose));
  // 3 columns, threshold 0.9: two non-NULL fields are needed.
  ColumnList three = LoadColumns({"a INTEGER", "b INTEGER", "c TEXT"});
  EXPECT_FALSE(Fits(Bytes({1, 0, 0}), three, kStrict));
  EXPECT_TRUE(Fits(Bytes({1, 0, 19}), three, kStrict));
  // One column or none always fits (when no kind is wrong).
  ColumnList one = LoadColumns({"a TEXT"});
  EXPECT_TRUE(Fits(Bytes({0}), one, kStrict));
  ColumnList none;
  EXPECT_TRUE(Fits(Bytes({0}), none, kLoose));
}

TEST(MatchHeader, SerialTypesPastTheEndReadAsNull) {
  ColumnList columns = LoadColumns({"a INTEGER", "b TEXT", "c INTEGER", "d INTEGER"});
  int64_t cursor;
  ASSERT_TRUE(Fits(Bytes({0, 17}), columns, kLoose, &cursor));
  EXPECT_EQ(columns[1].seg, 2);
  EXPECT_EQ(columns[3].seg, 0);
  EXPECT_EQ(cursor, 2);  // the cursor stops at the end
}

std::string Prefix(const std::string& bytes, int64_t position, int count) {
  WholeView whole(bytes);
  return ReadCellPrefix(whole.view, position, count);
}

TEST(ReadCellPrefix, WalksBackOverTheCellVarints) {
  EXPECT_EQ(Prefix(Bytes({0x00, 0x22, 0x05, 0x1D}), 3, 3), "34\t5\t29\t");
  EXPECT_EQ(Prefix(Bytes({0x00, 0x22, 0x81, 0x05, 0x1D}), 4, 3), "34\t133\t29\t");
  EXPECT_EQ(Prefix(Bytes({0x00, 0x22, 0x05, 0x1D}), 3, 1), "29\t");
}

TEST(ReadCellPrefix, NeverReadsBeforeTheBuffer) {
  // At position 0 a value is read; values before it are empty fields.
  EXPECT_EQ(Prefix(Bytes({0x1D, 0x00}), 0, 3), "\t\t29\t");
  EXPECT_EQ(Prefix(Bytes({0x05, 0x1D}), 1, 3), "\t5\t29\t");
  EXPECT_EQ(Prefix(Bytes({0x05, 0x1D}), 0, 1), "5\t");
  // A run of continuation bytes back to the start: the value at 0 spans them.
  EXPECT_EQ(Prefix(Bytes({0x81, 0x82, 0x03}), 2, 3), "\t\t16643\t");
}

}  // namespace
}  // namespace quarrow

namespace quarrow {
namespace {

// Column lists of every kind, including one wider than a 64-byte class run.
std::vector<std::vector<std::string>> MatcherLists() {
  std::vector<std::vector<std::string>> lists = {
      {"a INTEGER", "b TEXT", "c INTEGER"},
      {"a INTEGER", "b BLOB", "", "d TEXT", "e INTEGER"},
      {"x TEXT"},
      {"a ANY", "b TEXT", "c ANY", "d BLOB"},
      {}};
  std::vector<std::string> wide;
  const char* kinds[] = {"INTEGER", "TEXT", "BLOB", "ANY", ""};
  for (int k = 0; k < 70; ++k) wide.push_back("c" + std::to_string(k) + " " + kinds[k % 5]);
  lists.push_back(wide);
  return lists;
}

TEST(HeaderMatcher, AgreesWithMatchHeaderEverywhere) {
  std::mt19937 random(5);
  std::string bytes(4000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint32_t r = random() % 10;
    // Long runs of zeros and of small bytes too, as database pages hold them.
    if (i % 1000 < 200) r = i % 1000 < 100 ? 0 : 5;
    bytes[i] = static_cast<char>(r < 4 ? 0 : r < 8 ? random() % 40 : random() % 256);
  }
  testing::WholeView whole(bytes);
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  for (const auto& lines : MatcherLists()) {
    for (int threshold : {kLoose, kStrict}) {
      ColumnList expected = LoadColumns(lines);
      ColumnList actual = expected, judged = expected;
      HeaderMatcher matcher(actual, threshold);
      int64_t lead_refused = 0;
      for (int64_t p = 0; p <= static_cast<int64_t>(bytes.size()); ++p) {
        int64_t want = p, got = p, judged_end = p;
        bool fits = MatchHeader(whole.view, expected, threshold, want);
        ASSERT_EQ(matcher.Match(whole.view, actual, got), fits) << p;
        ASSERT_EQ(got, want) << p;
        // The classes of the bytes at p, as the sweep gives them, lead to the
        // same answer.
        bool judged_fits = fits;
        if (p + 64 <= static_cast<int64_t>(bytes.size())) {
          const ClassVerdict verdict = matcher.Judge(ClassifyBlock(data + p));
          judged_fits = matcher.Match(whole.view, judged, judged_end, verdict);
          ASSERT_EQ(judged_fits, fits) << p << " of " << lines.size();
          ASSERT_EQ(judged_end, want) << p;
        }
        // The block test of the candidate in front of p (its serial types
        // start at p) never refuses a header that fits, and does refuse some.
        if (p >= 1 && p + 127 <= static_cast<int64_t>(bytes.size())) {
          const ByteClasses here = ClassifyBlock(data + p - 1), next = ClassifyBlock(data + p + 63);
          const uint64_t kept = matcher.LeadFits<0>(here, next);
          if (fits) ASSERT_TRUE(kept & 1) << p << " of " << lines.size();
          lead_refused += (kept & 1) == 0;
          if (data[p] == 0 && fits) ASSERT_TRUE(matcher.LeadFits<1>(here, next) & 1) << p;
        }
        if (!fits) continue;
        for (size_t k = 0; k < lines.size(); ++k) {
          ASSERT_EQ(actual[k].seg, expected[k].seg) << p;
          ASSERT_EQ(actual[k].serial, expected[k].serial) << p;
          if (p + 64 > static_cast<int64_t>(bytes.size())) continue;
          ASSERT_EQ(judged[k].seg, expected[k].seg) << p;
          ASSERT_EQ(judged[k].serial, expected[k].serial) << p;
        }
      }
      // A list whose first column (the lane the block test reads for
      // LeadFits<0>) takes anything leaves nothing to refuse.
      const bool typed = !expected.empty() && expected[0].tp != kAny;
      if (typed) EXPECT_GT(lead_refused, 0) << lines.size();
    }
  }
}

TEST(ByteClasses, ShiftedRunsAreTheRunsThere) {
  std::mt19937 random(8);
  std::string bytes(256, '\0');
  for (char& c : bytes) c = static_cast<char>(random() % 3 == 0 ? 0 : random() % 256);
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const ByteClasses low = ClassifyBlock(data), next = ClassifyBlock(data + 64);
  for (int shift = 1; shift < 64; ++shift) {
    const ByteClasses want = ClassifyBlock(data + shift);
    const ByteClasses got = ShiftClasses(low, next, shift);
    ASSERT_EQ(got.integer, want.integer) << shift;
    ASSERT_EQ(got.text, want.text) << shift;
    ASSERT_EQ(got.blob, want.blob) << shift;
    ASSERT_EQ(got.high, want.high) << shift;
  }
  // Each byte in exactly one class, or none for NULL, as the record format says.
  for (int i = 0; i < 64; ++i) {
    const uint8_t byte = data[i];
    const uint64_t bit = uint64_t{1} << i;
    const int classes = ((low.integer & bit) != 0) + ((low.text & bit) != 0) +
                        ((low.blob & bit) != 0) + ((low.high & bit) != 0);
    ASSERT_EQ(classes, byte == 0 ? 0 : 1) << i;
    if (byte >= 0x80) {
      EXPECT_NE(low.high & bit, 0u);
    } else if (byte != 0) {
      const int kind = SerialTypeKind(byte).kind;
      EXPECT_NE((kind == kInteger ? low.integer : kind == kText ? low.text : low.blob) & bit, 0u)
          << int(byte);
    }
  }
}

}  // namespace
}  // namespace quarrow
