// The carver's prefilter: every kernel this machine runs gives exactly the
// positions the one-position test gives, over random bytes, bytes dense in
// header-like values and a real database, at every start, end and memory
// alignment; and no position where the carver reads a whole cell is dropped.
#include "carve/header_prefilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "carve/freed_cell.h"
#include "fixtures/sqlite_fixture.h"
#include "schema/create_table.h"

namespace quarrow {
namespace {

using Kernel = HeaderPrefilter::Kernel;

FitTable Table(const std::string& sql) {
  std::optional<TableDefinition> definition = ParseCreateTable(sql);
  EXPECT_TRUE(definition) << sql;
  return FitTableOf(*definition);
}

std::string WideTableSql(int columns, const std::string& name = "wide") {
  std::string sql = "CREATE TABLE " + name + "(id INTEGER PRIMARY KEY";
  for (int i = 1; i < columns; ++i) sql += ", c" + std::to_string(i) + " TEXT";
  return sql + ")";
}

// Tables whose byte sets differ: a rowid alias first, a NOT NULL integer
// first, a lone blob, a wide table (two-byte header lengths) and the schema
// table's text-first shape.
std::vector<FitTable> Tables() {
  std::vector<FitTable> tables = {
      Table("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL)"),
      Table("CREATE TABLE u(uid INT NOT NULL, name TEXT, n INTEGER)"),
      Table("CREATE TABLE b(data BLOB)"),
      Table(WideTableSql(40)),
      Table(WideTableSql(70, "wider")),
      Table("CREATE TABLE m(type text, name text, tbl_name text, rootpage integer, sql text)"),
  };
  // A table that grew: records with fewer columns than it has.
  FitTable grown = Table(WideTableSql(40));
  grown.min_columns = 3;
  tables.push_back(grown);
  return tables;
}

std::vector<Kernel> Kernels() {
  std::vector<Kernel> kernels;
  for (Kernel k : {Kernel::kScalar, Kernel::kSsse3, Kernel::kAvx2})
    if (HeaderPrefilter::Supported(k)) kernels.push_back(k);
  return kernels;
}

std::vector<uint32_t> OneAtATime(const HeaderPrefilter& filter, const uint8_t* bytes,
                                 int64_t begin, int64_t end) {
  std::vector<uint32_t> out;
  for (int64_t at = begin; at < end; ++at)
    if (filter.Passes(bytes + at)) out.push_back(static_cast<uint32_t>(at));
  return out;
}

std::string RandomBytes(size_t size, uint64_t seed, bool dense) {
  // Values at the edges of the byte sets: small lengths and types, the
  // varint continuation bytes, and the high-bit bytes around them.
  static constexpr uint8_t kEdges[] = {0x00, 0x01, 0x02, 0x05, 0x07, 0x09, 0x0C, 0x0D, 0x0E,
                                       0x0F, 0x13, 0x2A, 0x7F, 0x80, 0x81, 0x82, 0x83, 0xFF};
  std::string out(size, '\0');
  uint64_t state = seed;
  for (char& c : out) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const auto r = static_cast<uint8_t>(state >> 56);
    c = static_cast<char>(dense ? kEdges[r % sizeof kEdges] : r);
  }
  return out;
}

void ExpectSame(const HeaderPrefilter& filter, const uint8_t* b, int64_t begin, int64_t end,
                const std::string& where) {
  const std::vector<uint32_t> want = OneAtATime(filter, b, begin, end);
  for (Kernel kernel : Kernels()) {
    std::vector<uint32_t> got = {12345};  // replaced, not appended to
    filter.FindWith(kernel, b, begin, end, got);
    ASSERT_EQ(got, want) << where << " kernel " << static_cast<int>(kernel) << " range "
                         << begin << "-" << end;
  }
}

// Compares every kernel with the one-position test over `bytes`: the whole
// buffer at every memory alignment, and from every start and up to every end
// within two blocks of its ends.
void ExpectKernelsAgree(const std::string& bytes) {
  ASSERT_GT(bytes.size(), 200u);
  const auto size = static_cast<int64_t>(bytes.size());
  for (const FitTable& table : Tables()) {
    const HeaderPrefilter filter(table);
    for (size_t shift = 0; shift < 32; ++shift) {
      std::string padded(shift, '\0');
      padded += bytes;
      const auto* b = reinterpret_cast<const uint8_t*>(padded.data()) + shift;
      ExpectSame(filter, b, 1, size - filter.reach(), table.name + " shift " + std::to_string(shift));
    }
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    const int64_t last = size - filter.reach();
    for (int64_t k = 0; k <= 70; ++k) {
      ExpectSame(filter, b, 1 + k, last, table.name);
      ExpectSame(filter, b, 1, last - k, table.name);
      ExpectSame(filter, b, 1 + k, 1 + 2 * k, table.name);
    }
  }
}

TEST(HeaderPrefilterTest, KernelsAgreeWithOnePositionAtATimeOnRandomAndDenseBytes) {
  ExpectKernelsAgree(RandomBytes(3000, 1, false));
  ExpectKernelsAgree(RandomBytes(3000, 2, true));
}

// A database SQLite wrote, rows deleted with secure_delete off.
std::string DatabaseBytes(const fixtures::TempDir& dir) {
  const std::string path = dir.File("prefilter.db");
  {
    fixtures::SqliteDb db(path, {.page_size = 1024});
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL)");
    db.Exec("CREATE TABLE u(uid INT NOT NULL, name TEXT, n INTEGER)");
    db.Exec(WideTableSql(40));
    db.Exec("BEGIN");
    for (int i = 0; i < 300; ++i) {
      const std::string name = "name" + std::to_string(i) + std::string(i % 70, 'y');
      db.Run("INSERT INTO t(name, n, x) VALUES (?, ?, ?)", {name, i * 977, i * 0.25});
      db.Run("INSERT INTO u VALUES (?, ?, ?)", {i, name, i % 3 ? fixtures::SqlParam(i) : nullptr});
    }
    std::string insert = "INSERT INTO wide VALUES (NULL";
    for (int c = 1; c < 40; ++c) insert += c % 2 ? ", 'a value of column " + std::to_string(c) + "'" : ", NULL";
    for (int i = 0; i < 50; ++i) db.Exec(insert + ")");
    // Headers of more than 127 bytes: two-byte lengths, and types.
    db.Exec(WideTableSql(70, "wider"));
    insert = "INSERT INTO wider VALUES (NULL";
    for (int c = 1; c < 70; ++c) insert += ", '" + std::string(60 + c % 7, 'w') + "'";
    for (int i = 0; i < 20; ++i) db.Exec(insert + ")");
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE id % 3 = 0");
    db.Exec("DELETE FROM u WHERE uid % 4 = 1");
    db.Close();
  }
  return fixtures::ReadFile(path);
}

TEST(HeaderPrefilterTest, KernelsAgreeOnADatabaseAndNeverDropAWholeCell) {
  fixtures::TempDir dir;
  const std::string bytes = DatabaseBytes(dir);
  for (size_t at = 0; at + 3000 <= bytes.size(); at += bytes.size() / 5)
    ExpectKernelsAgree(bytes.substr(at, 3000));
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  for (const FitTable& table : Tables()) {
    const HeaderPrefilter filter(table);
    const auto end = static_cast<int64_t>(bytes.size()) - filter.reach();
    std::vector<uint32_t> found;
    filter.Find(b, 1, end, found);
    PageCell cell;
    int whole = 0;
    // Also past the prefilter's reach: no whole cell may start there.
    for (int64_t at = 2; at < static_cast<int64_t>(bytes.size()); ++at) {
      if (!WholeCellAtHeader(bytes, static_cast<uint32_t>(at), table, 1024, cell)) continue;
      ++whole;
      EXPECT_TRUE(std::binary_search(found.begin(), found.end(), static_cast<uint32_t>(at)))
          << table.name << " drops the whole cell whose header is at " << at;
    }
    if (table.name == "t" || table.name == "u" || table.name == "wide")
      EXPECT_GE(whole, 50) << table.name;
    if (table.name == "wider") EXPECT_GE(whole, 20) << table.name;
  }
}

// A record header longer than 383 bytes starts with a two-byte length whose
// first byte is past 0x82: 200 texts of 58 bytes and more take two bytes each.
TEST(HeaderPrefilterTest, PassesHeaderLengthsOfEveryTwoByteSize) {
  const FitTable table = Table(WideTableSql(200));
  const HeaderPrefilter filter(table);
  // Rowid 5, header length 403 (0x83 0x13), first type NULL, second a text.
  const uint8_t cell[] = {0x05, 0x83, 0x13, 0x00, 0x81, 0x0F, 0x0F, 0x0F, 0x0F};
  EXPECT_TRUE(filter.Passes(cell + 1));
  std::vector<uint32_t> found;
  filter.Find(cell, 1, 2, found);
  EXPECT_EQ(found, std::vector<uint32_t>{1});
  // The first type is the byte after the two-byte length: not NULL, no header.
  const uint8_t not_null[] = {0x05, 0x83, 0x13, 0x01, 0x81, 0x0F, 0x0F, 0x0F};
  EXPECT_FALSE(filter.Passes(not_null + 1));
  // A one-byte length below the least a 200-column record takes never passes.
  const uint8_t short_header[] = {0x05, 0x10, 0x00, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F};
  EXPECT_FALSE(filter.Passes(short_header + 1));
}

// The types after the first two are tested too, while each takes one byte,
// and only as many as every record has.
TEST(HeaderPrefilterTest, TestsLaterTypesWhileTheyTakeOneByte) {
  FitTable table = Table("CREATE TABLE r(a TEXT, b TEXT, n INTEGER NOT NULL, c TEXT)");
  const HeaderPrefilter filter(table);
  EXPECT_EQ(filter.reach(), 4);
  // Header of 5 bytes: two texts, then the integer column.
  const uint8_t integer[] = {0x07, 0x05, 0x0F, 0x0F, 0x01, 0x0F, 0, 0};
  const uint8_t text[] = {0x07, 0x05, 0x0F, 0x0F, 0x0F, 0x0F, 0, 0};
  const uint8_t null[] = {0x07, 0x05, 0x0F, 0x0F, 0x00, 0x0F, 0, 0};
  EXPECT_TRUE(filter.Passes(integer + 1));
  EXPECT_FALSE(filter.Passes(text + 1));
  EXPECT_FALSE(filter.Passes(null + 1));
  // A two-byte text type before it: the byte read there is not a type.
  const uint8_t long_text[] = {0x07, 0x06, 0x0F, 0x81, 0x0F, 0x0F, 0x0F, 0};
  EXPECT_TRUE(filter.Passes(long_text + 1));
  // A table that grew after its first rows: records of two types pass on them.
  table.min_columns = 2;
  const HeaderPrefilter grown(table);
  EXPECT_EQ(grown.reach(), 2);
  EXPECT_TRUE(grown.Passes(text + 1));
  for (Kernel kernel : Kernels()) {
    std::vector<uint32_t> found;
    filter.FindWith(kernel, text, 1, 2, found);
    EXPECT_TRUE(found.empty());
    filter.FindWith(kernel, integer, 1, 2, found);
    EXPECT_EQ(found, std::vector<uint32_t>{1});
  }
}

}  // namespace
}  // namespace quarrow
