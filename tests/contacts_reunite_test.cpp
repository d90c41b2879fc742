// Deleted persons reunited with their numbers and e-mail addresses: the
// search index's records as witnesses (value_links.h), values placed in the
// first row that proves them (value_placement.h), and whole books made by
// SQLite: values land in their person's row, never in another's, also where
// forged search records name many persons or one person many times.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "contacts/label_cells.h"
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
  // search-index link in a row of the value's owner by name.
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
      ASSERT_TRUE(how == "rowid" || how == "search-index") << link;
      if (how != "search-index") continue;
      ++search_links;
      EXPECT_EQ(owners[value].count({row[4], row[5]}), 1u) << value << " beside " << row[4] << " " << row[5];
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

}  // namespace
}  // namespace quarrow

#endif
