// Each record's offset and status in the reports (--details), and reports of
// deleted data only (--deleted-only), checked against the generator's own list
// of live and deleted persons on real address books.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "contacts/contacts_recovery.h"
#include "pagemap/page_map.h"
#include "sample_book.h"
#include "engine/file_io.h"
#include "pagemap/page_status.h"
#include "search/details_lines.h"
#include "search/find_data.h"
#include "contacts_report_rows.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using testing::ReportRows;

constexpr int kFirst = 4, kLast = 5, kOffset = 46, kStatus = 47, kState = 48;

std::string Contacts(const std::string& book, const std::string& out, bool deleted_only) {
  RunOptions options;
  options.details = true;
  options.deleted_only = deleted_only;
  testing::RecoverContactsInto(book, out, options);
  return ReadFile(out);
}

// Persons by name: the statuses (or states) of their rows.
std::map<std::pair<std::string, std::string>, std::set<std::string>> StatusesByName(
    const std::string& report, int column = kStatus) {
  std::map<std::pair<std::string, std::string>, std::set<std::string>> found;
  for (const auto& row : ReportRows(report)) {
    if (row.size() <= static_cast<size_t>(column)) continue;
    found[{row[kFirst], row[kLast]}].insert(row[column]);
  }
  return found;
}

// layout, page size, journal, persons, seed
using Setup = std::tuple<int, int, sample::Journal, int, int>;

class ContactsDetailsTest : public ::testing::TestWithParam<Setup> {};

TEST_P(ContactsDetailsTest, LivePersonsAreLiveAndDeletedOnesNeverAre) {
  TempDir dir;
  const auto [layout, page_size, journal, persons, seed] = GetParam();
  sample::SampleOptions options;
  options.layout = layout;
  options.page_size = page_size;
  options.journal = journal;
  options.persons = persons;
  options.seed = seed;
  const std::string book = dir.File("AddressBook.sqlitedb");
  const sample::SampleBook truth = sample::MakeSampleBook(book, options);

  const std::string plain = Contacts(book, dir.File("plain.txt"), false);
  ASSERT_EQ(ReportRows(plain).front().size(), 50u);
  EXPECT_EQ(ReportRows(plain).front()[49], "LINKS");
  EXPECT_EQ(ReportRows(plain).front()[kOffset], "OFFSET");
  EXPECT_EQ(ReportRows(plain).front()[kStatus], "STATUS");
  EXPECT_EQ(ReportRows(plain).front()[kState], "STATE");
  const auto statuses = StatusesByName(plain);
  const auto states = StatusesByName(plain, kState);
  const std::string deleted_only = Contacts(book, dir.File("deleted.txt"), true);
  const auto kept = StatusesByName(deleted_only);
  for (const sample::Person& person : truth.persons) {
    if (person.first.empty() && person.last.empty()) continue;
    auto found = statuses.find({person.first, person.last});
    const auto states_found = states.find({person.first, person.last});
    const std::set<std::string> state =
        states_found == states.end() ? std::set<std::string>() : states_found->second;
    if (!person.deleted) {
      ASSERT_NE(found, statuses.end()) << person.first << " " << person.last;
      // A live cell in a page that the WAL beside rewrote lives on in the WAL:
      // the database file's image of it is superseded.
      const bool live_here = found->second.count("live") == 1 ||
                             (journal == sample::Journal::kWal &&
                              found->second.count("superseded") == 1);
      EXPECT_TRUE(live_here) << person.first << " " << person.last;
      // Whatever its status, its live cell or an exact image of it is live.
      EXPECT_EQ(state.count("live"), 1u) << person.first << " " << person.last;
      continue;
    }
    if (found == statuses.end()) continue;  // not recovered at all
    EXPECT_EQ(found->second.count("live"), 0u) << person.first << " " << person.last;
    EXPECT_EQ(state.count("live") + state.count("prior"), 0u)
        << person.first << " " << person.last;
    // Deleted-only keeps every deleted person the plain report finds.
    EXPECT_EQ(kept.count({person.first, person.last}), 1u) << person.first << " " << person.last;
  }
  for (const auto& [name, set] : kept) EXPECT_EQ(set.count("live"), 0u) << name.first;
  for (const auto& row : ReportRows(deleted_only)) {
    if (row.size() <= kState || row[kState] == "STATE") continue;
    EXPECT_TRUE(row[kState] == "deleted" || row[kState] == "unknown") << row[kState];
  }
  // Nor is any other image of a live person deleted data: an old copy, exact
  // or with its last bytes overwritten since (names a deleted person shares
  // prove nothing).
  std::set<std::pair<std::string, std::string>> deleted_names;
  for (const sample::Person& person : truth.persons)
    if (person.deleted) deleted_names.insert({person.first, person.last});
  for (const sample::Person& person : truth.persons) {
    if (person.deleted || deleted_names.count({person.first, person.last}) != 0) continue;
    if (person.first.empty() && person.last.empty()) continue;
    EXPECT_EQ(kept.count({person.first, person.last}), 0u) << person.first << " " << person.last;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Books, ContactsDetailsTest,
    ::testing::Values(Setup{34, 4096, sample::Journal::kRollback, 120, 5},
                      Setup{34, 512, sample::Journal::kRollback, 120, 5},
                      Setup{38, 4096, sample::Journal::kWal, 120, 5},
                      Setup{36, 65536, sample::Journal::kWal, 120, 5},
                      Setup{38, 1024, sample::Journal::kWalCheckpointed, 120, 5},
                      // Books whose table roots split over old images of live
                      // rows (superseded ones too, with the WAL), and one where
                      // a freed cell covered such an image's tail.
                      Setup{34, 4096, sample::Journal::kRollback, 300, 1},
                      Setup{34, 4096, sample::Journal::kRollback, 300, 2},
                      Setup{34, 4096, sample::Journal::kRollback, 300, 3},
                      Setup{38, 4096, sample::Journal::kWal, 300, 1},
                      Setup{38, 4096, sample::Journal::kWal, 300, 2},
                      Setup{38, 4096, sample::Journal::kWalCheckpointed, 300, 2}));

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
  // Each line is the plain line with offset, status, state and recovery
  // added, TAB after each; a column list names no table, so the state is
  // live where the record lies in a live cell, else unknown.
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
    const std::string rest = extra.substr(tab + 1);
    live += rest == "live\tlive\tintact\t";
    if (rest.rfind("live\t", 0) != 0) EXPECT_EQ(rest.substr(rest.find('\t')), "\tunknown\tintact\t");
    p = plain_end + 2;
    d = end + 2;
  }
  EXPECT_GT(live, 0u);

  details.format = ReportFormat::kCsv;
  FindData(ddl, book, dir.File("d.csv"), nullptr, details);
  const std::string csv = ReadFile(dir.File("d.csv"));
  const std::string head = csv.substr(0, csv.find("\r\n"));
  EXPECT_EQ(head.substr(head.size() - 29), ",offset,status,state,recovery");
  EXPECT_NE(csv.find(",live,live,intact\r\n"), std::string::npos);

  details.format = ReportFormat::kJsonl;
  FindData(ddl, book, dir.File("d.jsonl"), nullptr, details);
  const std::string jsonl = ReadFile(dir.File("d.jsonl"));
  EXPECT_NE(jsonl.find(",\"status\":\"live\",\"state\":\"live\",\"recovery\":\"intact\"}\n"),
            std::string::npos);
  EXPECT_EQ(jsonl.find("}{"), std::string::npos);
}

// Rows inserted until the table's root page splits: the root becomes an
// interior page whose cells, written at the page's end, overwrite the last
// bytes of the old leaf image of row 1 that lay there.
struct SplitRootBook {
  std::string path;
  std::string old_image;  // row 1's record as first written
  explicit SplitRootBook(const TempDir& dir, const std::string& name, bool edit_row_1) {
    path = dir.File(name);
    fixtures::SqliteDb db(path);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, note TEXT)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 100; ++i)
      db.Run("INSERT INTO t VALUES(?, ?, ?)",
             {i, "row-" + std::to_string(1000 + i), std::string(60, static_cast<char>('a' + i % 26))});
    db.Exec("COMMIT");
    // An edit in place after the split: same size, a different first value.
    if (edit_row_1) db.Run("UPDATE t SET name = 'ROW-1001' WHERE id = 1");
    db.Close();
    // header: length, NULL id, 8-byte text, 60-byte text (2-byte type)
    old_image = std::string("\x05\x00\x1d\x81\x05", 5) + "row-1001" + std::string(60, 'b');
  }
};

// Lines gathered by page reach the report whole and in order: after what the
// report holds, across pages, with long heads, every status and a WAL frame's
// number.
TEST(FindDetails, GatheredLinesReachTheReportWholeAndInOrder) {
  TempDir dir;
  const std::string path = dir.File("lines.tsv");
  std::string expected;
  {
    OutputFile report(path);
    report.Write("TOP\r\n");
    expected += "TOP\r\n";
    DetailsLines lines(report, [](const PageStatus& status) {
      return StatusText(status) + "\t\r\n";
    });
    const std::vector<PageStatus> statuses = {
        {Status::kLive, 0},     {Status::kSuperseded, 0}, {Status::kFreeblock, 0},
        {Status::kFreelist, 0}, {Status::kWal, 123456789}, {Status::kJournal, 0},
        {Status::kUnknown, 0}};
    std::deque<std::string> page;  // the heads live until their page ends
    for (int i = 0; i < 60000; ++i) {
      // Heads of 1 to 400 bytes, and now and then a long one.
      std::string& head = page.emplace_back("r" + std::to_string(i) + "\t");
      head.append(static_cast<size_t>(i % 400), static_cast<char>('a' + i % 26));
      if (i % 20000 == 7) head.append(size_t{5} << 20, 'L');
      const PageStatus status = {statuses[static_cast<size_t>(i) % statuses.size()].status,
                                 i % 7 == 4 ? i : 0};
      lines.Append(head, status);
      expected += head + StatusText(status) + "\t\r\n";
      if (i % 1500 == 1499) {
        lines.EndPage();
        page.clear();
      }
    }
    lines.EndPage();
    report.Close();
  }
  const std::string written = ReadFile(path);
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
  // Heads 1,600 and 57,600 end in a TAB, and their lines hold WAL frames.
  EXPECT_NE(written.find("r1600\twal:1600\t\r\n"), std::string::npos);
  EXPECT_NE(written.find("r57600\twal:57600\t\r\n"), std::string::npos);
}

TEST(DeletedOnly, OldImagesWithOverwrittenTailsGoUnlessTheRowChanged) {
  TempDir dir;
  const std::vector<std::string> ddl = {"t (id INTEGER PRIMARY KEY", "name TEXT", "note TEXT);"};
  for (const bool edited : {false, true}) {
    SCOPED_TRACE(edited ? "row 1 edited" : "row 1 unchanged");
    const SplitRootBook book(dir, edited ? "edited.db" : "plain.db", edited);
    const std::string bytes = ReadFile(book.path);
    // The old image keeps its header and first bytes, not its last ones (the
    // live cell, when unchanged, keeps all of them).
    size_t at = std::string::npos;
    int overwritten = 0;
    for (size_t p = bytes.find(book.old_image.substr(0, 40)); p != std::string::npos;
         p = bytes.find(book.old_image.substr(0, 40), p + 1)) {
      if (bytes.compare(p, book.old_image.size(), book.old_image) == 0) continue;
      at = p;
      ++overwritten;
    }
    ASSERT_EQ(overwritten, 1);

    PageMapOptions options;
    options.copy_index = true;
    PageMap map(book.path, options);
    EXPECT_EQ(map.StatusAt(static_cast<int64_t>(at)).status, Status::kFreeblock);
    EXPECT_FALSE(map.IsCopyOfLiveCell(1, book.old_image.size(), std::string_view(bytes).substr(at)));
    EXPECT_EQ(map.IsOverwrittenCopyOfLiveCell(static_cast<int64_t>(at),
                                              std::string_view(bytes).substr(at)),
              !edited);

    // Through the command: the old image is left out of deleted data only
    // while it still says what the live row says.
    RunOptions deleted_only;
    deleted_only.details = true;
    deleted_only.deleted_only = true;
    const std::string report = dir.File("report.txt");
    FindData(ddl, book.path, report, nullptr, deleted_only);
    const std::string text = ReadFile(report);
    EXPECT_EQ(text.find("\trow-1001\t") != std::string::npos, edited) << text;
    EXPECT_EQ(text.find("ROW-1001"), std::string::npos) << text;  // the live row
  }
}

}  // namespace
}  // namespace quarrow
