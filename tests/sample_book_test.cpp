// The sample generator's books, read back with SQLite's C library: layouts,
// label ids in first-use order, the manifest against the tables, deleted
// persons gone, the WAL as phones leave it; and the recovery measure's scoring
// on a hand-written report.
#if defined(QUARROW_HAVE_SAMPLE_BOOK) && defined(QUARROW_HAVE_RECOVERY_MEASURE)

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "recovery_measure.h"
#include "sample_book.h"
#include "sqlite_fixture.h"

namespace quarrow::sample {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using Rows = std::vector<std::vector<std::string>>;

// A read-only connection to a copy of a book (and its -wal), so that reading
// never changes the files under test.
class BookReader {
 public:
  BookReader(const TempDir& dir, const std::string& book, const std::string& name = "copy.db") {
    path_ = dir.File(name);
    // Removed first: GCC 12's copy_file for Windows cannot overwrite a file.
    std::filesystem::remove(path_);
    std::filesystem::remove(path_ + "-wal");
    std::filesystem::copy_file(book, path_, std::filesystem::copy_options::overwrite_existing);
    if (std::filesystem::exists(book + "-wal")) {
      std::filesystem::copy_file(book + "-wal", path_ + "-wal",
                                 std::filesystem::copy_options::overwrite_existing);
    }
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      throw std::runtime_error("cannot open " + path_);
    }
  }
  ~BookReader() { sqlite3_close(db_); }
  BookReader(const BookReader&) = delete;
  BookReader& operator=(const BookReader&) = delete;

  // Every row, each column as text ("" for NULL).
  Rows Query(const std::string& sql) const {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
    }
    Rows rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
      }
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    return rows;
  }
  std::string One(const std::string& sql) const {
    Rows rows = Query(sql);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
  }
  int64_t Int(const std::string& sql) const { return std::stoll(One(sql)); }

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

SampleOptions Options(int layout, int persons = 60, uint64_t seed = 1) {
  SampleOptions options;
  options.layout = layout;
  options.persons = persons;
  options.seed = seed;
  options.delete_percent = 30;
  options.page_size = 4096;
  return options;
}

int64_t ColumnCount(const BookReader& db, const std::string& table) {
  return static_cast<int64_t>(db.Query("PRAGMA table_info('" + table + "')").size());
}

TEST(SampleBook, LayoutsHaveThePhonesColumnCountsAndTables) {
  TempDir dir;
  struct Case {
    int layout;
    int64_t person, multi_value, search;
  };
  for (const Case& c : {Case{34, 34, 6, 0}, Case{36, 36, 7, 24}, Case{38, 38, 7, 25}}) {
    SCOPED_TRACE(c.layout);
    const std::string path = dir.File("book" + std::to_string(c.layout) + ".db");
    MakeSampleBook(path, Options(c.layout));
    BookReader db(dir, path);
    EXPECT_EQ(ColumnCount(db, "ABPerson"), c.person);
    EXPECT_EQ(ColumnCount(db, "ABMultiValue"), c.multi_value);
    EXPECT_EQ(ColumnCount(db, "ABPersonFullTextSearch_content"), c.search);
    EXPECT_EQ(db.One("SELECT sql FROM sqlite_master WHERE name = 'ABPerson'"),
              PersonTableSql(c.layout));
    // The label table comes with the newer layouts; 34 keeps the fixed ids.
    EXPECT_EQ(ColumnCount(db, "ABMultiValueLabel"), c.layout == 34 ? 0 : 1);
    if (c.layout != 34) {
      EXPECT_EQ(db.One("SELECT count(*) FROM sqlite_master WHERE name = "
                       "'sqlite_autoindex_ABPerson_1'"), "1");  // UNIQUE(guid)
      EXPECT_EQ(db.One("SELECT count(*) FROM ABPerson WHERE length(guid) = 36"),
                db.One("SELECT count(*) FROM ABPerson"));
      EXPECT_EQ(db.One("SELECT count(*) FROM ABPersonFullTextSearch_content"),
                db.One("SELECT count(*) FROM ABPerson"));
    }
  }
  // The 34 layout is the built-in schema, word for word.
  EXPECT_EQ(PersonTableSql(34), kPersonTableSql);
  EXPECT_EQ(MultiValueTableSql(34), kMultiValueTableSql);
  EXPECT_TRUE(PersonTableSql(38).ends_with(
      "IsPreferredName INTEGER DEFAULT 1, guid TEXT DEFAULT (ab_generate_guid()), "
      "PhonemeData TEXT, AlternateBirthday TEXT, MapsData TEXT, UNIQUE(guid))"));
  EXPECT_TRUE(MultiValueTableSql(36).ends_with(
      "value TEXT, guid TEXT DEFAULT (ab_generate_guid()), UNIQUE(guid))"));
}

// Label texts in the order the book first uses them, from the manifest.
std::vector<std::string> FirstUseOrder(const std::vector<ManifestPerson>& persons) {
  std::vector<std::string> order;
  for (const ManifestPerson& p : persons) {
    for (const ManifestValue& v : p.values) {
      if (std::find(order.begin(), order.end(), v.label) == order.end()) order.push_back(v.label);
    }
  }
  return order;
}

TEST(SampleBook, LabelIdsFollowFirstUse) {
  TempDir dir;
  std::vector<std::vector<std::string>> orders;
  for (uint64_t seed : {1, 2}) {
    const std::string path = dir.File("labels" + std::to_string(seed) + ".db");
    const SampleBook book = MakeSampleBook(path, Options(38, 80, seed));
    const std::vector<ManifestPerson> manifest = ParseManifest(ManifestText(book));
    const std::vector<std::string> order = FirstUseOrder(manifest);
    BookReader db(dir, path);
    std::vector<std::string> table;
    for (const auto& row : db.Query("SELECT rowid, value FROM ABMultiValueLabel ORDER BY rowid")) {
      EXPECT_EQ(row[0], std::to_string(table.size() + 1));
      table.push_back(row[1]);
    }
    EXPECT_EQ(table, order);
    EXPECT_EQ(book.labels, order);
    // Built-in labels are wrapped; custom ones and iPhone stand as typed.
    EXPECT_NE(std::find(table.begin(), table.end(), "_$!<Mobile>!$_"), table.end());
    EXPECT_NE(std::find(table.begin(), table.end(), "iPhone"), table.end());
    EXPECT_NE(std::find(table.begin(), table.end(), "Telma"), table.end());
    // Every live value's label id names its text.
    for (const auto& row : db.Query("SELECT m.value, l.value FROM ABMultiValue m "
                                    "JOIN ABMultiValueLabel l ON l.rowid = m.label")) {
      bool found = false;
      for (const ManifestPerson& p : manifest) {
        for (const ManifestValue& v : p.values) found |= v.value == row[0] && v.label == row[1];
      }
      EXPECT_TRUE(found) << row[0] << " " << row[1];
    }
    orders.push_back(order);
  }
  EXPECT_NE(orders[0], orders[1]);  // so the ids differ from book to book
}

TEST(SampleBook, WithoutALabelTableIdsAreTheFixedOnes) {
  TempDir dir;
  const std::string path = dir.File("fixed.db");
  const SampleBook book = MakeSampleBook(path, Options(34, 80));
  const std::map<std::string, int> fixed = {{"_$!<Mobile>!$_", 1}, {"Mobile", 1}, {"iPhone", 2},
                                            {"_$!<Home>!$_", 3},   {"_$!<Other>!$_", 4},
                                            {"_$!<Work>!$_", 5},   {"_$!<WorkFAX>!$_", 6}};
  int custom = 0;
  for (const Person& p : book.persons) {
    for (const MultiValue& mv : p.values) {
      auto it = fixed.find(mv.label_text);
      EXPECT_EQ(mv.label, it == fixed.end() ? kCustomLabelId : it->second) << mv.label_text;
      custom += it == fixed.end();
    }
  }
  EXPECT_GT(custom, 0);
  BookReader db(dir, path);
  EXPECT_EQ(db.One("SELECT count(*) FROM ABMultiValue WHERE label NOT IN (1,2,3,4,5,6,27)"), "0");
}

TEST(SampleBook, ManifestAgreesWithTheTablesAndDeletedPersonsAreGone) {
  TempDir dir;
  for (int layout : {34, 36, 38}) {
    SCOPED_TRACE(layout);
    SampleOptions options = Options(layout, 120, 7);
    options.journal = Journal::kWalCheckpointed;  // one file holds every change
    const std::string path = dir.File("truth" + std::to_string(layout) + ".db");
    const std::vector<ManifestPerson> manifest = ParseManifest(ManifestText(MakeSampleBook(path, options)));
    ASSERT_EQ(manifest.size(), 120u);
    BookReader db(dir, path);

    std::set<std::vector<std::string>> live_persons, live_values;
    int deleted = 0;
    for (const ManifestPerson& p : manifest) {
      if (p.deleted) {
        ++deleted;
        const std::string id = std::to_string(p.rowid);
        EXPECT_EQ(db.One("SELECT count(*) FROM ABPerson WHERE ROWID = " + id), "0");
        EXPECT_EQ(db.One("SELECT count(*) FROM ABMultiValue WHERE record_id = " + id), "0");
        if (layout != 34) {
          EXPECT_EQ(db.One("SELECT count(*) FROM ABPersonFullTextSearch_content WHERE docid = " + id), "0");
        }
        continue;
      }
      live_persons.insert({std::to_string(p.rowid), p.first, p.last, p.organization});
      for (const ManifestValue& v : p.values) {
        live_values.insert({std::to_string(v.record_id), std::to_string(v.property), v.value});
      }
    }
    EXPECT_EQ(deleted, 36);  // 30% of 120
    const Rows persons = db.Query("SELECT ROWID, First, Last, Organization FROM ABPerson");
    EXPECT_EQ(std::set<std::vector<std::string>>(persons.begin(), persons.end()), live_persons);
    const Rows values = db.Query("SELECT record_id, property, value FROM ABMultiValue");
    EXPECT_EQ(values.size(), live_values.size());
    EXPECT_EQ(std::set<std::vector<std::string>>(values.begin(), values.end()), live_values);
    // Deleted with secure_delete off: the deleted values' bytes stay in the file.
    const std::string bytes = ReadFile(path);
    int kept = 0, total = 0;
    for (const ManifestPerson& p : manifest) {
      for (const ManifestValue& v : p.values) {
        if (!p.deleted) continue;
        ++total;
        kept += bytes.find(v.value) != std::string::npos;
      }
    }
    EXPECT_GT(kept * 10, total * 8) << kept << " of " << total;
  }
}

TEST(SampleBook, PhoneWalKeepsTheLatestDeletionsInTheLogAndTheFileUsable) {
  TempDir dir;
  const std::string path = dir.File("AddressBook.sqlitedb");
  const SampleBook book = MakeSampleBook(path, Options(38, 90));
  ASSERT_EQ(book.journal, Journal::kWal);
  const std::string main = ReadFile(path);
  EXPECT_EQ(main[18], 2);  // WAL mode in the header
  EXPECT_EQ(main[19], 2);
  const std::string wal = ReadFile(path + "-wal");
  ASSERT_GT(wal.size(), 32u);
  EXPECT_EQ((wal.size() - 32) % (4096 + 24), 0u);

  // The main file alone is a sound database holding the state of the last
  // checkpoint: the latest third of the deletions have not reached it.
  const std::string alone = dir.File("alone");
  std::filesystem::create_directory(alone);
  std::filesystem::copy_file(path, alone + "/main.db");
  {
    BookReader db(dir, alone + "/main.db", "alone/copy.db");
    EXPECT_EQ(db.One("PRAGMA integrity_check"), "ok");
    const int deleted = book.DeletedCount();  // 27
    EXPECT_EQ(db.Int("SELECT count(*) FROM ABPerson"), 90 - (deleted - deleted / 3));
  }
  // With its log, every deletion is there.
  BookReader db(dir, path);
  EXPECT_EQ(db.Int("SELECT count(*) FROM ABPerson"), 90 - book.DeletedCount());
}

TEST(SampleBook, JournalChoicesLeaveTheFilesPhonesAndToolsExpect) {
  TempDir dir;
  SampleOptions rollback = Options(36);
  rollback.journal = Journal::kRollback;
  const std::string a = dir.File("rollback.db");
  MakeSampleBook(a, rollback);
  EXPECT_EQ(ReadFile(a)[18], 1);
  EXPECT_FALSE(std::filesystem::exists(a + "-wal"));

  SampleOptions checkpointed = Options(38);
  checkpointed.wal = true;  // the older option still means a checkpointed WAL
  const std::string b = dir.File("checkpointed.db");
  MakeSampleBook(b, checkpointed);
  EXPECT_EQ(ReadFile(b)[18], 2);
  EXPECT_FALSE(std::filesystem::exists(b + "-wal"));

  EXPECT_EQ(EffectiveJournal(Options(34)), Journal::kRollback);
  SampleOptions only = Options(34);
  only.keep_wal = true;
  EXPECT_EQ(EffectiveJournal(only), Journal::kWalOnly);
}

TEST(SampleBook, ContentIsRealisticUniqueAndRepeatable) {
  TempDir dir;
  const SampleBook book = MakeSampleBook(dir.File("a.db"), Options(38, 400, 5));
  std::set<std::pair<std::string, std::string>> names;
  std::set<std::string> companies;
  bool no_break_space = false, non_ascii_name = false, ussd = false;
  for (const Person& p : book.persons) {
    if (p.first.empty() && p.last.empty()) {
      EXPECT_TRUE(companies.insert(p.organization).second) << p.organization;
    } else {
      EXPECT_TRUE(names.emplace(p.first, p.last).second) << p.first << " " << p.last;
    }
    for (unsigned char c : p.first + p.last) non_ascii_name |= c >= 0x80;
    for (const MultiValue& mv : p.values) {
      no_break_space |= mv.value.find("\xC2\xA0") != std::string::npos;
      ussd |= IsExcludedValue(mv.value);
      EXPECT_EQ(mv.value.find_first_of("\t\r\n,"), std::string::npos);
    }
  }
  EXPECT_TRUE(no_break_space);
  EXPECT_TRUE(non_ascii_name);
  EXPECT_TRUE(ussd);

  // Same options, same file.
  MakeSampleBook(dir.File("b.db"), Options(34, 50, 9));
  MakeSampleBook(dir.File("c.db"), Options(34, 50, 9));
  EXPECT_EQ(ReadFile(dir.File("b.db")), ReadFile(dir.File("c.db")));

  SampleOptions bad = Options(35);
  EXPECT_THROW(MakeSampleBook(dir.File("d.db"), bad), std::runtime_error);
  bad = Options(38);
  bad.delete_percent = 101;
  EXPECT_THROW(MakeSampleBook(dir.File("d.db"), bad), std::runtime_error);
}

// A book with a phone's history: edits of persons that stay, and the tables
// rebuilt with more columns after most persons were written and some
// deleted. SQLite's own reading of it agrees with the manifest.
TEST(SampleBook, HistoryOfEditsAndAnUpgradeAgreesWithTheTables) {
  TempDir dir;
  for (const Journal journal : {Journal::kRollback, Journal::kWalCheckpointed}) {
    SCOPED_TRACE(static_cast<int>(journal));
    SampleOptions options = Options(38, 120, 3);
    options.upgrade_from = 34;
    options.edit_percent = 20;
    options.journal = journal;
    const std::string path = dir.File("history" + std::to_string(static_cast<int>(journal)) + ".db");
    const SampleBook book = MakeSampleBook(path, options);
    EXPECT_EQ(book.upgraded_from, 34);
    const std::vector<ManifestPerson> manifest = ParseManifest(ManifestText(book));
    BookReader db(dir, path);
    EXPECT_EQ(ColumnCount(db, "ABPerson"), 38);
    EXPECT_EQ(ColumnCount(db, "ABMultiValue"), 7);
    EXPECT_EQ(db.One("PRAGMA integrity_check"), "ok");
    // No rowid of a deleted person came back: the counter went on.
    EXPECT_EQ(db.One("SELECT seq FROM sqlite_sequence WHERE name = 'ABPerson'"), "120");

    int edits = 0, numbers = 0, older = 0;
    for (const ManifestPerson& p : manifest) {
      const std::string id = std::to_string(p.rowid);
      if (p.deleted) {
        EXPECT_TRUE(p.edits.empty());
        older += p.layout == 34;
        EXPECT_EQ(db.One("SELECT count(*) FROM ABPerson WHERE ROWID = " + id), "0");
        continue;
      }
      // A person that stays was rewritten in the new layout.
      EXPECT_EQ(p.layout, 38);
      EXPECT_EQ(db.One("SELECT CreationDate || ' ' || ModificationDate || ' ' || ExternalUUID "
                       "FROM ABPerson WHERE ROWID = " + id),
                std::to_string(p.created) + " " + std::to_string(p.modified) + " " +
                    p.external_uuid);
      for (const ManifestEdit& edit : p.edits) {
        ++edits;
        EXPECT_LT(edit.old_modified, edit.new_modified);
        if (edit.new_number.empty()) continue;
        ++numbers;
        EXPECT_EQ(db.One("SELECT count(*) FROM ABMultiValue WHERE record_id = " + id +
                         " AND value = '" + edit.new_number + "'"), "1");
        EXPECT_EQ(db.One("SELECT count(*) FROM ABMultiValue WHERE value = '" +
                         edit.old_number + "'"), "0");
      }
      if (!p.edits.empty()) EXPECT_EQ(p.modified, p.edits.back().new_modified);
    }
    EXPECT_EQ(edits, 16);  // 20% of the 84 that stay
    EXPECT_GT(numbers, edits / 2);
    // Half the deleted persons written before the upgrade were deleted before it.
    EXPECT_GT(older, 5);
    EXPECT_LT(older, book.DeletedCount());
  }
}

TEST(SampleBook, DamagedSchemaTextsAreRefusedBySqlite) {
  TempDir dir;
  for (const SchemaDamage damage : {SchemaDamage::kPerson, SchemaDamage::kOther}) {
    SampleOptions options = Options(38, 40);
    options.journal = Journal::kRollback;
    options.damage = damage;
    const std::string path = dir.File("damaged" + std::to_string(static_cast<int>(damage)) + ".db");
    MakeSampleBook(path, options);
    const std::string bytes = ReadFile(path);
    // The bytes no SQL text holds sit in the text damaged, and only there.
    const std::string person = "CREATE TABLE ABPerson (";
    EXPECT_EQ(bytes.compare(bytes.find(person) + person.size() + 2, 3, std::string("\0\1\2", 3)) == 0,
              damage == SchemaDamage::kPerson);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(("file:" + path + "?immutable=1").c_str(), &db,
                              SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
              SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_NE(sqlite3_prepare_v2(db, "SELECT count(*) FROM ABPerson", -1, &statement, nullptr),
              SQLITE_OK);
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }
}

// --- the measure ------------------------------------------------------------

// A report row: 46 cells, those named in `cells` set.
std::string ReportRow(const std::map<int, std::string>& cells, int fields = 46) {
  std::string out;
  for (int i = 0; i < fields; ++i) {
    auto it = cells.find(i);
    if (it != cells.end()) out += it->second;
    out += '\t';
  }
  return out + "\r\n";
}

std::string Header() {
  std::map<int, std::string> names;
  for (int i = 0; i < 32; ++i) names[i] = "c" + std::to_string(i);
  names[0] = "NUM_0";
  names[4] = "First";
  names[5] = "Last";
  names[10] = "Organization";
  const char* labels[] = {"MOBILE",       "IPHONE",     "HOME",       "OTHER",
                          "WORK",         "WORKFAX",    "Unknown",    "EMAIL_MOBILE",
                          "EMAIL_IPHONE", "EMAIL_HOME", "EMAIL_OTHER", "EMAIL_WORK",
                          "EMAIL_WORKFAX", "EMAIL_Unknown"};
  for (int k = 0; k < 14; ++k) names[32 + k] = labels[k];
  return "\xEF\xBB\xBF" + ReportRow(names);
}

// A details report's header: the columns the states' measure reads too.
constexpr int kRowid = 1, kCreated = 21, kModified = 22, kUuid = 26, kState = 48;
std::string DetailsHeader() {
  std::map<int, std::string> names;
  for (int i = 0; i < 49; ++i) names[i] = "c" + std::to_string(i);
  names[kRowid] = "NUM_1";
  names[4] = "First";
  names[5] = "Last";
  names[10] = "Organization";
  names[kCreated] = "CreationDate";
  names[kModified] = "ModificationDate";
  names[kUuid] = "ExternalUUID";
  names[kState] = "STATE";
  return "\xEF\xBB\xBF" + ReportRow(names, 49);
}

constexpr int kMobile = 32, kHome = 34, kUnknown = 38, kEmailWork = 43;

const char kManifest[] =
    "# quarrow-make-sample manifest 2\n"
    "# layout=38 seed=1 persons=5 deleted=2 journal=wal labels=table\n"
    "person\t1\tlive\tZoë\tMüller\t\n"
    "value\t1\t3\t_$!<Mobile>!$_\t+49\xC2\xA0" "30 1111\t1\t1001\n"  // filed right
    "value\t1\t3\tMain\t555 0101\t2\t1002\n"                         // wrong column
    "value\t1\t4\t_$!<Work>!$_\tzoe@example.com\t3\t1003\n"          // filed right
    "value\t1\t3\tTelma\t*111#\t4\t1004\n"                           // USSD: not counted
    "value\t1\t22\t_$!<HomePage>!$_\thttps://x\t5\t1005\n"           // not measured
    "person\t2\tlive\t\t\tAcme Ltd\n"                                // a company
    "value\t2\t3\tHome\t555 0202\t6\t1006\n"                         // missing
    "person\t3\tdeleted\tJosé\tKim\t\n"
    "value\t3\t3\tiPhone\t555 0303\t7\t1007\n"        // in the row, wrong column
    "value\t3\t4\t_$!<Home>!$_\tjose@example.com\t8\t1008\n"  // in another row only
    "value\t3\t3\t_$!<Mobile>!$_\t555 0304\t1\t1009\n"        // filed right
    "person\t4\tdeleted\tAnna\tNowak\t\n"                     // not found
    "value\t4\t3\t_$!<Work>!$_\t555 0404\t9\t1010\n"
    "person\t5\tlive\tMia\tSmith\t\n";                        // not found

std::string HandReport() {
  return Header() +
         ReportRow({{1, "1"}, {4, "Zoë"}, {5, "Müller"},
                    {kMobile, "555 0000,  +49\xC2\xA0" "30 1111"},  // merged as the tool merges
                    {kHome, "555 0101"}, {kEmailWork, "zoe@example.com"}}) +
         ReportRow({{1, "2"}, {10, "Acme Ltd"}}) +
         // A note with a line break must not end the row.
         ReportRow({{1, "3"}, {4, "José"}, {5, "Kim"}, {9, "line one\r\nline two"},
                    {kUnknown, "555 0303"}, {kMobile, "555 0304"}}) +
         ReportRow({{1, "77"}, {kHome + 7, "jose@example.com"}}) +
         // Mia Smith's name in the wrong cells, and a value holding 555 0404 as a part.
         ReportRow({{1, "5"}, {4, "Mia Smith"}, {kMobile, "555 04040"}});
}

TEST(RecoveryMeasure, ScoresAHandWrittenReport) {
  const RecoveryMeasure m = MeasureRecovery(ParseManifest(kManifest), ParseContactsReport(HandReport()));
  EXPECT_EQ(m.live_persons.found, 2);  // Zoë Müller and the company; not Mia Smith
  EXPECT_EQ(m.live_persons.total, 3);
  EXPECT_EQ(m.live_values.found, 2);   // the mobile number and the e-mail
  EXPECT_EQ(m.live_values.total, 4);
  EXPECT_EQ(m.excluded_values, 1);
  EXPECT_EQ(m.deleted_persons.found, 1);
  EXPECT_EQ(m.deleted_persons.total, 2);
  EXPECT_EQ(m.deleted_values_filed.found, 1);
  EXPECT_EQ(m.deleted_values_in_row.found, 2);
  EXPECT_EQ(m.deleted_values_anywhere.found, 3);  // not 555 0404: only part of an item
  EXPECT_EQ(m.deleted_values_anywhere.total, 4);
  EXPECT_EQ(FormatScore(m.live_values), "2 of 4 (50.0%)");
  EXPECT_EQ(FormatScore({1999, 2000}), "1999 of 2000 (99.9%)");  // never rounded up to 100
  EXPECT_EQ(FormatScore({0, 0}), "0 of 0 (-)");
}

TEST(RecoveryMeasure, StatesSayWhatTheRowsAre) {
  const std::vector<ManifestPerson> manifest = ParseManifest(
      "# quarrow-make-sample manifest 3\n"
      "person\t1\tlive\tZoë\tMüller\t\t38\t100\t300\tU1\n"
      "edit\t1\t200\t300\t1001\t555 0101\t555 0102\n"
      "person\t2\tdeleted\tJosé\tKim\t\t34\t400\t500\tU2\n"  // deleted before the upgrade
      "person\t3\tdeleted\tAnna\tNowak\t\t38\t600\t700\tU3\n"
      "person\t4\tlive\tMia\tSmith\t\t38\t800\t900\tU4\n");
  auto row = [](const std::string& rowid, const std::string& first, const std::string& last,
                const std::string& created, const std::string& modified,
                const std::string& uuid, const std::string& state) {
    return ReportRow({{kRowid, rowid}, {4, first}, {5, last}, {kCreated, created},
                      {kModified, modified}, {kUuid, uuid}, {kState, state}},
                     49);
  };
  const ContactsReport details = ParseContactsReport(
      DetailsHeader() + row("1", "Zoë", "Müller", "100", "300", "U1", "live") +
      row("1", "Zoë", "Müller", "100", "200", "U1", "prior") +     // the edit's earlier version
      row("0", "Zoë", "Müller", "100", "200", "U1", "unknown") +   // its rowid destroyed
      row("2", "José", "Kim", "400", "500", "U2", "deleted") +     // read in its columns
      row("7", "José", "Kim", "1", "2", "U2x", "unknown") +
      row("3", "Anna", "Nowak", "600", "700", "U3", "deleted") +
      row("3", "Anna", "Nowak", "600", "700", "U3", "prior"));     // never for a deleted person
  const ContactsReport deleted_only = ParseContactsReport(
      DetailsHeader() + row("1", "Zoë", "Müller", "100", "300", "U1", "deleted") +
      row("0", "Zoë", "Müller", "100", "200", "U1", "unknown") +
      row("2", "José", "Kim", "400", "500", "U2", "deleted"));
  const StateMeasure m = MeasureStates(manifest, details, deleted_only);
  EXPECT_EQ(m.live_rowid_rows, 1);
  EXPECT_EQ(m.live_name_rows, 1);
  EXPECT_EQ(FormatScore(m.deleted_kept), "1 of 2 (50.0%)");     // Anna is not kept
  EXPECT_EQ(FormatScore(m.deleted_by_state), "1 of 2 (50.0%)");  // Anna has a prior row
  EXPECT_EQ(FormatScore(m.earlier_versions), "1 of 1 (100.0%)");
  EXPECT_EQ(m.earlier_prior, 1);
  EXPECT_EQ(m.earlier_unknown, 1);
  EXPECT_EQ(m.earlier_other, 0);
  EXPECT_EQ(FormatScore(m.pre_upgrade_found), "1 of 1 (100.0%)");
  EXPECT_EQ(FormatScore(m.pre_upgrade_columns), "1 of 1 (100.0%)");
  // A report without STATE cannot be measured so.
  EXPECT_THROW(MeasureStates(manifest, ParseContactsReport(HandReport()), deleted_only),
               std::runtime_error);
}

TEST(RecoveryMeasure, LabelsMapToTheReportColumnsByName) {
  EXPECT_EQ(LabelColumnName("_$!<Mobile>!$_", 3), "MOBILE");
  EXPECT_EQ(LabelColumnName("Mobile", 3), "MOBILE");
  EXPECT_EQ(LabelColumnName("iPhone", 4), "EMAIL_IPHONE");
  EXPECT_EQ(LabelColumnName("_$!<WorkFAX>!$_", 3), "WORKFAX");
  EXPECT_EQ(LabelColumnName("_$!<Other>!$_", 4), "EMAIL_OTHER");
  EXPECT_EQ(LabelColumnName("_$!<Main>!$_", 3), "Unknown");
  EXPECT_EQ(LabelColumnName("Telma", 4), "EMAIL_Unknown");
  EXPECT_EQ(LabelColumnName("_$!<HomeFAX>!$_", 3), "Unknown");
  EXPECT_EQ(LabelColumnName("mobile", 3), "Unknown");  // names match exactly
}

TEST(RecoveryMeasure, RejectsWhatIsNotAReportOrAManifest) {
  const std::string good = HandReport();
  EXPECT_NO_THROW(ParseContactsReport(good));
  EXPECT_THROW(ParseContactsReport(good.substr(3)), std::runtime_error);  // no BOM
  EXPECT_THROW(ParseContactsReport(good.substr(0, good.size() - 1)), std::runtime_error);
  std::string short_row = Header() + "a\tb\t\r\n";
  EXPECT_THROW(ParseContactsReport(short_row), std::runtime_error);
  std::string no_first = good;
  no_first.replace(no_first.find("First"), 5, "Fist");
  EXPECT_THROW(MeasureRecovery({}, ParseContactsReport(no_first)), std::runtime_error);

  EXPECT_THROW(ParseManifest("value\t1\t3\tHome\t555\t1\t1\n"), std::runtime_error);
  EXPECT_THROW(ParseManifest("person\tx\tlive\ta\tb\t\n"), std::runtime_error);
  EXPECT_THROW(ParseManifest("person\t1\tgone\ta\tb\t\n"), std::runtime_error);
  EXPECT_THROW(ParseManifest("person\t1\tlive\ta\tb\t\nvalue\t2\t3\tHome\t555\t1\t1\n"),
               std::runtime_error);
}

TEST(RecoveryMeasure, AGeneratedManifestReadsBack) {
  SampleBook book;
  Person p;
  p.rowid = 4;
  p.first = "Zoë";
  p.deleted = true;
  p.values.push_back({1001, kPhone, 0, 2, "iPhone", "555\xC2\xA0" "0101", ""});
  book.persons.push_back(p);
  const std::vector<ManifestPerson> read = ParseManifest(ManifestText(book));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_TRUE(read[0].deleted);
  EXPECT_EQ(read[0].first, "Zoë");
  EXPECT_EQ(read[0].last, "");
  ASSERT_EQ(read[0].values.size(), 1u);
  EXPECT_EQ(read[0].values[0].label, "iPhone");
  EXPECT_EQ(read[0].values[0].value, "555\xC2\xA0" "0101");
  EXPECT_EQ(read[0].values[0].record_id, 4);

  // A copy with CR LF line ends reads the same.
  std::string crlf;
  for (char c : ManifestText(book)) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const std::vector<ManifestPerson> again = ParseManifest(crlf);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].organization, "");
  EXPECT_EQ(again[0].values[0].value, read[0].values[0].value);
}

}  // namespace
}  // namespace quarrow::sample

#endif  // QUARROW_HAVE_SAMPLE_BOOK && QUARROW_HAVE_RECOVERY_MEASURE
