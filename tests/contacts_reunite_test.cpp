// Deleted persons reunited with their numbers and e-mail addresses: the
// search index's records as witnesses (value_links.h), values placed in the
// first row that proves them (value_placement.h), and whole books made by
// SQLite: values land in their person's row, never in another's, also where
// forged search records name many persons or one person many times.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "contacts/contacts_scan.h"
#include "contacts/label_cells.h"
#include "contacts/person_pass.h"
#include "contacts/record_copies.h"
#include "contacts/search_witness.h"
#include "contacts/value_links.h"
#include "contacts/value_placement.h"

namespace quarrow {
namespace {

constexpr int kMobile = LabelCells::kFirstColumn;       // MOBILE
constexpr int kEmailMobile = LabelCells::kFirstColumn + 7;  // EMAIL_MOBILE

PersonNames Names(const std::string& first, const std::string& last) {
  return {first, last, "", ""};
}

SearchWitness Witness(const PersonNames& names, const std::string& phones,
                      const std::string& emails = "") {
  SearchWitness w;
  EXPECT_TRUE(MakeWitness(names[0], names[1], names[2], names[3], phones, emails, std::nullopt, w));
  return w;
}

std::vector<ValueRef> LinkedTo(const ValueLinks& links, const PersonNames& names) {
  const std::vector<ValueRef>* refs = links.Of(names);
  return refs ? *refs : std::vector<ValueRef>();
}

TEST(ValueLinks, NumbersMatchDigitForDigitAndAddressesWithoutCase) {
  LabelCells labels;
  labels.File(7, kMobile, "+1 (555) 010-0199", 0);
  labels.File(7, kEmailMobile, "Jo.Doe@Example.COM", 10);
  labels.File(7, kMobile, "0151 2345", 20);  // a number the record does not list
  SearchEvidence evidence;
  // Numbers as typed and as bare digits, split into words as the phone does.
  evidence.witnesses.push_back(
      Witness(Names("Jo", "Doe"), "+1 555 010 0199 15550100199", "jo.doe@example.com"));
  const ValueLinks links = ValueLinks::Resolve(evidence, labels);
  EXPECT_EQ(LinkedTo(links, Names("Jo", "Doe")), (std::vector<ValueRef>{{7, 0}, {7, 1}}));
  EXPECT_EQ(links.size(), 2u);
  // Other digits are another number, however alike.
  LabelCells other;
  other.File(8, kMobile, "+1 (555) 010-0198", 0);
  other.File(8, kEmailMobile, "jo.doe@example.co", 1);
  EXPECT_TRUE(ValueLinks::Resolve(evidence, other).empty());
}

TEST(ValueLinks, ConflictingOrOverreachingRecordsLinkNothing) {
  LabelCells labels;
  labels.File(1, kMobile, "030 1111111", 0);
  labels.File(2, kMobile, "030 2222222", 0);
  labels.File(3, kMobile, "030 3333333", 0);
  labels.File(4, kMobile, "030 4444444", 0);
  {
    // One record listing the values of two ids names two persons.
    SearchEvidence evidence;
    evidence.witnesses.push_back(Witness(Names("Ann", "Lee"), "0301111111 0302222222"));
    EXPECT_TRUE(ValueLinks::Resolve(evidence, labels).empty());
  }
  {
    // Two persons' records claiming one value: it stays where it is; the
    // other values of both ids too, since the id is claimed by two names.
    SearchEvidence evidence;
    evidence.witnesses.push_back(Witness(Names("Ann", "Lee"), "0301111111"));
    evidence.witnesses.push_back(Witness(Names("Bob", "Ray"), "0301111111"));
    evidence.witnesses.push_back(Witness(Names("Cy", "Fox"), "0303333333"));
    const ValueLinks links = ValueLinks::Resolve(evidence, labels);
    EXPECT_TRUE(LinkedTo(links, Names("Ann", "Lee")).empty());
    EXPECT_TRUE(LinkedTo(links, Names("Bob", "Ray")).empty());
    EXPECT_EQ(LinkedTo(links, Names("Cy", "Fox")), (std::vector<ValueRef>{{3, 0}}));
  }
  {
    // One name in records that claim different ids: which is the person's?
    SearchEvidence evidence;
    evidence.witnesses.push_back(Witness(Names("Ann", "Lee"), "0301111111"));
    evidence.witnesses.push_back(Witness(Names("Ann", "Lee"), "0304444444"));
    EXPECT_TRUE(ValueLinks::Resolve(evidence, labels).empty());
  }
  {
    // A live person's values go to the live row by rowid, never by names;
    // so do those a live record lists (its docid kept and live).
    SearchEvidence evidence;
    evidence.live_person_ids.assign(LabelCells::kMaxId + 1, 0);
    evidence.live_person_ids[1] = 1;
    evidence.witnesses.push_back(Witness(Names("Ann", "Lee"), "0301111111"));
    SearchWitness live = Witness(Names("Cy", "Fox"), "0303333333");
    live.docid = 1;
    evidence.witnesses.push_back(live);
    EXPECT_TRUE(ValueLinks::Resolve(evidence, labels).empty());
  }
  {
    // A record of nameless texts names no one.
    SearchWitness nameless;
    EXPECT_FALSE(MakeWitness("", "", "", "", "0301111111", "", std::nullopt, nameless));
  }
}

TEST(ValueLinks, HostileRecordsCostBoundedTimeAndProveNothing) {
  LabelCells labels;
  for (int id = 1; id <= LabelCells::kMaxId; ++id)
    labels.File(id, kMobile, "0301" + std::to_string(1000000 + id), id);
  SearchEvidence evidence;
  // A record listing every number: words past the bound void its names.
  std::string all;
  for (int id = 1; id <= LabelCells::kMaxId; ++id) all += "0301" + std::to_string(1000000 + id) + " ";
  evidence.witnesses.push_back(Witness(Names("Eve", "All"), all));
  // Hundreds of records naming one person, each with a long run of digit
  // words: each is bounded, and they agree on one id only for Max.
  std::string digits;
  for (int k = 0; k < 500; ++k) digits += "12 ";
  for (int k = 0; k < 400; ++k)
    evidence.witnesses.push_back(Witness(Names("Max", "Many"), "03011000042 " + digits));
  // Records naming many persons at once, one id each: every name claims the
  // same id, so none is the id's person.
  for (int k = 0; k < 50; ++k)
    evidence.witnesses.push_back(Witness(Names("Name" + std::to_string(k), "X"), "03011000007"));
  const ValueLinks links = ValueLinks::Resolve(evidence, labels);
  EXPECT_TRUE(LinkedTo(links, Names("Eve", "All")).empty());
  EXPECT_EQ(LinkedTo(links, Names("Max", "Many")), (std::vector<ValueRef>{{42, 0}}));
  for (int k = 0; k < 50; ++k)
    EXPECT_TRUE(LinkedTo(links, Names("Name" + std::to_string(k), "X")).empty());
  EXPECT_EQ(links.size(), 1u);
}

TEST(ValuePlacement, EachValueGoesOnceToTheFirstRowThatProvesIt) {
  LabelCells labels;
  labels.File(5, kMobile, "030 5555555", 0);
  labels.File(5, kEmailMobile, "five@example.org", 1);
  labels.File(6, kMobile, "030 6666666", 2);
  labels.File(6, kMobile, "030 6666667", 3);
  SearchEvidence evidence;
  evidence.witnesses.push_back(Witness(Names("Six", "Sixer"), "0306666666"));
  const ValueLinks links = ValueLinks::Resolve(evidence, labels);
  ValuePlacement placement(labels, links, /*describe=*/true);

  // A row whose rowid is not proven takes nothing by it; by its names, the
  // value the search record lists.
  const auto& by_names = placement.ForPerson(0, Names("Six", "Sixer"));
  EXPECT_TRUE(by_names.any);
  EXPECT_EQ(by_names.cells[0], "030 6666666");
  EXPECT_EQ(by_names.links, "030 6666666=search-index");
  // The same names again: already placed.
  EXPECT_FALSE(placement.ForPerson(0, Names("Six", "Sixer")).any);
  // The rowid proves id 6: the rest of its values.
  const auto& by_rowid = placement.ForPerson(6, Names("Other", "Name"));
  EXPECT_EQ(by_rowid.cells[0], "030 6666667");
  EXPECT_EQ(by_rowid.links, "030 6666667=rowid");
  EXPECT_FALSE(placement.ForPerson(6, Names("", "")).any);  // a second row of id 6
  EXPECT_FALSE(placement.ForValuesOf(6).any);
  // Id 5 has no person row: its values in a row of their own, unlinked.
  const auto& own = placement.ForValuesOf(5);
  EXPECT_TRUE(own.any);
  EXPECT_EQ(own.cells[0], "030 5555555");
  EXPECT_EQ(own.cells[7], "five@example.org");
  EXPECT_EQ(own.links, "");
}

TEST(RecordCopies, OnlyCopiesThatAgreeOnTheirRowidProveIt) {
  const CopyKey a = CopyKeyOf("record a"), b = CopyKeyOf("record b"), c = CopyKeyOf("record c");
  // One byte more is another record.
  EXPECT_NE(CopyKeyOf("record a"), CopyKeyOf("record a "));
  RecordCopies copies;
  copies.Add(a, 7);
  copies.Add(b, 8);
  copies.Add(a, 7);  // a copy of a in the WAL: the same rowid
  copies.Add(b, 9);  // b under two rowids: which is its own?
  copies.Add(c, 5);
  copies.Add(c, 0);  // another part's verdict: c's copies disagree there
  copies.Add(CopyKeyOf("record e"), LabelCells::kMaxId + 1);  // no id a value can carry
  EXPECT_EQ(copies.IdOf(a), 0) << "not sealed yet";
  copies.Seal();
  EXPECT_EQ(copies.IdOf(a), 7);
  EXPECT_EQ(copies.IdOf(b), 0);
  EXPECT_EQ(copies.IdOf(c), 0);
  EXPECT_EQ(copies.IdOf(CopyKeyOf("record d")), 0);
  EXPECT_EQ(copies.IdOf(CopyKeyOf("record e")), 0);
  // Its entries, filed again (as a part carries them), say the same.
  RecordCopies again;
  copies.ForEachCopy([&](const CopyKey& key, int id) { again.Add(key, id); });
  again.Add(b, 8);  // b's copies disagreed in the first part: one more cannot settle it
  again.Seal();
  EXPECT_EQ(again.IdOf(a), 7);
  EXPECT_EQ(again.IdOf(b), 0);
  EXPECT_EQ(again.IdOf(c), 0);
}

TEST(RecordCopies, CompactedWhileFilledKeepsDisagreements) {
  // Thousands of copies are folded as they come; a disagreement folded early
  // must survive later agreeing copies, and one met late must still void.
  RecordCopies copies;
  const CopyKey early = CopyKeyOf("early"), late = CopyKeyOf("late");
  copies.Add(early, 3);
  copies.Add(early, 4);
  copies.Add(late, 5);
  for (int k = 0; k < 20000; ++k) {
    copies.Add(CopyKeyOf("r" + std::to_string(k % 3000)), 1 + (k % 3000) % LabelCells::kMaxId);
    if (k % 7 == 0) copies.Add(early, 3);
    if (k % 11 == 0) copies.Add(late, 5);
  }
  copies.Add(late, 6);
  copies.Seal();
  EXPECT_EQ(copies.IdOf(early), 0);
  EXPECT_EQ(copies.IdOf(late), 0);
  EXPECT_EQ(copies.IdOf(CopyKeyOf("r42")), 43);
  EXPECT_EQ(copies.IdOf(CopyKeyOf("r2999")), 1000);
}

TEST(RecordCopies, KeysReadBackFromTheirText) {
  const CopyKey key = CopyKeyOf("a person's record");
  EXPECT_EQ(CopyKeyText(key).size(), 32u);
  EXPECT_EQ(ParseCopyKey(CopyKeyText(key)), key);
  EXPECT_FALSE(ParseCopyKey(CopyKeyText(key).substr(1)));
  EXPECT_FALSE(ParseCopyKey(std::string(31, '0') + "g"));
  EXPECT_FALSE(ParseCopyKey(std::string(32, 'F')));  // written lower-case only
}

TEST(ValuePlacement, ACopyProvesItsIdForTheFirstRowOnly) {
  LabelCells labels;
  labels.File(4, kMobile, "030 4444444", 0);
  labels.File(4, kEmailMobile, "four@example.org", 1);
  ValuePlacement placement(labels, ValueLinks(), /*describe=*/true);
  // A row whose rowid its cell lost, its record's copy proving id 4.
  const auto& by_copy = placement.ForPerson(0, Names("Four", "Fourer"), 4);
  EXPECT_EQ(by_copy.cells[0], "030 4444444");
  EXPECT_EQ(by_copy.cells[7], "four@example.org");
  EXPECT_EQ(by_copy.links, "030 4444444=copy; four@example.org=copy");
  EXPECT_TRUE(placement.ProvenByRowid(4));
  // The copy's own row, later: its values are placed already.
  EXPECT_FALSE(placement.ForPerson(4, Names("Four", "Fourer")).any);
  // A proven rowid wins over a copy's id.
  labels.File(9, kMobile, "030 9999999", 2);
  ValuePlacement again(labels, ValueLinks(), true);
  EXPECT_EQ(again.ForPerson(9, Names("", ""), 4).links, "030 9999999=rowid");
  EXPECT_FALSE(again.ForValuesOf(9).any);
  EXPECT_TRUE(again.ForValuesOf(4).any);
}

}  // namespace
}  // namespace quarrow

#if defined(QUARROW_HAVE_SAMPLE_BOOK) && defined(QUARROW_HAVE_RECOVERY_MEASURE)

#include <sqlite3.h>

#include "contacts_report_rows.h"
#include "recovery_measure.h"
#include "sample_book.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;

constexpr size_t kLinks = 49;

sample::ContactsReport RecoverDetails(const std::string& book, const std::string& out) {
  RunOptions options;
  options.details = true;
  testing::RecoverContactsInto(book, out, options);
  return sample::ParseContactsReport(ReadFile(out));
}

// layout, journal, page size, seed
using Book = std::tuple<int, sample::Journal, int, int>;

class ContactsReuniteTest : public ::testing::TestWithParam<Book> {};

TEST_P(ContactsReuniteTest, DeletedPersonsValuesStandInTheirRowAndNoOneElses) {
  const auto [layout, journal, page_size, seed] = GetParam();
  TempDir dir;
  const std::string book = dir.File("AddressBook.sqlitedb");
  sample::SampleOptions options;
  options.layout = layout;
  options.journal = journal;
  options.page_size = page_size;
  options.seed = static_cast<uint64_t>(seed);
  options.persons = 150;
  options.delete_percent = 30;
  const auto manifest =
      sample::ParseManifest(sample::ManifestText(sample::MakeSampleBook(book, options)));
  const sample::ContactsReport report = RecoverDetails(book, dir.File("report.txt"));
  ASSERT_EQ(report.header.size(), 50u);
  EXPECT_EQ(report.header[kLinks], "LINKS");
  const sample::RecoveryMeasure m = sample::MeasureRecovery(manifest, report);
  EXPECT_EQ(m.deleted_values_wrong_name, 0);
  EXPECT_EQ(m.live_values.found, m.live_values.total);
  if (layout != 34) {
    EXPECT_GE(m.deleted_values_in_row.found * 10, m.deleted_values_anywhere.found * 8)
        << m.deleted_values_in_row.found << " of " << m.deleted_values_anywhere.found;
  }
  // Every value LINKS names stands in that row, and is its person's: a
  // search-index or copy link in a row of the value's owner by name.
  std::map<std::string, std::set<std::pair<std::string, std::string>>> owners;
  for (const auto& p : manifest)
    for (const auto& v : p.values) owners[v.value].insert({p.first, p.last});
  int search_links = 0;
  for (const auto& row : report.rows) {
    std::string links = row[kLinks];
    while (!links.empty()) {
      const size_t end = std::min(links.find("; "), links.size());
      const std::string link = links.substr(0, end);
      links.erase(0, std::min(end + 2, links.size()));
      const size_t eq = link.rfind('=');
      ASSERT_NE(eq, std::string::npos) << link;
      const std::string value = link.substr(0, eq), how = link.substr(eq + 1);
      ASSERT_TRUE(how == "rowid" || how == "search-index" || how == "copy") << link;
      if (how == "rowid") continue;
      if (how == "search-index") ++search_links;
      EXPECT_EQ(owners[value].count({row[4], row[5]}), 1u)
          << value << " beside " << row[4] << " " << row[5] << " by " << how;
    }
  }
  if (layout == 34) EXPECT_EQ(search_links, 0);
  else EXPECT_GT(search_links, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Books, ContactsReuniteTest,
    ::testing::Values(Book{38, sample::Journal::kWal, 4096, 1},
                      Book{38, sample::Journal::kRollback, 1024, 2},
                      Book{36, sample::Journal::kWalCheckpointed, 65536, 3},
                      Book{36, sample::Journal::kRollback, 4096, 4},
                      Book{34, sample::Journal::kRollback, 4096, 5}));

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "") << " in " << sql;
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// Forged search records, written and deleted by SQLite in a real book:
// one naming a deleted person and listing another's number, one naming a
// third and listing two others' numbers, hundreds naming one person. None
// links a value to a person it is not the person's.
TEST(ContactsReunite, ForgedSearchRecordsLinkNothingTheyCannotProve) {
  TempDir dir;
  const std::string book = dir.File("AddressBook.sqlitedb");
  sample::SampleOptions options;
  options.layout = 38;
  options.journal = sample::Journal::kRollback;
  options.persons = 120;
  options.delete_percent = 30;
  options.seed = 11;
  const auto manifest =
      sample::ParseManifest(sample::ManifestText(sample::MakeSampleBook(book, options)));
  std::vector<const sample::ManifestPerson*> deleted;
  for (const auto& p : manifest) {
    const bool has_number = std::any_of(p.values.begin(), p.values.end(), [](const auto& v) {
      return v.property == 3 && !sample::IsExcludedValue(v.value);
    });
    if (p.deleted && has_number && !p.first.empty()) deleted.push_back(&p);
  }
  ASSERT_GE(deleted.size(), 6u);
  auto number = [](const sample::ManifestPerson& p) {
    for (const auto& v : p.values)
      if (v.property == 3 && !sample::IsExcludedValue(v.value)) return v.value;
    return std::string();
  };
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(book.c_str(), &db), SQLITE_OK);
  Exec(db, "PRAGMA secure_delete=OFF");
  Exec(db, "BEGIN");
  auto forge = [&](int docid, const sample::ManifestPerson& named, const std::string& phones) {
    Exec(db, "INSERT INTO ABPersonFullTextSearch_content (docid, c0First, c1Last, c15Phone) "
             "VALUES (" + std::to_string(docid) + ", " + Quoted(named.first) + ", " +
             Quoted(named.last) + ", " + Quoted(phones) + ")");
  };
  const auto &a = *deleted[0], &b = *deleted[1], &c = *deleted[2], &d = *deleted[3],
             &e = *deleted[4], &f = *deleted[5];
  forge(5001, a, number(a) + " " + number(b));
  forge(5002, c, number(d) + " " + number(e));
  for (int k = 0; k < 400; ++k) forge(5100 + k, f, number(f) + " 0 1 2 3 4 5 6 7 8 9");
  Exec(db, "COMMIT");
  Exec(db, "DELETE FROM ABPersonFullTextSearch_content WHERE docid > 5000");
  ASSERT_EQ(sqlite3_close(db), SQLITE_OK);

  const sample::ContactsReport report = RecoverDetails(book, dir.File("report.txt"));
  EXPECT_EQ(sample::MeasureRecovery(manifest, report).deleted_values_wrong_name, 0);
  // The forged records' names and ids link nothing by the index.
  std::set<std::string> forged_values;
  for (const auto* p : {&a, &b, &c, &d, &e})
    for (const auto& v : p->values) forged_values.insert(v.value);
  for (const auto& row : report.rows) {
    for (const std::string& value : forged_values)
      EXPECT_EQ(row[kLinks].find(value + "=search-index"), std::string::npos)
          << value << " in " << row[kLinks];
  }
}

// A 34-layout book (no search index: only a copy can link) in which six live
// persons with numbers, rowids 128 and up (a freeblock header then covers the
// cell's payload length and rowid exactly, and the record survives), are
// deleted in one transaction, SQLite keeping what it wrote: the journal's
// page images (journal_mode=PERSIST) or the WAL's frames. The input is a disk
// image holding the freed cells first: the database and then its journal, or
// the WAL and then the checkpointed database. `before` runs (committed) ahead
// of the deletion.
struct CopyBook {
  TempDir dir;
  std::string image;
  std::vector<sample::ManifestPerson> manifest;
  std::vector<const sample::ManifestPerson*> deleted;  // the six
};

std::vector<std::string> MeasuredValues(const sample::ManifestPerson& p) {
  std::vector<std::string> values;
  for (const auto& v : p.values)
    if ((v.property == 3 || v.property == 4) && !sample::IsExcludedValue(v.value))
      values.push_back(v.value);
  return values;
}

void MakeCopyBook(CopyBook& book, bool wal,
                  const std::function<void(sqlite3*, const CopyBook&)>& before = nullptr) {
  const std::string db_path = book.dir.File("AddressBook.sqlitedb");
  sample::SampleOptions options;
  options.layout = 34;
  options.journal = wal ? sample::Journal::kWalCheckpointed : sample::Journal::kRollback;
  options.persons = 300;
  options.delete_percent = 30;
  options.seed = 21;
  book.manifest = sample::ParseManifest(sample::ManifestText(sample::MakeSampleBook(db_path, options)));
  for (const auto& p : book.manifest)
    if (!p.deleted && p.rowid >= 128 && !p.first.empty() && !MeasuredValues(p).empty() &&
        book.deleted.size() < 6)
      book.deleted.push_back(&p);
  ASSERT_EQ(book.deleted.size(), 6u);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  Exec(db, "PRAGMA secure_delete=OFF");
  if (wal) {
    Exec(db, "PRAGMA wal_autocheckpoint=0");
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  } else {
    Exec(db, "PRAGMA journal_mode=PERSIST");
  }
  if (before) before(db, book);
  std::string ids;
  for (const auto* p : book.deleted) ids += (ids.empty() ? "" : ",") + std::to_string(p->rowid);
  Exec(db, "BEGIN");
  Exec(db, "DELETE FROM ABMultiValue WHERE record_id IN (" + ids + ")");
  Exec(db, "DELETE FROM ABPerson WHERE ROWID IN (" + ids + ")");
  Exec(db, "COMMIT");
  ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
  const std::string database = ReadFile(db_path);
  const std::string kept = ReadFile(db_path + (wal ? "-wal" : "-journal"));
  ASSERT_GT(kept.size(), 1024u);
  book.image = book.dir.File("image.bin");
  fixtures::WriteFile(book.image, wal ? kept + database : database + kept);
}

// Inserts a person of rowid `id` whose record is `source`'s but for `change`
// (an SQL assignment list over the copied row, or empty), with a number of
// its own, `number`, when one is given.
void InsertLike(sqlite3* db, int64_t source, int64_t id, const std::string& change,
                const std::string& number = "") {
  Exec(db, "CREATE TEMP TABLE IF NOT EXISTS alike AS SELECT * FROM ABPerson WHERE 0");
  Exec(db, "DELETE FROM alike");
  Exec(db, "INSERT INTO alike SELECT * FROM ABPerson WHERE ROWID = " + std::to_string(source));
  Exec(db, "UPDATE alike SET ROWID = " + std::to_string(id) + (change.empty() ? "" : ", " + change));
  Exec(db, "INSERT INTO ABPerson SELECT * FROM alike");
  if (!number.empty())
    Exec(db, "INSERT INTO ABMultiValue (record_id, property, identifier, label, value) VALUES (" +
                 std::to_string(id) + ", 3, 0, 1, " + Quoted(number) + ")");
}

// The values LINKS names in `row` with how they were linked.
std::vector<std::pair<std::string, std::string>> Links(const std::vector<std::string>& row) {
  std::vector<std::pair<std::string, std::string>> links;
  std::string text = row[kLinks];
  while (!text.empty()) {
    const size_t end = std::min(text.find("; "), text.size());
    const std::string link = text.substr(0, end);
    text.erase(0, std::min(end + 2, text.size()));
    const size_t eq = link.rfind('=');
    if (eq != std::string::npos) links.emplace_back(link.substr(0, eq), link.substr(eq + 1));
  }
  return links;
}

// The values linked by copy, each with the names of the row it stands in.
std::vector<std::pair<std::string, std::pair<std::string, std::string>>> CopyLinks(
    const sample::ContactsReport& report) {
  std::vector<std::pair<std::string, std::pair<std::string, std::string>>> out;
  for (const auto& row : report.rows)
    for (const auto& [value, how] : Links(row))
      if (how == "copy") out.push_back({value, {row[4], row[5]}});
  return out;
}

class ContactsCopyTest : public ::testing::TestWithParam<bool> {};

TEST_P(ContactsCopyTest, AFreedPersonTakesItsRowidBackFromAWholeCopy) {
  CopyBook book;
  ASSERT_NO_FATAL_FAILURE(MakeCopyBook(book, GetParam()));
  const sample::ContactsReport report = RecoverDetails(book.image, book.dir.File("report.txt"));
  EXPECT_EQ(sample::MeasureRecovery(book.manifest, report).deleted_values_wrong_name, 0);
  // Every value a copy links stands beside its own person's names.
  std::map<std::string, std::set<std::pair<std::string, std::string>>> owners;
  for (const auto& p : book.manifest)
    for (const auto& v : p.values) owners[v.value].insert({p.first, p.last});
  const auto copy_links = CopyLinks(report);
  for (const auto& [value, names] : copy_links)
    EXPECT_EQ(owners[value].count(names), 1u) << value << " beside " << names.first;
  // The six persons' first rows are their freed cells (in the image's first
  // file), whose rowid a freeblock header overwrote unless the freed space
  // merged with a neighbour's; each takes its values, by rowid where its
  // cell kept it, else by copy.
  size_t persons_by_copy = 0;
  for (const auto* p : book.deleted) {
    const std::vector<std::string> values = MeasuredValues(*p);
    const std::vector<std::string>* first = nullptr;
    for (const auto& row : report.rows)
      if (row[4] == p->first && row[5] == p->last) {
        first = &row;
        break;
      }
    ASSERT_NE(first, nullptr) << p->first << " " << p->last;
    const auto links = Links(*first);
    EXPECT_EQ(links.size(), values.size()) << p->first << " " << p->last << ": " << (*first)[kLinks];
    if (!links.empty() && links.front().second == "copy") ++persons_by_copy;
  }
  EXPECT_GE(persons_by_copy, 2u);
}

TEST_P(ContactsCopyTest, CopiesUnderTwoRowidsLinkNothing) {
  // Live twins of the six, byte for byte their records under other rowids
  // (1990 on): each record's whole copies disagree on who it is.
  CopyBook book;
  ASSERT_NO_FATAL_FAILURE(MakeCopyBook(book, GetParam(), [](sqlite3* db, const CopyBook& b) {
    Exec(db, "BEGIN");
    for (size_t k = 0; k < b.deleted.size(); ++k)
      InsertLike(db, b.deleted[k]->rowid, 1990 + static_cast<int64_t>(k), "");
    Exec(db, "COMMIT");
  }));
  const sample::ContactsReport report = RecoverDetails(book.image, book.dir.File("report.txt"));
  EXPECT_TRUE(CopyLinks(report).empty()) << CopyLinks(report).front().first;
  // Those whose cell lost its rowid keep their values in rows of their own.
  size_t unlinked = 0;
  for (const auto* p : book.deleted)
    for (const auto& row : report.rows)
      if (row[4] == p->first && row[5] == p->last) {
        if (row[kLinks].empty()) ++unlinked;
        break;
      }
  EXPECT_GE(unlinked, 2u);
  // The twins' rows hold no value: none is theirs.
  for (const auto& row : report.rows)
    if (row[1].size() == 4 && row[1].substr(0, 3) == "199") EXPECT_EQ(row[kLinks], "") << row[1];
}

TEST_P(ContactsCopyTest, ANearMissOfAnotherPersonIsNoCopy) {
  // Live persons alike to each deleted one in all but one byte of their
  // records (a CreationDate a second later; a Note one letter longer), each
  // with a number of its own: no deleted row may take those numbers.
  CopyBook book;
  std::vector<std::string> near_numbers;
  ASSERT_NO_FATAL_FAILURE(MakeCopyBook(book, GetParam(), [&](sqlite3* db, const CopyBook& b) {
    Exec(db, "BEGIN");
    for (size_t k = 0; k < b.deleted.size(); ++k) {
      const std::string number = "+1 555 0190 " + std::to_string(100 + k);
      near_numbers.push_back(number);
      InsertLike(db, b.deleted[k]->rowid, 1900 + static_cast<int64_t>(k),
                 k % 2 ? "Note = coalesce(Note, '') || 'x'" : "CreationDate = CreationDate + 1",
                 number);
    }
    Exec(db, "COMMIT");
  }));
  const sample::ContactsReport report = RecoverDetails(book.image, book.dir.File("report.txt"));
  size_t by_copy = 0;
  for (const auto& [value, names] : CopyLinks(report)) {
    EXPECT_EQ(std::count(near_numbers.begin(), near_numbers.end(), value), 0) << value;
    ++by_copy;
  }
  EXPECT_GT(by_copy, 0u);  // the deleted persons' own copies still link them
  // Each near miss keeps its number in its own row, by rowid.
  for (size_t k = 0; k < near_numbers.size(); ++k) {
    bool found = false;
    for (const auto& row : report.rows)
      if (row[1] == std::to_string(1900 + k) && row[kLinks] == near_numbers[k] + "=rowid")
        found = true;
    EXPECT_TRUE(found) << near_numbers[k];
  }
}

// The copies found in the values' scan, as a lane beside it in small pages
// on two workers, are those a scan of their own finds.
TEST_P(ContactsCopyTest, CopiesFoundBesideTheValuesAreThoseOfAScanOfTheirOwn) {
  CopyBook book;
  ASSERT_NO_FATAL_FAILURE(MakeCopyBook(book, GetParam()));
  const Buffer buffer = LoadContactsBuffer(book.image, "0");
  const ContactsSchema schema = BuiltInContactsSchema();
  const std::optional<RecordCopies> alone = FindPersonCopies(buffer, schema, nullptr, 1);
  ASSERT_TRUE(alone.has_value());
  RecordCopies beside;
  const ScanLane lane = PersonCopiesLane(schema, beside);
  ScanParams params = ContactsScanParams(0, nullptr);
  params.threads = 2;
  params.page_size = 4096;
  int64_t values = 0;
  ASSERT_TRUE(ScanFormatted(
      buffer, LoadColumns(schema.multi_value_lines), params,
      [](const Match&, const ColumnList&, std::string&) { return true; },
      [&](int64_t, std::string_view) { ++values; }, lane));
  beside.Seal();
  auto entries = [](const RecordCopies& copies) {
    std::vector<std::pair<std::string, int>> list;
    copies.ForEachCopy([&](const CopyKey& key, int id) { list.emplace_back(CopyKeyText(key), id); });
    return list;
  };
  EXPECT_GT(values, 0);
  EXPECT_GT(entries(*alone).size(), 200u);
  EXPECT_EQ(entries(beside), entries(*alone));
}

INSTANTIATE_TEST_SUITE_P(Journals, ContactsCopyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Wal" : "RollbackJournal"; });

}  // namespace
}  // namespace quarrow

#endif
