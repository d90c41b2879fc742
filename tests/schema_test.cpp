// Table definitions from the input: CREATE TABLE parsing, the DDL lines made
// from it, and reading definitions and labels from real SQLite files, whole,
// carved out of other bytes, or beside a WAL file.
#include "schema/table_definitions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/columns.h"
#include "schema/create_table.h"
#include "sqlite_fixture.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::SqliteDbOptions;
using fixtures::TempDir;
using fixtures::WriteFile;

std::vector<std::string> Names(const TableDefinition& table) {
  std::vector<std::string> names;
  for (const ColumnDefinition& column : table.columns) names.push_back(column.name);
  return names;
}

std::vector<int32_t> Kinds(const TableDefinition& table) {
  std::vector<int32_t> kinds;
  for (const ColumnDefinition& column : table.columns) kinds.push_back(column.kind);
  return kinds;
}

std::set<std::string> Listing(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// The newest phones' person table, as its schema text reads.
const std::string kPerson38 =
    "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last TEXT, "
    "Middle TEXT, FirstPhonetic TEXT, MiddlePhonetic TEXT, LastPhonetic TEXT, Organization "
    "TEXT, Department TEXT, Note TEXT, Kind INTEGER, Birthday TEXT, JobTitle TEXT, Nickname "
    "TEXT, Prefix TEXT, Suffix TEXT, FirstSort TEXT, LastSort TEXT, CreationDate INTEGER, "
    "ModificationDate INTEGER, CompositeNameFallback TEXT, ExternalIdentifier TEXT, "
    "ExternalModificationTag TEXT, ExternalUUID TEXT, StoreID INTEGER, DisplayName TEXT, "
    "ExternalRepresentation BLOB, FirstSortSection TEXT, LastSortSection TEXT, "
    "FirstSortLanguageIndex INTEGER DEFAULT 2147483647, LastSortLanguageIndex INTEGER "
    "DEFAULT 2147483647, PersonLink INTEGER DEFAULT -1, ImageURI TEXT, IsPreferredName "
    "INTEGER DEFAULT 1, guid TEXT DEFAULT (ab_generate_guid()), PhonemeData TEXT, "
    "AlternateBirthday TEXT, MapsData TEXT, UNIQUE(guid))";

TEST(ParseCreateTable, TableConstraintsAreNotColumns) {
  auto table = ParseCreateTable(kPerson38);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->name, "ABPerson");
  ASSERT_EQ(table->columns.size(), 38u);
  EXPECT_EQ(table->columns[34].name, "guid");
  EXPECT_EQ(table->columns[37].name, "MapsData");

  auto t = ParseCreateTable(
      "CREATE TABLE t (a INT, b TEXT, CONSTRAINT pk PRIMARY KEY (a, b), UNIQUE(b), "
      "CHECK (a > 0), FOREIGN KEY (a) REFERENCES u(x) ON DELETE CASCADE)");
  ASSERT_TRUE(t);
  EXPECT_EQ(Names(*t), (std::vector<std::string>{"a", "b"}));
}

TEST(ParseCreateTable, QuotedNamesAndUntypedColumns) {
  auto table = ParseCreateTable(
      "CREATE TABLE 'ABPersonFullTextSearch_content'(docid INTEGER PRIMARY KEY, 'c0First', "
      "\"c1 Last\", [c2Middle], `c3``x`, c4 DEFAULT 'a,b')");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->name, "ABPersonFullTextSearch_content");
  EXPECT_EQ(Names(*table),
            (std::vector<std::string>{"docid", "c0First", "c1 Last", "c2Middle", "c3`x", "c4"}));
  EXPECT_EQ(Kinds(*table), (std::vector<int32_t>{kInteger, kAny, kAny, kAny, kAny, kAny}));
}

TEST(ParseCreateTable, KindsFollowTypeAffinity) {
  auto table = ParseCreateTable(
      "CREATE TEMP TABLE IF NOT EXISTS main.t (a BIGINT, b VARCHAR(20), c CLOB, d BLOB, "
      "e REAL, f DOUBLE PRECISION, g DECIMAL(10, 2), h DATETIME, i, j FLOATING POINT "
      "/* a comment, with a comma */ NOT NULL, -- another, here\n k CHARINT)");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->name, "t");
  EXPECT_EQ(Kinds(*table), (std::vector<int32_t>{kInteger, kText, kText, kBlob, kInteger,
                                                 kInteger, kAny, kAny, kAny, kInteger,
                                                 kInteger}));
  EXPECT_EQ(table->columns[1].declared_type, "VARCHAR(20)");
}

TEST(ParseCreateTable, RefusesWhatIsNoTableDefinition) {
  for (const char* sql : {"CREATE TABLE t AS SELECT 1", "CREATE VIEW v AS SELECT 1",
                          "CREATE VIRTUAL TABLE f USING fts4(a, b)", "CREATE TABLE t ()",
                          "CREATE TABLE t (a TEXT, b TEX", "CREATE TABLE t (a TEXT, 'b",
                          "CREATE TABLE t (a, , b)", "", "CREATE TABLE"}) {
    EXPECT_FALSE(ParseCreateTable(sql)) << sql;
  }
  // What follows the closing parenthesis of a carved text is other data.
  auto table = ParseCreateTable("CREATE TABLE t (a TEXT)\x01\x02 'unclosed");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->columns.size(), 1u);
}

TEST(ParseCreateTable, AColumnWithAStrayByteBeforeItsConstraintsIsNoColumn) {
  // Bytes no SQL token is, where a column's name and type go: a text carved
  // from stray or damaged bytes.
  for (const char* sql : {"CREATE TABLE t (a TEXT, b TE\x01XT, c INTEGER)",
                          "CREATE TABLE t (a TEXT + 1)", "CREATE TABLE t (a TEXT, b\x02)"}) {
    EXPECT_FALSE(ParseCreateTable(sql)) << sql;
  }
  // What SQL writes after a type still parses: sizes, constraints and the
  // expressions in them.
  auto table = ParseCreateTable(
      "CREATE TABLE t (a INTEGER DEFAULT -1, b DECIMAL(10, 2) NOT NULL, "
      "c TEXT COLLATE NOCASE CHECK (c <> '' AND length(c) < 9), d /* none */, "
      "e INT GENERATED ALWAYS AS (a + 1) STORED)");
  ASSERT_TRUE(table);
  EXPECT_EQ(Names(*table), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
}

TEST(CarveInputSchema, OnlyWholeDefinitionsAreUsedTheNextOneElse) {
  const std::string whole =
      "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT, Note TEXT)";
  // Cut where its text spilled into an overflow page: the page's number,
  // then a later cell's bytes that close a parenthesis.
  const std::string cut = whole.substr(0, 60) + std::string("\x00\x00\x00\x07", 4) + "x) y";
  // Damaged inside a constraint, where the parser reads no column.
  std::string damaged = whole;
  damaged.replace(damaged.find("PRIMARY KEY") + 8, 2, std::string("\x01\xFF", 2));
  const std::string later =
      "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT, Extra TEXT)";
  const InputSchema schema = CarveInputSchema(cut + "  " + damaged + "  " + later);
  ASSERT_TRUE(schema.Table("ABPerson"));
  EXPECT_EQ(Names(*schema.Table("ABPerson")).back(), "Extra");
  EXPECT_EQ(schema.tables.at("ABPerson"), later);
  EXPECT_TRUE(schema.unsound.empty());
  // None whole: none is used, and the caller's built-in one serves; the
  // table is known to have had a definition.
  const InputSchema none = CarveInputSchema(cut + "  " + damaged);
  EXPECT_FALSE(none.Table("ABPerson"));
  EXPECT_EQ(none.unsound, std::set<std::string>{"ABPerson"});
}

TEST(DdlLinesOf, LoadColumnsReadsBackEveryNameAndKind) {
  auto table = ParseCreateTable(
      "CREATE TABLE t (ROWID INTEGER PRIMARY KEY, BLOBSIZE INTEGER, \"my TEXT\" INT, "
      "[star*] TEXT, CONTEXT BLOB, plain)");
  ASSERT_TRUE(table);
  ColumnList columns = LoadColumns(DdlLinesOf(*table));
  ASSERT_EQ(columns.size(), 6u);
  for (size_t k = 0; k < columns.size(); ++k) {
    EXPECT_EQ(columns[k].tp, table->columns[k].kind) << k;
    EXPECT_FALSE(columns[k].off) << k;
  }
  EXPECT_EQ(columns[0].name, "ROWID");
  EXPECT_EQ(columns[5].name, "plain");
}

TEST(LoadColumns, OnlyTheWordAnyDeclaresAColumnOfAnyKind) {
  ColumnList columns =
      LoadColumns({"a ANY", "b MANY", "COMPANY", "c ANY TEXT", "d DEFAULT ANY x"});
  EXPECT_EQ(columns[0].tp, kAny);
  EXPECT_EQ(columns[1].tp, kNone);
  EXPECT_EQ(columns[2].tp, kNone);
  EXPECT_EQ(columns[3].tp, kText);
  EXPECT_EQ(columns[4].tp, kAny);
}

class InputSchemaTest : public ::testing::Test {
 protected:
  // A WAL-mode book whose label table was filled in first-use order.
  void MakeBook(const std::string& path, SqliteDbOptions options = {}) {
    SqliteDb db(path, options);
    db.Exec(kPerson38 + ";CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value))");
    for (const char* label : {"_$!<Main>!$_", "iPhone", "Telma", "_$!<Mobile>!$_"})
      db.Run("INSERT INTO ABMultiValueLabel (value) VALUES (?)", {label});
    db.Close();
  }

  TempDir dir;
  std::string path = dir.File("AddressBook.sqlitedb");
  const std::map<int64_t, std::string> labels_ = {
      {1, "_$!<Main>!$_"}, {2, "iPhone"}, {3, "Telma"}, {4, "_$!<Mobile>!$_"}};
};

TEST_F(InputSchemaTest, DatabaseIsReadWithoutCreatingAnythingBesideIt) {
  SqliteDbOptions options;
  options.wal = true;
  options.keep_wal = true;
  MakeBook(path, options);
  // The WAL holds everything; a stale journal lies beside it as well.
  WriteFile(path + "-journal", std::string(512, 'j'));
  const auto before = Listing(dir.path());
  const std::string bytes = ReadFile(path), wal = ReadFile(path + "-wal");

  InputSchema schema = ReadInputSchema(path);
  ASSERT_TRUE(schema.Table("ABPerson"));
  EXPECT_EQ(schema.Table("ABPerson")->columns.size(), 38u);
  EXPECT_EQ(schema.labels, labels_);

  EXPECT_EQ(Listing(dir.path()), before);
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(ReadFile(path + "-wal"), wal);
}

TEST_F(InputSchemaTest, CheckpointedDatabaseReadsThroughSqlite) {
  MakeBook(path);
  InputSchema schema = ReadInputSchema(path);
  EXPECT_EQ(schema.source, InputSchema::Source::kDatabase);
  EXPECT_EQ(schema.Table("ABPerson")->columns.size(), 38u);
  EXPECT_EQ(schema.labels, labels_);
  EXPECT_FALSE(schema.Table("NoSuchTable"));
}

TEST_F(InputSchemaTest, DefinitionsAndLabelsAreCarvedFromAnImage) {
  MakeBook(path);
  // The database inside a larger image, after other data: SQLite cannot open
  // it, so its schema and label records are carved.
  std::string image(12345, '\x5A');
  image += ReadFile(path);
  image += std::string(777, '\0');
  const std::string image_path = dir.File("disk.img");
  WriteFile(image_path, image);

  InputSchema schema = ReadInputSchema(image_path);
  EXPECT_EQ(schema.source, InputSchema::Source::kCarved);
  ASSERT_TRUE(schema.Table("ABPerson"));
  EXPECT_EQ(Names(*schema.Table("ABPerson")), Names(*ParseCreateTable(kPerson38)));
  EXPECT_EQ(schema.labels, labels_);
  // The same bytes in memory, and at every window seam, give the same.
  EXPECT_EQ(CarveInputSchema(image).labels, labels_);
}

TEST_F(InputSchemaTest, DamagedOrEmptyInputsFallBackQuietly) {
  MakeBook(path);
  std::string damaged = ReadFile(path);
  damaged.replace(16, 8, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF");  // page size and more
  const std::string damaged_path = dir.File("damaged.db");
  WriteFile(damaged_path, damaged);
  InputSchema carved = ReadInputSchema(damaged_path);
  EXPECT_EQ(carved.source, InputSchema::Source::kCarved);
  EXPECT_EQ(carved.Table("ABPerson")->columns.size(), 38u);

  const std::string empty_path = dir.File("empty.db");
  WriteFile(empty_path, "");
  InputSchema empty = ReadInputSchema(empty_path);
  EXPECT_EQ(empty.source, InputSchema::Source::kNone);
  EXPECT_TRUE(empty.tables.empty());
  EXPECT_EQ(Listing(dir.path()).count("empty.db-journal"), 0u);

  // Chance bytes that look like one label record are no label table.
  std::string noise("\x07\x05\x02\x1B" "abcdefg", 11);
  EXPECT_TRUE(CarveInputSchema(noise).labels.empty());
  EXPECT_THROW(ReadInputSchema(dir.File("missing.db")), Error);
}

// A database SQLite refuses (one schema text damaged): its own schema table's
// whole definitions serve, read through their overflow chains, before any
// carved copy (a text that spilled is cut in the page's bytes).
TEST_F(InputSchemaTest, ADatabaseSqliteRefusesGivesItsOwnWholeDefinitions) {
  SqliteDbOptions options;
  options.page_size = 512;  // the person table's text spills into an overflow page
  {
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
            "property INTEGER, identifier INTEGER, label INTEGER, value TEXT, guid TEXT)");
    db.Exec("CREATE INDEX ABMultiValueRecord ON ABMultiValue(record_id)");
    db.Exec(kPerson38);
  }
  std::string bytes = ReadFile(path);
  int damaged = 0;
  for (size_t at = bytes.find("ON ABMultiValue(record_id)"); at != std::string::npos;
       at = bytes.find("ON ABMultiValue(record_id)", at + 1), ++damaged)
    bytes.replace(at + 3, 3, std::string("\x00\x01\x02", 3));
  ASSERT_GT(damaged, 0);
  WriteFile(path, bytes);

  const InputSchema schema = ReadInputSchema(path);
  EXPECT_EQ(schema.source, InputSchema::Source::kCarved);
  ASSERT_TRUE(schema.Table("ABPerson"));
  EXPECT_EQ(schema.tables.at("ABPerson"), kPerson38);
  EXPECT_EQ(schema.Table("ABMultiValue")->columns.size(), 7u);
  // Carving alone finds the person table's text cut, and uses none.
  EXPECT_FALSE(CarveInputSchema(bytes).Table("ABPerson"));
}

TEST(CarveInputSchema, TextsThatNeverCloseCostBoundedWork) {
  // Without a bound each of these 250,000 hits would read 64 KiB: hours.
  std::string bytes = "CREATE TABLE kept (a TEXT, b INTEGER)";
  for (int k = 0; k < 250000; ++k) bytes += "CREATE TABLE x (a";
  InputSchema schema = CarveInputSchema(bytes);
  ASSERT_EQ(schema.tables.size(), 1u);
  EXPECT_EQ(schema.tables.begin()->first, "kept");
}

TEST_F(InputSchemaTest, WalFileAloneTakesTheDatabaseBesideIt) {
  SqliteDbOptions options;
  options.wal = true;
  options.keep_wal = true;
  MakeBook(path, options);
  InputSchema schema = ReadInputSchema(path + "-wal");
  ASSERT_TRUE(schema.Table("ABPerson"));
  EXPECT_EQ(schema.labels, labels_);
}

TEST_F(InputSchemaTest, FindTableNamesDdlWhenTheTableIsMissing) {
  MakeBook(path);
  std::vector<std::string> lines = TableDdlLines(dir.File("other.bin"), "ABMultiValueLabel",
                                                 path);  // --schema-from
  EXPECT_EQ(lines, (std::vector<std::string>{"value TEXT"}));
  try {
    TableDdlLines(path, "Nope", "");
    FAIL() << "no error";
  } catch (const Error& error) {
    EXPECT_NE(std::string(error.what()).find("--ddl"), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("\"Nope\""), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace quarrow
