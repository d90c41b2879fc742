// Contacts recovery on the address-book layouts phones write: person tables of
// 36 and 38 columns, a 7-column multi-value table, a label table in first-use
// order, WAL files; and the fallbacks when the input's definitions are unusable.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "contacts/contacts_recovery.h"
#include "contacts/contacts_report.h"
#include "text_rule/error.h"
#include "text_rule/text_rule.h"
#include "contacts/contacts_schema.h"
#include "contacts/multi_value_pass.h"
#include "contacts/person_pass.h"
#include "sample_book.h"
#include "contacts_report_rows.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::SqliteDbOptions;
using fixtures::TempDir;
using testing::NoView;
using testing::ReportRows;
using fixtures::WriteFile;

constexpr int kFirst = 4, kLast = 5, kMobile = 32, kHome = 34, kUnknown = 38;
constexpr int kEmailHome = 41;

struct Recovery {
  std::string report;
  std::vector<std::string> editor_lines;
};

Recovery Recover(const std::string& input, const std::string& output, RunOptions options = {}) {
  std::vector<std::string> lines = testing::RecoverContactsInto(input, output, options);
  return {ReadFile(output), std::move(lines)};
}

// Rows whose First and Last cells are these.
std::vector<std::vector<std::string>> RowsNamed(const std::string& report,
                                                const std::string& first,
                                                const std::string& last) {
  std::vector<std::vector<std::string>> found;
  for (const auto& row : ReportRows(report))
    if (row.size() > kLast && row[kFirst] == first && row[kLast] == last) found.push_back(row);
  return found;
}

std::string PersonTable(int layout) {
  std::string sql =
      "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, Last "
      "TEXT, Middle TEXT, FirstPhonetic TEXT, MiddlePhonetic TEXT, LastPhonetic TEXT, "
      "Organization TEXT, Department TEXT, Note TEXT, Kind INTEGER, Birthday TEXT, JobTitle "
      "TEXT, Nickname TEXT, Prefix TEXT, Suffix TEXT, FirstSort TEXT, LastSort TEXT, "
      "CreationDate INTEGER, ModificationDate INTEGER, CompositeNameFallback TEXT, "
      "ExternalIdentifier TEXT, ExternalModificationTag TEXT, ExternalUUID TEXT, StoreID "
      "INTEGER, DisplayName TEXT, ExternalRepresentation BLOB, FirstSortSection TEXT, "
      "LastSortSection TEXT, FirstSortLanguageIndex INTEGER DEFAULT 2147483647, "
      "LastSortLanguageIndex INTEGER DEFAULT 2147483647, PersonLink INTEGER DEFAULT -1, "
      "ImageURI TEXT, IsPreferredName INTEGER DEFAULT 1";
  if (layout >= 36) sql += ", guid TEXT DEFAULT (lower(hex(randomblob(16)))), PhonemeData TEXT";
  if (layout >= 38) sql += ", AlternateBirthday TEXT, MapsData TEXT";
  return sql + (layout >= 36 ? ", UNIQUE(guid))" : ")");
}

// A book of the given layout. Labels are numbered in first-use order, as on a
// phone: 1 "Main", 2 "Telma", 3 Mobile, 4 Home. Jörg (rowid 2) is deleted.
void MakeBook(const std::string& path, int layout, SqliteDbOptions options = {}) {
  SqliteDb db(path, options);
  db.Exec(PersonTable(layout));
  db.Exec(std::string("CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
                      "property INTEGER, identifier INTEGER, label INTEGER, value TEXT") +
          (layout >= 36 ? ", guid TEXT, UNIQUE(guid))" : ")"));
  db.Exec("CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value))");
  for (const char* label : {"_$!<Main>!$_", "Telma", "_$!<Mobile>!$_", "_$!<Home>!$_"})
    db.Run("INSERT INTO ABMultiValueLabel (value) VALUES (?)", {label});
  auto person = [&](int rowid, const char* first, const char* last) {
    // A note makes the record longer than 127 bytes, as real ones are: SQLite
    // then leaves a deleted record's header whole.
    db.Run("INSERT INTO ABPerson (ROWID, First, Last, Organization, Note, CreationDate, "
           "ImageURI) VALUES (?, ?, ?, 'Acme', ?, 700000000, '/img.jpg')",
           {rowid, first, last, std::string(100, 'n')});
  };
  // Ids from 128 on take two bytes, as on phones with some history; a freed
  // record's first four bytes then miss its header.
  int uid = 300;
  auto value = [&](int record_id, int property, int label, const char* text) {
    db.Run(layout >= 36 ? "INSERT INTO ABMultiValue (UID, record_id, property, identifier, label, "
                          "value, guid) VALUES (?, ?, ?, 0, ?, ?, lower(hex(randomblob(18))))"
                        : "INSERT INTO ABMultiValue (UID, record_id, property, identifier, "
                          "label, value) VALUES (?, ?, ?, 0, ?, ?)",
           {uid++, record_id, property, label, text});
  };
  person(1, "Anna", "Berg");
  person(2, "J\xC3\xB6rg", "M\xC3\xBCller");
  person(3, "Chris", "Dahl");
  value(1, 3, 3, "+49\xC2\xA0" "151\xC2\xA0" "2345678");  // no-break spaces
  value(1, 4, 4, "anna@example.org");
  value(2, 3, 1, "030 5550101");
  value(3, 3, 2, "0171 5550303");
  db.Exec("DELETE FROM ABMultiValue WHERE record_id = 2; DELETE FROM ABPerson WHERE ROWID = 2");
}

class ContactsLayoutTest : public ::testing::TestWithParam<int> {
 protected:
  TempDir dir;
  std::string book = dir.File("AddressBook.sqlitedb");
  std::string out = dir.File("report.txt");
};

TEST_P(ContactsLayoutTest, NamesAndValuesLandInTheirColumns) {
  MakeBook(book, GetParam());
  Recovery run = Recover(book, out);

  auto anna = RowsNamed(run.report, "Anna", "Berg");
  ASSERT_FALSE(anna.empty());
  EXPECT_EQ(anna[0][1], "1");
  EXPECT_EQ(anna[0][10], "Acme");  // Organization, by name
  EXPECT_EQ(anna[0][kMobile], "+49\xC2\xA0" "151\xC2\xA0" "2345678");  // label 3 is Mobile here
  EXPECT_EQ(anna[0][kEmailHome], "anna@example.org");
  EXPECT_EQ(anna[0][kHome], "");
  auto chris = RowsNamed(run.report, "Chris", "Dahl");
  ASSERT_FALSE(chris.empty());
  EXPECT_EQ(chris[0][kUnknown], "0171 5550303");  // a custom label
  // The deleted person comes back, and so does his number, filed by its record
  // id under "Main" (Unknown). SQLite's freeblock header overwrites a freed
  // person record's rowid, so the two meet only by that id.
  ASSERT_FALSE(RowsNamed(run.report, "J\xC3\xB6rg", "M\xC3\xBCller").empty());
  bool filed = false;
  for (const auto& row : ReportRows(run.report))
    filed |= row.size() > kUnknown && row[1] == "2" && row[kUnknown] == "030 5550101";
  EXPECT_TRUE(filed);
  // The editor shows the definition in use.
  EXPECT_EQ(run.editor_lines.size(), GetParam() >= 36 ? 7u : 6u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ContactsLayoutTest, ::testing::Values(34, 36, 38));

TEST(ContactsLayouts, WalFileAloneUsesTheDatabaseBesideIt) {
  TempDir dir;
  const std::string book = dir.File("AddressBook.sqlitedb");
  SqliteDbOptions options;
  options.wal = true;
  options.keep_wal = true;
  MakeBook(book, 38, options);
  Recovery run = Recover(book + "-wal", dir.File("out.txt"));
  auto anna = RowsNamed(run.report, "Anna", "Berg");
  ASSERT_FALSE(anna.empty());
  EXPECT_EQ(anna[0][kMobile], "+49\xC2\xA0" "151\xC2\xA0" "2345678");
}

TEST(ContactsLayouts, CarvedDefinitionsGiveTheSameReportAsTheDatabase) {
  TempDir dir;
  const std::string book = dir.File("AddressBook.sqlitedb");
  MakeBook(book, 38);
  const std::string from_db = Recover(book, dir.File("a.txt")).report;
  // The same book inside an image: SQLite cannot open it, so definitions and
  // labels are carved; --schema-from gives them from the database instead.
  const std::string image = dir.File("image.bin");
  WriteFile(image, std::string(4096, '\0') + ReadFile(book));
  EXPECT_EQ(Recover(image, dir.File("b.txt")).report, from_db);
  RunOptions options;
  options.schema_from = book;
  EXPECT_EQ(Recover(image, dir.File("c.txt"), options).report, from_db);
}

TEST(ContactsLayouts, UnusableDefinitionsFallBackToTheBuiltInReport) {
  TempDir dir;
  const std::string book = dir.File("AddressBook.sqlitedb");
  MakeBook(book, 34);
  std::string bytes = ReadFile(book);
  bytes[0] = 'X';  // SQLite refuses it: definitions are carved
  // A definition of 10,000 columns, one cut short: the first found wins, and is
  // of no use, so the built-in schemas serve.
  std::string wide = "CREATE TABLE ABPerson (First TEXT, Last TEXT";
  for (int k = 0; k < 10000; ++k) wide += ", c" + std::to_string(k);
  wide += ")";
  const std::string cut = "CREATE TABLE ABMultiValue (UID INTEGER, 'record_id";
  const std::string plain = dir.File("plain.bin"), odd = dir.File("odd.bin");
  WriteFile(plain, std::string(wide.size() + cut.size(), ' ') + bytes);
  WriteFile(odd, wide + cut + bytes);
  Recovery with_plain = Recover(plain, dir.File("a.txt"));
  Recovery with_odd = Recover(odd, dir.File("b.txt"));
  EXPECT_EQ(with_odd.report, with_plain.report);
  EXPECT_EQ(with_odd.editor_lines, SplitSchema(MultiValueSchema));
  EXPECT_FALSE(RowsNamed(with_odd.report, "Anna", "Berg").empty());
}

TEST(ContactsLayouts, LabelFilingByName) {
  for (auto [name, column] : std::vector<std::pair<std::string, int>>{
           {"_$!<Mobile>!$_", 32}, {"Mobile", 32}, {"iPhone", 33}, {"_$!<Home>!$_", 34},
           {"_$!<Other>!$_", 35}, {"_$!<Work>!$_", 36}, {"_$!<WorkFAX>!$_", 37},
           {"_$!<Main>!$_", 38}, {"Telma", 38}, {"", 38}, {"_$!<>!$_", 38}}) {
    EXPECT_EQ(LabelColumnOfName(name), column) << name;
  }
  InputSchema input;
  input.labels = {{1, "_$!<Main>!$_"}, {7, "_$!<Mobile>!$_"}};
  ContactsSchema schema = ChooseContactsSchema(input);
  EXPECT_EQ(LabelColumn("7", "3", schema), 32);
  EXPECT_EQ(LabelColumn("7", "4", schema), 39);
  EXPECT_EQ(LabelColumn("1", "3", schema), 38);
  EXPECT_EQ(LabelColumn("2", "3", schema), 38);  // an id the table lacks
  EXPECT_EQ(LabelColumn("", "4", schema), 45);
  // Without a label table the fixed ids hold.
  EXPECT_EQ(LabelColumn("2", "3", BuiltInContactsSchema()), 33);
}

// The report streamed from flat label cells has the person rows of the table
// filled person pass first, value pass second, in the same order, and every
// value that table holds; only where the values stand may differ (a row whose
// rowid its cell does not prove takes none by it, value_placement.h).
TEST(ContactsLayouts, StreamedReportHoldsTheTableBuiltOnesRowsAndValues) {
  TempDir dir;
  // Books of one layout, and one whose records of the older layout are read
  // by their own header.
  for (int layout : {34, 38, 3834}) {
    for (uint64_t seed : {1, 7}) {
      const std::string book = dir.File("book" + std::to_string(layout) + "-" +
                                        std::to_string(seed) + ".db");
      sample::SampleOptions options;
      options.layout = layout == 3834 ? 38 : layout;
      options.upgrade_from = layout == 3834 ? 34 : 0;
      options.seed = seed;
      options.persons = 150;
      sample::MakeSampleBook(book, options);

      const std::string streamed = Recover(book, dir.File("streamed.txt")).report;
      ContactsSchema schema = ChooseContactsSchema(ReadInputSchema(book));
      LinesEditor editor;
      NoView view;
      ResultTable table;
      Buffer buffer = PersonPass(book, "0", schema, editor, table);
      MultiValuePass(buffer, schema, editor, table);
      WriteContactsReport(table, dir.File("table.txt"), view);
      const auto streamed_rows = ReportRows(streamed);
      const auto table_rows = ReportRows(ReadFile(dir.File("table.txt")));
      // Person rows (not rows of values alone, whose NUM_0 is empty).
      auto person_cells = [](const std::vector<std::vector<std::string>>& rows) {
        std::vector<std::vector<std::string>> out;
        for (const auto& row : rows)
          if (!row[0].empty()) out.emplace_back(row.begin(), row.begin() + kFirstLabelColumn);
        return out;
      };
      EXPECT_EQ(person_cells(streamed_rows), person_cells(table_rows)) << layout << " " << seed;
      auto values = [](const std::vector<std::vector<std::string>>& rows) {
        std::set<std::string> out;
        for (size_t r = 1; r < rows.size(); ++r)
          for (int col = kFirstLabelColumn; col < kReportColumns; ++col) {
            std::string cell = rows[r][col];
            for (size_t at; (at = cell.find(", ")) != std::string::npos; cell.erase(0, at + 2))
              out.insert(std::string(Trim(cell.substr(0, at))));
            if (!cell.empty()) out.insert(std::string(Trim(cell)));
          }
        return out;
      };
      EXPECT_EQ(values(streamed_rows), values(table_rows)) << layout << " " << seed;
      EXPECT_GT(streamed_rows.size(), 150u);
    }
  }
}

// A cancel while rows stream keeps the rows written and says so.
TEST(ContactsLayouts, CancelWhileStreamingKeepsAnIncompleteReport) {
  TempDir dir;
  const std::string book = dir.File("book.db");
  MakeBook(book, 38);
  class CancelInSecondPass : public ProgressSink {
   public:
    bool Update(int64_t done, int64_t total) override { return 2 * done <= total; }
  } cancel;
  LinesEditor editor;
  NoView view;
  ResultTable table;
  const std::string out = dir.File("out.txt");
  try {
    RecoverContacts(book, "0", out, editor, view, table, &cancel);
    FAIL() << "not cancelled";
  } catch (const Error& error) {
    EXPECT_NE(std::string(error.what()).find("incomplete"), std::string::npos) << error.what();
  }
  const std::string report = ReadFile(out);
  EXPECT_EQ(report.rfind("\xEF\xBB\xBFNUM_0\tNUM_1\t", 0), 0u);
}

}  // namespace
}  // namespace quarrow
