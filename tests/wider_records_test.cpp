// Records of tables that grew columns: the body starts where the record's own
// header ends when its payload length agrees, for every command; and columns
// of no declared type take whatever the record stores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "byte_helpers.h"
#include "engine/header.h"
#include "engine/values.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using testing::Bytes;
using testing::WholeView;

// Matches `columns` at the header-length byte `position` and returns where the
// body is read from.
int64_t BodyAt(const std::string& bytes, int64_t position, ColumnList& columns) {
  WholeView whole(bytes);
  int64_t cursor = position + 1;
  EXPECT_TRUE(MatchHeader(whole.view, columns, kLoose, cursor));
  return RecordBodyStart(whole.view, position, cursor, columns);
}

TEST(RecordBodyStart, SkipsExtraColumnsOnlyWhenThePayloadLengthAgrees) {
  // payload 10, rowid 5, header 6: NULL, text(1), int(1), text(1), text(1); body.
  const std::string record = Bytes({0x0A, 0x05, 0x06, 0x00, 0x0F, 0x01, 0x0F, 0x0F,
                                    'a', 0x07, 'b', 'c'});
  ColumnList two = LoadColumns({"id INTEGER", "a TEXT"});
  EXPECT_EQ(BodyAt(record, 2, two), 8);  // after the header, not after two types

  std::string wrong_payload = record;
  wrong_payload[0] = 0x0B;  // as SQLite leaves a freed cell: the plain reading
  EXPECT_EQ(BodyAt(wrong_payload, 2, two), 5);
  ColumnList all = LoadColumns({"id INTEGER", "a TEXT", "b INTEGER", "c TEXT", "d TEXT"});
  EXPECT_EQ(BodyAt(record, 2, all), 8);
  // No payload length in front: the header-length byte is the first but one.
  EXPECT_EQ(BodyAt(record.substr(1), 1, two), 4);
  // The extra bytes must be whole serial types ending where the header does.
  std::string torn = record;
  torn[2] = 0x05;
  EXPECT_EQ(BodyAt(torn, 2, two), 5);
}

TEST(RecordBodyStart, TwoThousandExtraColumnsAtMost) {
  // A two-byte header length: the walk back finds where its varint starts.
  auto record = [](int extra) {
    const int header = 2 + 1 + extra;
    std::string bytes = Bytes({0x80 | (header + 1) >> 7, (header + 1) & 0x7F, 0x01});
    bytes += Bytes({0x80 | header >> 7, header & 0x7F, 0x0F});
    bytes += std::string(static_cast<size_t>(extra), '\x00');
    bytes += "z";
    return bytes;
  };
  ColumnList one = LoadColumns({"a TEXT"});
  std::string fits = record(2000), too_many = record(2001);
  EXPECT_EQ(BodyAt(fits, 4, one), static_cast<int64_t>(fits.size()) - 1);
  EXPECT_EQ(BodyAt(too_many, 4, one), 6);
}

TEST(AnyKind, FitsEverySerialTypeAndRendersByIt) {
  // Header: 5 types: NULL, int 1 byte, text 2, blob 1, float.
  std::string bytes = Bytes({0x06, 0x00, 0x01, 0x11, 0x0E, 0x07, 0xFE, 'h', 'i', 0x33});
  bytes += Bytes({0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18});
  ColumnList columns = LoadColumns({"a ANY", "b ANY", "c ANY", "d ANY", "e ANY"});
  WholeView whole(bytes);
  int64_t cursor = 1;
  ASSERT_TRUE(MatchHeader(whole.view, columns, kStrict, cursor));
  ExtractValues(whole.view, cursor, columns);
  EXPECT_EQ(columns[0].value, "");
  EXPECT_EQ(columns[1].value, "-2");
  EXPECT_EQ(columns[2].value, "hi");
  EXPECT_EQ(columns[3].value, "BLOB");
  EXPECT_EQ(columns[4].value, "3.14159265358979");
  // The fast matcher agrees.
  HeaderMatcher matcher(columns, kStrict);
  int64_t fast = 1;
  EXPECT_TRUE(matcher.Match(whole.view, columns, fast));
  EXPECT_EQ(fast, cursor);
}

TEST(WiderRecords, RealTableCarvedWithItsFirstColumnsReadsTheRightValues) {
  fixtures::TempDir dir;
  const std::string path = dir.File("grown.db");
  {
    fixtures::SqliteDb db(path);
    db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, n INTEGER, note TEXT, "
            "extra1 TEXT, extra2 BLOB)");
    db.Run("INSERT INTO t VALUES (NULL, 'Alice', 42, 'first', 'xx', x'0102')");
    db.Run("INSERT INTO t VALUES (NULL, 'Bob', 7, 'second', NULL, x'03')");
  }
  const std::string bytes = fixtures::ReadFile(path);
  ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "n INTEGER", "note TEXT"});
  std::vector<std::string> found;
  ScanRecords(Buffer::FromBytes(bytes), columns,
              ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr),
              [&](const Match&, const ColumnList& record) {
                found.push_back(record[1].value + "|" + record[2].value + "|" +
                                record[3].value);
              });
  EXPECT_EQ(found, (std::vector<std::string>{"Bob|7|second", "Alice|42|first"}));
}

}  // namespace
}  // namespace quarrow
