// Each record's offset and status in the reports (--details), and reports of
// deleted data only (--deleted-only), checked against the generator's own list
// of live and deleted persons on real address books.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "contacts/contacts_recovery.h"
#include "sample_book.h"
#include "search/find_data.h"
#include "contacts_report_rows.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using testing::NoView;
using testing::ReportRows;

constexpr int kFirst = 4, kLast = 5, kOffset = 46, kStatus = 47;

std::string Contacts(const std::string& book, const std::string& out, bool deleted_only) {
  RunOptions options;
  options.details = true;
  options.deleted_only = deleted_only;
  LinesEditor editor;
  NoView view;
  ResultTable table;
  RecoverContacts(book, "0", out, editor, view, table, nullptr, options);
  return ReadFile(out);
}

// Persons by name: the statuses of their rows.
std::map<std::pair<std::string, std::string>, std::set<std::string>> StatusesByName(
    const std::string& report) {
  std::map<std::pair<std::string, std::string>, std::set<std::string>> found;
  for (const auto& row : ReportRows(report)) {
    if (row.size() <= kStatus) continue;
    found[{row[kFirst], row[kLast]}].insert(row[kStatus]);
  }
  return found;
}

using Setup = std::tuple<int, int, sample::Journal>;  // layout, page size, journal

class ContactsDetailsTest : public ::testing::TestWithParam<Setup> {};

TEST_P(ContactsDetailsTest, LivePersonsAreLiveAndDeletedOnesNeverAre) {
  TempDir dir;
  const auto [layout, page_size, journal] = GetParam();
  sample::SampleOptions options;
  options.layout = layout;
  options.page_size = page_size;
  options.journal = journal;
  options.persons = 120;
  options.seed = 5;
  const std::string book = dir.File("AddressBook.sqlitedb");
  const sample::SampleBook truth = sample::MakeSampleBook(book, options);

  const std::string plain = Contacts(book, dir.File("plain.txt"), false);
  ASSERT_EQ(ReportRows(plain).front().size(), 48u);
  EXPECT_EQ(ReportRows(plain).front()[kOffset], "OFFSET");
  EXPECT_EQ(ReportRows(plain).front()[kStatus], "STATUS");
  const auto statuses = StatusesByName(plain);
  const auto kept = StatusesByName(Contacts(book, dir.File("deleted.txt"), true));
  for (const sample::Person& person : truth.persons) {
    if (person.first.empty() && person.last.empty()) continue;
    auto found = statuses.find({person.first, person.last});
    if (!person.deleted) {
      ASSERT_NE(found, statuses.end()) << person.first << " " << person.last;
      // A live cell in a page that the WAL beside rewrote lives on in the WAL:
      // the database file's image of it is superseded.
      const bool live_here = found->second.count("live") == 1 ||
                             (journal == sample::Journal::kWal &&
                              found->second.count("superseded") == 1);
      EXPECT_TRUE(live_here) << person.first << " " << person.last;
      continue;
    }
    if (found == statuses.end()) continue;  // not recovered at all
    EXPECT_EQ(found->second.count("live"), 0u) << person.first << " " << person.last;
    // Deleted-only keeps every deleted person the plain report finds.
    EXPECT_EQ(kept.count({person.first, person.last}), 1u) << person.first << " " << person.last;
  }
  for (const auto& [name, set] : kept) EXPECT_EQ(set.count("live"), 0u) << name.first;
}

INSTANTIATE_TEST_SUITE_P(
    Books, ContactsDetailsTest,
    ::testing::Values(Setup{34, 4096, sample::Journal::kRollback},
                      Setup{34, 512, sample::Journal::kRollback},
                      Setup{38, 4096, sample::Journal::kWal},
                      Setup{36, 65536, sample::Journal::kWal},
                      Setup{38, 1024, sample::Journal::kWalCheckpointed}));

TEST(FindDetails, EveryFormatCarriesOffsetAndStatus) {
  TempDir dir;
  const std::string book = dir.File("book.db");
  sample::SampleOptions options;
  options.layout = 34;
  options.persons = 30;
  sample::MakeSampleBook(book, options);
  const std::vector<std::string> ddl = {"ABMultiValue (UID INTEGER PRIMARY KEY", "record_id INTEGER",
                                        "property INTEGER", "identifier INTEGER",
                                        "label INTEGER", "value TEXT);"};
  RunOptions details;
  details.details = true;

  const std::string plain_path = dir.File("plain.tsv"), tsv_path = dir.File("d.tsv");
  const int64_t records = FindData(ddl, book, plain_path);
  ASSERT_EQ(FindData(ddl, book, tsv_path, nullptr, details), records);
  const std::string plain = ReadFile(plain_path), tsv = ReadFile(tsv_path);
  ASSERT_EQ(tsv.substr(0, 10), "\xEF\xBB\xBFTABLE\r\n");
  // Each line is the plain line with offset and status added, TAB after each.
  size_t p = 10, d = 10, live = 0;
  for (int64_t k = 0; k < records; ++k) {
    size_t plain_end = plain.find("\r\n", p), end = tsv.find("\r\n", d);
    std::string line = tsv.substr(d, end - d), expected = plain.substr(p, plain_end - p);
    ASSERT_EQ(line.substr(0, expected.size()), expected);
    std::string extra = line.substr(expected.size());
    size_t tab = extra.find('\t');
    ASSERT_NE(tab, std::string::npos) << extra;
    EXPECT_FALSE(extra.substr(0, tab).empty());
    EXPECT_EQ(extra.back(), '\t');
    live += extra.substr(tab + 1) == "live\t";
    p = plain_end + 2;
    d = end + 2;
  }
  EXPECT_GT(live, 0u);

  details.format = ReportFormat::kCsv;
  FindData(ddl, book, dir.File("d.csv"), nullptr, details);
  const std::string csv = ReadFile(dir.File("d.csv"));
  const std::string head = csv.substr(0, csv.find("\r\n"));
  EXPECT_EQ(head.substr(head.size() - 14), ",offset,status");
  EXPECT_NE(csv.find(",live\r\n"), std::string::npos);

  details.format = ReportFormat::kJsonl;
  FindData(ddl, book, dir.File("d.jsonl"), nullptr, details);
  const std::string jsonl = ReadFile(dir.File("d.jsonl"));
  EXPECT_NE(jsonl.find(",\"status\":\"live\"}\n"), std::string::npos);
  EXPECT_EQ(jsonl.find("\"status\":\"live\"}{"), std::string::npos);
}

}  // namespace
}  // namespace quarrow
