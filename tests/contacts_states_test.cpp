// What contacts recovery says each record is (STATE in --details) and what
// --deleted-only keeps, on generated address books with a phone's history:
// edits of persons that stay, a layout upgrade, deletions before and after
// it, rollback journal and WAL; and the report's STATE in every format.
#if defined(QUARROW_HAVE_SAMPLE_BOOK) && defined(QUARROW_HAVE_RECOVERY_MEASURE)

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "contacts/contacts_schema.h"
#include "contacts_report_rows.h"
#include "recovery_measure.h"
#include "sample_book.h"
#include "schema/table_definitions.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using testing::ReportRows;

constexpr size_t kOffset = 46, kStatus = 47, kState = 48, kLinks = 49;

std::string Recover(const std::string& book, const std::string& out, bool details,
                    bool deleted_only = false, ReportFormat format = ReportFormat::kTsv) {
  RunOptions options;
  options.details = details;
  options.deleted_only = deleted_only;
  options.format = format;
  testing::RecoverContactsInto(book, out, options);
  return ReadFile(out);
}

// layout, upgraded from (0: never), journal, seed
using History = std::tuple<int, int, sample::Journal, int>;

class ContactsStatesTest : public ::testing::TestWithParam<History> {
 protected:
  void SetUp() override {
    const auto [layout, upgrade_from, journal, seed] = GetParam();
    sample::SampleOptions options;
    options.layout = layout;
    options.upgrade_from = upgrade_from;
    options.journal = journal;
    options.seed = static_cast<uint64_t>(seed);
    options.persons = 160;
    options.delete_percent = 30;
    options.edit_percent = 15;
    manifest = sample::ParseManifest(sample::ManifestText(sample::MakeSampleBook(book, options)));
    details = sample::ParseContactsReport(Recover(book, dir.File("details.txt"), true));
    deleted_only =
        sample::ParseContactsReport(Recover(book, dir.File("deleted.txt"), true, true));
    measure = sample::MeasureStates(manifest, details, deleted_only);
  }

  TempDir dir;
  std::string book = dir.File("AddressBook.sqlitedb");
  std::vector<sample::ManifestPerson> manifest;
  sample::ContactsReport details, deleted_only;
  sample::StateMeasure measure;
};

TEST_P(ContactsStatesTest, DeletedOnlyAccusesNoOneAndKeepsEveryDeletedPerson) {
  EXPECT_EQ(measure.live_rowid_rows, 0);
  EXPECT_EQ(measure.deleted_kept.found, measure.deleted_kept.total);
  EXPECT_GT(measure.deleted_kept.total, 20);
  // Deleted persons are never live or prior; deleted-only rows only deleted
  // or unknown.
  EXPECT_EQ(measure.deleted_by_state.found, measure.deleted_by_state.total);
  for (const auto& row : deleted_only.rows)
    EXPECT_TRUE(row[kState] == "deleted" || row[kState] == "unknown") << row[kState];
}

TEST_P(ContactsStatesTest, EarlierVersionsOfEditedPersonsArePrior) {
  ASSERT_GT(measure.earlier_versions.total, 0);
  // An earlier version whose rowid survives is prior, never deleted or live.
  EXPECT_EQ(measure.earlier_other, 0);
  if (std::get<2>(GetParam()) == sample::Journal::kWal) {
    // The WAL keeps the pages the latest edits rewrote: the file's images are
    // the earlier versions.
    EXPECT_GT(measure.earlier_versions.found, 0);
    EXPECT_GT(measure.earlier_prior, 0);
  }
}

TEST_P(ContactsStatesTest, PersonsDeletedBeforeAnUpgradeComeBackInTheirColumns) {
  if (std::get<1>(GetParam()) == 0) {
    EXPECT_EQ(measure.pre_upgrade_found.total, 0);  // every record in the book's layout
    return;
  }
  ASSERT_GT(measure.pre_upgrade_found.total, 5);
  // Most come back (some lost their first serial type to the freeblock
  // header, some their page to later writes), read right: their values in
  // their columns. (A freelist trunk page's leaf numbers may overwrite some
  // of a record's values; its First and Last, found, were read right.)
  EXPECT_GT(measure.pre_upgrade_found.found * 2, measure.pre_upgrade_found.total);
  EXPECT_GE(measure.pre_upgrade_columns.found * 10, measure.pre_upgrade_found.found * 9);
}

TEST_P(ContactsStatesTest, StatesFollowTheRowsWhereTheyLie) {
  std::set<std::string> states;
  for (const auto& row : details.rows) {
    states.insert(row[kState]);
    // A live cell is a live row whatever it holds.
    if (row[kStatus] == "live") EXPECT_EQ(row[kState], "live") << row[kOffset];
  }
  EXPECT_EQ(states.count("live"), 1u);
  EXPECT_EQ(states.count("deleted"), 1u);
  for (const std::string& state : states)
    EXPECT_TRUE(state == "live" || state == "prior" || state == "deleted" || state == "unknown")
        << state;
}

INSTANTIATE_TEST_SUITE_P(
    Books, ContactsStatesTest,
    ::testing::Values(History{34, 0, sample::Journal::kRollback, 1},
                      History{34, 0, sample::Journal::kWal, 2},
                      History{36, 0, sample::Journal::kWal, 3},
                      History{38, 0, sample::Journal::kRollback, 4},
                      History{36, 34, sample::Journal::kRollback, 5},
                      History{38, 34, sample::Journal::kWal, 6},
                      History{38, 34, sample::Journal::kRollback, 7},
                      History{38, 36, sample::Journal::kWal, 8}));

// The details' three columns come after the report's 46 in every format, and
// say the same for the same rows; the rows themselves are the plain report's.
TEST(ContactsStates, EveryFormatCarriesStateAfterStatusAndLinksAfterIt) {
  TempDir dir;
  const std::string book = dir.File("book.db");
  sample::SampleOptions options;
  options.layout = 38;
  options.persons = 60;
  options.edit_percent = 20;
  sample::MakeSampleBook(book, options);

  const std::string plain = Recover(book, dir.File("plain.txt"), false);
  const std::string tsv = Recover(book, dir.File("details.txt"), true);
  const auto plain_rows = ReportRows(plain);
  const auto tsv_rows = ReportRows(tsv);
  ASSERT_EQ(tsv_rows.size(), plain_rows.size());
  ASSERT_EQ(tsv_rows[0].size(), 50u);
  EXPECT_EQ(std::vector<std::string>(tsv_rows[0].begin() + 46, tsv_rows[0].end()),
            (std::vector<std::string>{"OFFSET", "STATUS", "STATE", "LINKS"}));
  for (size_t r = 0; r < plain_rows.size(); ++r)
    EXPECT_EQ(std::vector<std::string>(tsv_rows[r].begin(), tsv_rows[r].begin() + 46),
              plain_rows[r]);

  const std::string csv = Recover(book, dir.File("d.csv"), true, false, ReportFormat::kCsv);
  const std::string jsonl =
      Recover(book, dir.File("d.jsonl"), true, false, ReportFormat::kJsonl);
  EXPECT_EQ(csv.substr(0, csv.find("\r\n")).rfind(",offset,status,state,links"),
            csv.find("\r\n") - std::string(",offset,status,state,links").size());
  // Row by row, the csv line ends and the jsonl object starts with the tsv
  // row's offset, status and state.
  size_t csv_at = csv.find("\r\n") + 2, jsonl_at = 0;
  for (size_t r = 1; r < tsv_rows.size(); ++r) {
    const auto& row = tsv_rows[r];
    const size_t csv_end = csv.find("\r\n", csv_at);
    const std::string line = csv.substr(csv_at, csv_end - csv_at);
    const std::string tail =
        "," + row[kOffset] + "," + row[kStatus] + "," + row[kState] + "," + row[kLinks];
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << r;
    csv_at = csv_end + 2;
    const size_t jsonl_end = jsonl.find('\n', jsonl_at);
    const std::string object = jsonl.substr(jsonl_at, jsonl_end - jsonl_at);
    const std::string head = "{\"offset\":" + row[kOffset] + ",\"status\":\"" + row[kStatus] +
                             "\",\"state\":\"" + row[kState] + "\",\"links\":\"" + row[kLinks] +
                             "\",";
    EXPECT_EQ(object.substr(0, head.size()), head) << r;
    jsonl_at = jsonl_end + 1;
  }
  EXPECT_EQ(jsonl_at, jsonl.size());
}

// A book whose person table's schema text was damaged, and no other copy of
// it found: the built-in list serves, narrower than the book's 38 columns,
// and records are read by their own header, live and deleted.
TEST(ContactsStates, ADamagedDefinitionLeavesTheBuiltInListReadingRecordsByTheirHeader) {
  TempDir dir;
  const std::string book = dir.File("book.db");
  sample::SampleOptions options;
  options.layout = 38;
  options.journal = sample::Journal::kRollback;
  options.persons = 300;
  options.delete_percent = 30;
  options.seed = 3;
  options.damage = sample::SchemaDamage::kPerson;
  const auto manifest =
      sample::ParseManifest(sample::ManifestText(sample::MakeSampleBook(book, options)));
  const InputSchema input = ReadInputSchema(book);
  EXPECT_FALSE(input.Table("ABPerson"));
  EXPECT_EQ(input.unsound.count("ABPerson"), 1u);
  EXPECT_TRUE(ChooseContactsSchema(input).person_narrower);

  const sample::RecoveryMeasure measure = sample::MeasureRecovery(
      manifest, sample::ParseContactsReport(Recover(book, dir.File("report.txt"), false)));
  EXPECT_EQ(measure.live_persons.found, measure.live_persons.total);
  // Read after their first 34 serial types, most freed 38-column records
  // would lose their names; by their header, most come back.
  EXPECT_GT(measure.deleted_persons.found * 10, measure.deleted_persons.total * 8);
}

}  // namespace
}  // namespace quarrow

#endif  // QUARROW_HAVE_SAMPLE_BOOK && QUARROW_HAVE_RECOVERY_MEASURE
