#include "engine/values.h"

#include <gtest/gtest.h>

#include "byte_helpers.h"
#include "engine/header.h"

namespace quarrow {
namespace {

using testing::Bytes;
using testing::WholeView;

// Matches a header at 0 against `lines` and renders the body after it.
std::vector<std::string> Render(const std::vector<std::string>& lines,
                                const std::string& record) {
  WholeView whole(record);
  ColumnList columns = LoadColumns(lines);
  int64_t cursor = 0;
  EXPECT_TRUE(MatchHeader(whole.view, columns, kLoose, cursor));
  ExtractValues(whole.view, cursor, columns);
  std::vector<std::string> values;
  for (const TERM& column : columns) values.push_back(column.value);
  return values;
}

TEST(BigEndianToInt, ReadsUnsignedAndWraps) {
  EXPECT_EQ(BigEndianToInt(""), 0u);
  EXPECT_EQ(BigEndianToInt(Bytes({0xFF})), 255u);
  EXPECT_EQ(BigEndianToInt(Bytes({0x01, 0x02})), 258u);
  EXPECT_EQ(BigEndianToInt(Bytes({1, 0, 0, 0, 0, 0, 0, 0, 5})), 5u);
}

TEST(ExtractValues, IntegersAreSignedBySerialType) {
  // Serial types 1 to 6: 1, 2, 3, 4, 6 and 8 content bytes, two's complement.
  std::string record = Bytes({1, 2, 3, 4, 5, 6});
  record += Bytes({0xFF});
  record += Bytes({0x80, 0x00});
  record += Bytes({0x01, 0x00, 0x00});
  record += Bytes({0xFF, 0xFF, 0xFF, 0xFE});
  record += Bytes({0x00, 0x01, 0x00, 0x00, 0x00, 0x00});
  record += Bytes({0x80, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Render(std::vector<std::string>(6, "x INTEGER"), record),
            (std::vector<std::string>{"-1", "-32768", "65536", "-2", "4294967296",
                                      "-9223372036854775808"}));
}

TEST(ExtractValues, HeaderOnlyIntegersAndFloats) {
  // 8 is 0 and 9 is 1 with no content; a later field is read right after them.
  EXPECT_EQ(Render({"a INTEGER", "b INTEGER", "c INTEGER", "d INTEGER"},
                   Bytes({0, 8, 9, 1, 0x2A})),
            (std::vector<std::string>{"0", "0", "1", "42"}));
  std::string doubles = Bytes({7, 7, 7, 1});
  doubles += Bytes({0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18});  // pi
  doubles += Bytes({0x7F, 0xF8, 0, 0, 0, 0, 0, 1});                   // a NaN
  doubles += Bytes({0xFF, 0xF0, 0, 0, 0, 0, 0, 0});                   // -inf
  doubles += Bytes({0x07});
  EXPECT_EQ(Render(std::vector<std::string>(4, "x INTEGER"), doubles),
            (std::vector<std::string>{"3.14159265358979", "nan", "-inf", "7"}));
}

TEST(ExtractValues, FieldsCutByTheEndKeepTheBytesThatAreThere) {
  // A 4-byte integer with 2 bytes left reads unsigned; later fields as NULL.
  EXPECT_EQ(Render({"a INTEGER", "b TEXT", "c INTEGER", "d BLOB", "e INTEGER"},
                   Bytes({4, 19, 1, 14, 9, 0xFF, 0xFE})),
            (std::vector<std::string>{"65534", "", "0", "BLOB", "1"}));
  EXPECT_EQ(Render({"a TEXT", "b INTEGER"}, Bytes({21, 1, 'a', 'b'})),
            (std::vector<std::string>{"ab", "0"}));
}

TEST(ExtractValues, TextTurnsControlBytesIntoSpaces) {
  EXPECT_EQ(Render({"id INTEGER", "t TEXT", "b BLOB", "n"},
                   Bytes({0, 23, 14, 0, 'a', '\t', 'b', '\r', '\n', 0xC3})),
            (std::vector<std::string>{"0", "a b  ", "BLOB", ""}));
}

TEST(ExtractValues, LongTextIsCutButTheNextFieldStartsAfterItsFullSize) {
  const int64_t size = kMaxTextBytes + 100;
  ColumnList columns = LoadColumns({"t TEXT", "n INTEGER"});
  // Header: text of `size` bytes (serial 2*size+13), then a 1-byte integer.
  uint64_t serial = 2 * size + 13;
  std::string record;
  for (int shift = 14; shift >= 0; shift -= 7) {
    uint8_t group = (serial >> shift) & 0x7F;
    record.push_back(static_cast<char>(shift > 0 ? group | 0x80 : group));
  }
  record += Bytes({1});
  record += std::string(size, 'x') + Bytes({0x2A});
  WholeView whole(record);
  int64_t cursor = 0;
  ASSERT_TRUE(MatchHeader(whole.view, columns, kLoose, cursor));
  ExtractValues(whole.view, cursor, columns);
  EXPECT_EQ(columns[0].value, std::string(kMaxTextBytes, 'x'));
  EXPECT_EQ(columns[1].value, "42");
}

TEST(ExtractValues, HugeSizesNeitherOverflowNorReadOutside) {
  // A blob claiming ~2^62 bytes: the position clamps at the end.
  std::string record = Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7E,
                              1, 0x2A});
  EXPECT_EQ(Render({"b BLOB", "n INTEGER"}, record),
            (std::vector<std::string>{"BLOB", "0"}));
}

}  // namespace
}  // namespace quarrow

namespace quarrow {
namespace {

TEST(ExtractValues, UnwantedColumnsStayEmptyAndLaterFieldsKeepTheirPlace) {
  std::string record = testing::Bytes({1, 17, 1, 14, 1, 0x05, 'a', 'b', 0x06, 0xFF, 0x07});
  testing::WholeView whole(record);
  ColumnList columns = LoadColumns({"a INTEGER", "b TEXT *", "c INTEGER", "d BLOB", "e INTEGER"});
  int64_t cursor = 0;
  ASSERT_TRUE(MatchHeader(whole.view, columns, kLoose, cursor));
  ExtractValues(whole.view, cursor, columns, std::vector<uint8_t>{1, 0, 1});
  std::vector<std::string> values;
  for (const TERM& column : columns) values.push_back(column.value);
  // b is not wanted; d and e lie past the list's end.
  EXPECT_EQ(values, (std::vector<std::string>{"5", "", "6", "", ""}));
  ExtractValues(whole.view, cursor, columns);
  values.clear();
  for (const TERM& column : columns) values.push_back(column.value);
  EXPECT_EQ(values, (std::vector<std::string>{"5", "ab", "6", "BLOB", "7"}));
}

TEST(ReadIntegerValue, AgreesWithTheRenderedValueWhereItAnswers) {
  // Every serial type up to 15 under each kind, the body long enough or cut.
  const std::string body = Bytes({0xFF, 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
  for (const char* kind : {"INTEGER", "ANY", "TEXT", "BLOB"}) {
    for (uint64_t serial = 0; serial < 16; ++serial) {
      for (size_t cut : {body.size(), size_t{2}}) {
        const std::string record = body.substr(0, cut);
        WholeView whole(record);
        ColumnList columns = LoadColumns({std::string("c ") + kind});
        columns[0].serial = serial;
        columns[0].seg = SerialTypeKind(serial).size;
        std::string rendered;
        AppendColumnValue(whole.view, 0, columns[0], rendered);
        int64_t number = -99;
        if (!ReadIntegerValue(whole.view, 0, columns[0], number)) {
          // Only texts, blobs, doubles and cut fields are left to rendering.
          const bool integer = std::string(kind) == "INTEGER" || std::string(kind) == "ANY";
          EXPECT_TRUE(!integer || serial == 7 || serial > 11 ||
                      columns[0].seg > static_cast<int64_t>(cut))
              << kind << " " << serial;
          continue;
        }
        const std::string want = rendered.empty() ? "0" : rendered;
        EXPECT_EQ(std::to_string(number), want) << kind << " " << serial << " cut " << cut;
      }
    }
  }
}

TEST(WriteColumnValue, WritesWhatAppendColumnValueRendersInsideTheWindowAndOutside) {
  // Every serial type up to 17 under each kind, the body whole or cut, read
  // through a window that holds the field (the inline paths) and through one
  // that holds nothing (the buffer's reads).
  const std::string body = Bytes({0xFF, 0x80, 0x01, 0x1F, 'a', 'b', 0x00, 0x7F, 0x09});
  for (const char* kind : {"INTEGER", "ANY", "TEXT", "BLOB", "NONE"}) {
    for (uint64_t serial = 0; serial < 18; ++serial) {
      for (size_t cut : {body.size(), size_t{2}}) {
        WholeView whole(body.substr(0, cut));
        BufferView outside(whole.buffer, 1 << 20, {});
        ColumnList columns = LoadColumns({std::string("c ") + kind});
        columns[0].serial = serial;
        columns[0].seg = SerialTypeKind(serial).size;
        std::string rendered;
        AppendColumnValue(whole.view, 0, columns[0], rendered);
        for (const BufferView* view : {&whole.view, &outside}) {
          std::string written(RenderedSizeBound(columns[0]), '?');
          written.resize(static_cast<size_t>(
              WriteColumnValue(*view, 0, columns[0], written.data()) - written.data()));
          EXPECT_EQ(written, rendered) << kind << " " << serial << " cut " << cut;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quarrow
