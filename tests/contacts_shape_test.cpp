// Records of a table that grew since they were written, read by their own
// header: SQLite's ALTER TABLE ADD COLUMN leaves the older rows with fewer
// columns, live and deleted, in whole cells and in freed ones whose payload
// length, rowid and header length a freeblock header overwrote.
#include "contacts/record_shape.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "contacts/contacts_scan.h"
#include "engine/header.h"
#include "engine/values.h"
#include "pagemap/sqlite_format.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::SqliteDb;
using fixtures::TempDir;

// Row i's values: records of more than 127 bytes, so that a freed cell's
// freeblock header covers a 2-byte payload length and the rowid (and, below
// rowid 128, the header length too).
std::string NameOf(int i) { return "name-" + std::to_string(1000 + i); }
std::string NoteOf(int i) { return std::string(120 + i % 7, static_cast<char>('a' + i % 26)); }
std::string ExtraOf(int i, char column) { return std::string(1, column) + std::to_string(i); }

// The record a header match at `position` of `bytes` shapes into, as "the
// first three values joined by |", or why there is none; `shaped_record`
// receives the shaping.
std::string ShapeAt(const RecordShaper& shaper, const std::string& bytes, int64_t position,
                    ShapedRecord& shaped_record) {
  const Buffer buffer = Buffer::FromBytes(bytes);
  const BufferView view(buffer, 0, bytes);
  ColumnList found = shaper.scan_columns();
  int64_t cursor = position + 1;
  if (!MatchHeader(view, found, kLoose, cursor)) return "no match";
  const std::string prefix = ReadCellPrefix(view, position, 3);
  const Match match{position, prefix, &view, cursor, nullptr};
  ColumnList shaped;
  if (!shaper.Shape(match, found, shaped, shaped_record)) return "no record";
  ExtractValues(view, shaped_record.body_start, shaped);
  return shaped[1].value + "|" + shaped[2].value + "|" + shaped[3].value;
}

// Each row's readings, "a|b|c|d|e", by its name.
std::map<std::string, std::set<std::string>> Readings(const std::string& path,
                                                      const RecordShaper& shaper) {
  const Buffer buffer = LoadBuffer(path, [] { return BufferShape{}; });
  ScanParams params = ContactsScanParams(0, nullptr);
  params.render_nothing = true;
  params.threads = 2;
  params.page_size = 4096;  // matches near page seams read their bytes around
  std::map<std::string, std::set<std::string>> readings;
  ScanFormatted(
      buffer, shaper.scan_columns(), params,
      [&shaper, shaped = ColumnList()](const Match& match, const ColumnList& found,
                                       std::string& out) mutable {
        ShapedRecord record;
        if (!shaper.Shape(match, found, shaped, record)) return false;
        ExtractValues(*match.view, record.body_start, shaped);
        if (shaped[1].value.rfind("name-", 0) != 0) return false;
        for (size_t k = 1; k < shaped.size(); ++k) out += shaped[k].value + (k + 1 < shaped.size() ? "|" : "");
        return true;
      },
      [&](int64_t, std::string_view reading) {
        readings[std::string(reading.substr(0, reading.find('|')))].insert(std::string(reading));
      });
  return readings;
}

TEST(RecordShape, RowsWrittenBeforeColumnsWereAddedReadAsTheirHeaderSays) {
  TempDir dir;
  const std::string path = dir.File("grown.db");
  std::map<std::string, std::string> truth;  // by name: "a|b|c|d|e"
  std::set<std::string> deleted;
  {
    SqliteDb db(path);
    db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT, c INTEGER)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 300; ++i) {
      db.Run("INSERT INTO t VALUES (?, ?, ?, ?)", {i, NameOf(i), NoteOf(i), i * 1000});
      truth[NameOf(i)] = NameOf(i) + "|" + NoteOf(i) + "|" + std::to_string(i * 1000) + "||";
    }
    db.Exec("COMMIT");
    db.Exec("ALTER TABLE t ADD COLUMN d TEXT; ALTER TABLE t ADD COLUMN e TEXT");
    db.Exec("BEGIN");
    for (int i = 301; i <= 400; ++i) {
      db.Run("INSERT INTO t VALUES (?, ?, ?, ?, ?, ?)",
             {i, NameOf(i), NoteOf(i), i * 1000, ExtraOf(i, 'd'), ExtraOf(i, 'e')});
      truth[NameOf(i)] = NameOf(i) + "|" + NoteOf(i) + "|" + std::to_string(i * 1000) + "|" +
                         ExtraOf(i, 'd') + "|" + ExtraOf(i, 'e');
    }
    db.Exec("COMMIT");
    // One row in three, neighbours among them (their freeblocks merge), each
    // in a transaction of its own.
    for (int i = 2; i <= 400; i += 3) {
      if (i % 9 == 8) continue;
      db.Run("DELETE FROM t WHERE id = ?", {i});
      deleted.insert(NameOf(i));
    }
    db.Run("DELETE FROM t WHERE id = ?", {3});  // next to row 2: one freeblock
    deleted.insert(NameOf(3));
  }
  const ColumnList definition =
      LoadColumns({"id INTEGER", "a TEXT", "b TEXT", "c INTEGER", "d TEXT", "e TEXT"});
  const RecordShaper shaper(definition, 4, kLoose);
  ASSERT_TRUE(shaper.shapes());
  const auto readings = Readings(path, shaper);

  // The added columns' part of a reading: "|d|e".
  auto added = [](const std::string& reading) {
    size_t at = reading.size();
    for (int bars = 0; bars < 2; ++bars) at = reading.rfind('|', at - 1);
    return reading.substr(at);
  };
  int deleted_read = 0;
  for (const auto& [name, values] : truth) {
    auto found = readings.find(name);
    if (found == readings.end()) {
      EXPECT_TRUE(deleted.count(name)) << name << " is live and was not read";
      continue;
    }
    // Read right; other readings are older images whose tails later writes
    // overwrote (a root page split over the first rows), never an older row
    // given values in the added columns, or a newer one without them.
    EXPECT_EQ(found->second.count(values), 1u) << name;
    deleted_read += deleted.count(name) != 0 && found->second.count(values) != 0;
    for (const std::string& reading : found->second)
      EXPECT_EQ(added(reading), added(values)) << reading;
  }
  // Freed cells with their header length whole (rowids from 128 on) and lost
  // (below 128) both come back.
  EXPECT_GT(deleted_read, static_cast<int>(deleted.size()) * 9 / 10);
  EXPECT_TRUE(readings.count(NameOf(5)) && readings.count(NameOf(200)));
}

std::string Varint(uint64_t value) {
  uint8_t bytes[9];
  const int length = sqlite_format::PutVarint(value, bytes);
  return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

// A record of `size` bytes holding one text, and its cell.
std::string TextRecord(size_t size) {
  for (size_t header = 2;; ++header) {
    const size_t text = size - header;
    const std::string types = Varint(2 * text + 13);
    if (types.size() + 1 == header) return Varint(header) + types + std::string(text, 't');
  }
}
std::string Cell(uint64_t rowid, const std::string& record) {
  return Varint(record.size()) + Varint(rowid) + record;
}

// The quick test in front of the rowid never answers otherwise than reading
// the whole cell does: at every position of whole cells (payload lengths of
// one to three bytes, behind bytes whose high bit is set; sizes 257 and
// 16386 end in a byte below the header's size, 0x82 0x01 and 0x81 0x80 0x02),
// freed ones and stray bytes.
TEST(RecordShape, CellRowidAgreesWithTheCellRead) {
  std::mt19937 random(5);
  std::string bytes;
  int planted = 0;
  std::vector<std::pair<size_t, size_t>> headers;  // each whole cell's header, its record's size
  for (size_t size : {8u, 120u, 257u, 300u, 5000u, 16386u, 20000u}) {
    for (uint64_t rowid : {7u, 300u, 1999u}) {
      const std::string cell = Cell(rowid, TextRecord(size));
      bytes += std::string(1, static_cast<char>(0x80 | (random() & 0x7F)));
      headers.emplace_back(bytes.size() + Varint(size).size() + Varint(rowid).size(), size);
      bytes += cell;
      ++planted;
      // The same cell freed: a freeblock header over its first four bytes.
      bytes += std::string("\x00\x00", 2) + Varint(cell.size()).substr(0, 2) + cell.substr(4);
    }
  }
  for (int k = 0; k < 4000; ++k) {
    const uint32_t r = random() % 100;
    bytes += static_cast<char>(r < 30 ? 0 : r < 70 ? random() % 24 : random() % 256);
  }
  const Buffer buffer = Buffer::FromBytes(bytes);
  const BufferView view(buffer, 0, bytes);
  int proven = 0;
  for (int64_t position = 0; position < static_cast<int64_t>(bytes.size()); ++position) {
    const std::optional<int64_t> expected = ReadCellRecord(view, position).rowid;
    ASSERT_EQ(CellRowid(view, position), expected) << "at " << position;
    proven += expected.has_value();
  }
  EXPECT_GE(proven, planted);
  // The whole cells read as what they are.
  for (const auto& [header, size] : headers) {
    const CellRecord cell = ReadCellRecord(view, static_cast<int64_t>(header));
    EXPECT_EQ(cell.record_size, size) << "at " << header;
    EXPECT_EQ(cell.columns, 1u) << "at " << header;
  }
  // A header whose types claim more than a record can hold (a text of 2 GiB,
  // a 9-byte type) is none.
  for (const std::string& types : {Varint(2 * (uint64_t{1} << 31) + 13) + "\x01",
                                   std::string("\x01") + std::string(8, '\xff') + "\x01"}) {
    const std::string stray = "\x05\x07" + Varint(types.size() + 1) + types + std::string(16, 'x');
    const Buffer stray_buffer = Buffer::FromBytes(stray);
    const CellRecord cell = ReadCellRecord(BufferView(stray_buffer, 0, stray), 2);
    EXPECT_EQ(cell.header_size, 0u);
    EXPECT_FALSE(cell.rowid.has_value());
  }
}

// A record of the serial types `types` (varints as given, canonical or not)
// and a body of their sizes.
std::string RecordOf(const std::string& types, size_t body) {
  return Varint(types.size() + 1) + types + std::string(body, 'b');
}

// The rowid of a match read from its serial types as matched equals the cell
// read again: whole cells of the list's columns, of one more (a header longer
// than the match), with a serial type written in two bytes, with a header
// length that ends inside the match's types, freed, and stray bytes, scanned
// in small pages by two workers.
TEST(RecordShape, MatchedCellRowidAgreesWithTheCellRead) {
  std::mt19937 random(9);
  std::string bytes;
  int planted = 0;
  // NULL, a 1-byte integer, a 3-byte text, a 60-byte text (two-byte type).
  const std::string types = std::string("\x00\x01\x13", 3) + Varint(2 * 60 + 13);
  const std::vector<std::pair<std::string, size_t>> records = {
      {types, 1 + 3 + 60},
      {types + "\x01", 1 + 3 + 60 + 1},                        // a column more
      {std::string("\x00\x81\x01\x13", 4) + Varint(133), 1 + 3 + 60},  // 0x81 0x01: 129
      {std::string("\x00\x80\x01\x13", 4) + Varint(133), 1 + 3 + 60},  // 0x80 0x01: 1
  };
  for (int round = 0; round < 40; ++round) {
    for (const auto& [record_types, body] : records) {
      const std::string cell = Cell(1 + random() % 1999, RecordOf(record_types, body));
      bytes += std::string(1, static_cast<char>(random() % 256)) + cell;
      ++planted;
      bytes += std::string("\x00\x00", 2) + Varint(cell.size()).substr(0, 2) + cell.substr(4);
    }
    // A header length one short of the types (0x80 0x01 counted as one
    // byte), behind the payload length those sizes would give.
    bytes += Varint(70) + Varint(1 + random() % 1999) + "\x06" +
             std::string("\x00\x80\x01\x13", 4) + Varint(133) + std::string(64, 'b');
    for (int k = 0; k < 200; ++k) {
      const uint32_t r = random() % 100;
      bytes += static_cast<char>(r < 30 ? 0 : r < 70 ? random() % 24 : random() % 256);
    }
  }
  const Buffer buffer = Buffer::FromBytes(bytes);
  ScanParams params = ContactsScanParams(3, nullptr);
  params.render_nothing = true;
  params.threads = 2;
  params.page_size = 1000;
  std::atomic<int> proven{0}, differing{0};
  ScanForContacts(
      buffer, LoadColumns({"id INTEGER", "a INTEGER", "b TEXT", "c TEXT"}), params,
      [&](const Match& match, const ColumnList& found, std::string&) {
        const std::optional<int64_t> expected = ReadCellRecord(*match.view, match.position).rowid;
        if (MatchedCellRowid(match, SizesOf(found)) != expected) ++differing;
        proven += expected.has_value();
        return false;
      },
      [](std::string_view) {});
  EXPECT_EQ(differing, 0);
  EXPECT_GE(proven, planted / 2);
}

// A freed cell whose freeblock took in a cell freed after it, left whole,
// is held only weakly: read by its header length once the strong rules and
// the whole definition have failed.
TEST(RecordShape, AFreeblockThatTookInALaterCellHoldsWeakly) {
  const ColumnList definition = LoadColumns({"id INTEGER", "a INTEGER", "b TEXT", "c TEXT"});
  const RecordShaper shaper(definition, 2, kLoose);
  // Three columns: NULL, the integer 5, the text "x". Read with four serial
  // types, the body's first byte (5: a 6-byte integer) is no text.
  const std::string record = std::string("\x04\x00\x01\x0f", 4) + "\x05" + "x";
  auto shape = [&](const std::string& after) {
    // The freeblock's size: this cell (4 + 6 bytes) and the one after it.
    const std::string freeblock = std::string("\x00\x00\x00", 3) +
                                  static_cast<char>(10 + after.size());
    ShapedRecord shaped_record;
    return ShapeAt(shaper, freeblock + record + after + std::string(16, '\0'),
                   static_cast<int64_t>(freeblock.size()), shaped_record);
  };
  // A whole cell after it (payload length 6, rowid 8, the same record).
  EXPECT_EQ(shape(std::string("\x06\x08", 2) + record), "5|x|");
  // The same bytes but for a payload length that is not the record's size:
  // nothing holds the freeblock's size, and nothing reads the match.
  EXPECT_EQ(shape(std::string("\x07\x08", 2) + record), "no record");
}

// A header length that chance bytes fit is not believed without a cell
// around it: a whole one, or a freeblock that holds it.
TEST(RecordShape, AHeaderLengthAloneProvesNothing) {
  const ColumnList definition = LoadColumns({"id INTEGER", "a INTEGER", "b TEXT", "c TEXT"});
  const RecordShaper shaper(definition, 2, kLoose);
  // A record of three columns: header length 4, NULL, a 1-byte integer, a
  // 1-byte text; its body 17, "x". Read with four serial types, its body's
  // first byte is the fourth (a 2-byte text) and the values shift.
  const std::string record = std::string("\x04\x00\x01\x0f\x11", 5) + "xyz!";
  auto shape = [&](const std::string& before, ShapedRecord& shaped_record) {
    return ShapeAt(shaper, before + record + std::string(16, '\0'),
                   static_cast<int64_t>(before.size()), shaped_record);
  };
  ShapedRecord shaped_record;
  // A whole cell: payload length 6 (4 bytes of header, 2 of body), rowid 7.
  EXPECT_EQ(shape(std::string("\x06\x07", 2), shaped_record), "17|x|");
  EXPECT_EQ(shaped_record.sizes.record_size, 6u);
  // A freed cell: a freeblock header of size 4 + 6 over the payload length
  // and a 2-byte rowid.
  EXPECT_EQ(shape(std::string("\x00\x00\x00\x0a", 4), shaped_record), "17|x|");
  // Behind a payload length that is not the record's size, and no freeblock
  // that holds it, the whole definition reads the bytes.
  EXPECT_EQ(shape(std::string("\x05\x07", 2), shaped_record), "120|y|z!");
}

}  // namespace
}  // namespace quarrow
