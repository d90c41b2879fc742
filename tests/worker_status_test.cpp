// Statuses looked up on the scan's workers (WorkerStatus, with every database
// mapped before the scan) against the lookup on the delivering thread, where
// the scan reports each database as it finds it: the same status for every
// match, whatever the scan's page size (seams inside database pages), thread
// count or candidate range.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/scan.h"
#include "pagemap/match_status.h"
#include "pagemap/page_map.h"
#include "pagemap/worker_status.h"
#include "search/find_data.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::SqliteDbOptions;
using fixtures::TempDir;

using Statuses = std::vector<std::pair<int64_t, std::string>>;  // position, status text

const std::vector<std::string> kDdl = {"t (id INTEGER PRIMARY KEY", "name TEXT",
                                       "note TEXT);"};

// A database of `page_size` with rows of t, a third of them deleted (freeblocks).
std::string MakeDatabase(const TempDir& dir, const std::string& name, int page_size, int rows) {
  const std::string path = dir.File(name);
  SqliteDbOptions options;
  options.page_size = page_size;
  SqliteDb db(path, options);
  db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, note TEXT)");
  db.Exec("BEGIN");
  for (int i = 1; i <= rows; ++i)
    db.Run("INSERT INTO t VALUES(?, ?, ?)",
           {i, "name-" + std::to_string(i), std::string(static_cast<size_t>(20 + i % 50), 'n')});
  db.Exec("COMMIT");
  db.Exec("DELETE FROM t WHERE id % 3 = 0");
  db.Close();
  return ReadFile(path);
}

// An image: junk, a database of 1 KiB pages, junk, one of 4 KiB pages, and
// the first again cut short; each database on a 512-byte boundary.
struct Image {
  std::string path;
  int64_t size = 0;
  int64_t second_start = 0;  // of the database of 4 KiB pages
};

Image MakeImage(const TempDir& dir) {
  std::string image(3 * 512, '\x5a');
  image += MakeDatabase(dir, "a.db", 1024, 300);
  image.append(5 * 512, '\x33');
  const auto second_start = static_cast<int64_t>(image.size());
  image += MakeDatabase(dir, "b.db", 4096, 400);
  const std::string again = MakeDatabase(dir, "c.db", 1024, 120);
  image += again.substr(0, again.size() / 2);
  image.append(700, '\x11');
  const std::string path = dir.File("image.bin");
  fixtures::WriteFile(path, image);
  return {path, static_cast<int64_t>(image.size()), second_start};
}

ScanParams Params(int threads, int64_t page_size) {
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.threads = threads;
  params.page_size = page_size;
  params.render_nothing = true;
  params.database_starts_past_range = false;
  return params;
}

// The lookup on the delivering thread, databases added as the scan finds them.
Statuses OnDelivery(const std::string& path, int64_t first, int64_t end) {
  Buffer buffer = LoadBuffer(path, [] { return BufferShape{}; });
  buffer.LimitCandidatesToInput(first, end);
  RunOptions options;
  options.details = true;
  MatchStatus status(path, buffer, options);
  ScanParams params = Params(1, int64_t{1} << 20);
  status.Attach(params);
  Statuses found;
  ScanFormatted(
      buffer, LoadColumns(kDdl), params,
      [](const Match&, const ColumnList&, std::string& out) {
        out += '.';
        return true;
      },
      [&](int64_t position, std::string_view) {
        found.emplace_back(position, StatusText(status.At(position)));
      });
  return found;
}

// The lookup on the workers, each with its own copy of the formatter's cursor.
Statuses OnWorkers(const std::string& path, int64_t first, int64_t end, int threads,
                   int64_t page_size) {
  Buffer buffer = LoadBuffer(path, [] { return BufferShape{}; });
  buffer.LimitCandidatesToInput(first, end);
  RunOptions options;
  options.details = true;
  MatchStatus status(path, buffer, options);
  status.MapDatabasesBefore(std::min(buffer.candidates_end(), buffer.size() - 1));
  WorkerStatus cursor(*status.map(), buffer.start_offset());
  Statuses found;
  ScanFormatted(
      buffer, LoadColumns(kDdl), Params(threads, page_size),
      [cursor](const Match& match, const ColumnList&, std::string& out) mutable {
        out += StatusText(cursor.At(match));
        return true;
      },
      [&](int64_t position, std::string_view text) { found.emplace_back(position, text); });
  return found;
}

TEST(WorkerStatus, SameStatusesAsTheDeliveringThreadAtEverySeam) {
  TempDir dir;
  const auto [image, size, second_start] = MakeImage(dir);
  const Statuses expected = OnDelivery(image, 0, size);
  // The image holds every kind a page of t can give, in both databases.
  std::set<std::string> kinds;
  int64_t in_second = 0;
  for (const auto& [position, status] : expected) {
    kinds.insert(status);
    in_second += position > second_start && status == "live";
  }
  EXPECT_TRUE(kinds.count("live") && kinds.count("freeblock") && kinds.count("unknown"))
      << kinds.size();
  ASSERT_GT(expected.size(), 300u);
  EXPECT_GT(in_second, 100);
  // Scan pages that cut database pages (and their cell pointers) anywhere.
  for (const int64_t page_size : {int64_t{1} << 20, int64_t{4096}, int64_t{1000}, int64_t{777}}) {
    for (const int threads : {1, 2, 3}) {
      EXPECT_EQ(OnWorkers(image, 0, size, threads, page_size), expected)
          << "page size " << page_size << ", threads " << threads;
    }
  }
}

TEST(WorkerStatus, ARangeSeesTheDatabasesBeforeIt) {
  TempDir dir;
  const auto [image, size, second_start] = MakeImage(dir);
  // Ranges starting inside the first database, inside the second, and one
  // ending before the third's header.
  for (const auto& [first, end] : {std::pair<int64_t, int64_t>{40000, size},
                                   {second_start + 5000, size}, {9000, size - 30000}}) {
    const Statuses expected = OnDelivery(image, first, end);
    ASSERT_FALSE(expected.empty()) << first;
    EXPECT_EQ(OnWorkers(image, first, end, 2, 1000), expected) << first << ":" << end;
  }
}

// A WAL as the input: each line's frame number is its own, made per line.
TEST(WorkerStatus, FindDetailsOnAWalNamesEachLinesFrame) {
  TempDir dir;
  const std::string path = dir.File("w.db");
  {
    SqliteDbOptions options;
    options.wal = true;
    options.keep_wal = true;
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, note TEXT)");
    for (int i = 1; i <= 60; ++i)
      db.Run("INSERT INTO t VALUES(?, ?, ?)", {i, "wal-" + std::to_string(i), std::string(900, 'w')});
    db.Close();
  }
  const std::string wal = path + "-wal";
  RunOptions options;
  options.details = true;
  options.threads = 2;
  const std::string report_path = dir.File("w.tsv");
  ASSERT_GT(FindData(kDdl, wal, report_path, nullptr, options), 50);
  PageMap map(wal);
  std::set<std::string> frames;
  size_t lines = 0;
  const std::string report = ReadFile(report_path);
  for (size_t at = report.find("\r\n") + 2; at < report.size();) {
    const size_t end = report.find("\r\n", at);
    std::vector<std::string> fields;
    for (size_t from = at; from < end;) {
      const size_t tab = report.find('\t', from);
      fields.push_back(report.substr(from, tab - from));
      from = tab + 1;
    }
    // ... offset, status, state, recovery: the status column is fourth from last.
    ASSERT_GE(fields.size(), 4u);
    const std::string& status = fields[fields.size() - 3];
    EXPECT_EQ(status, StatusText(map.StatusAt(std::stoll(fields[fields.size() - 4]))));
    frames.insert(status);
    lines += status.rfind("wal:", 0) == 0;
    at = end + 2;
  }
  EXPECT_GT(frames.size(), 5u);
  EXPECT_GT(lines, 50u);
}

}  // namespace
}  // namespace quarrow

namespace quarrow {
namespace {

// The starts read by several threads at once are those one thread reads, in
// the same order, with the buffer starting past the file's first sector (a
// start offset) and headers on the spans' seams.
TEST(ReportDatabaseStarts, SeveralThreadsFindWhatOneFinds) {
  constexpr int64_t kSize = int64_t{27} << 20, kOffset = 1536;
  std::string bytes(static_cast<size_t>(kSize), '\x07');
  std::mt19937 random(5);
  const std::string magic("SQLite format 3\0", 16);
  std::vector<int64_t> sectors;
  for (int k = 0; k < 300; ++k) sectors.push_back(int64_t{512} * (random() % (kSize / 512)));
  // On and around the 1 MiB seams the threads split at, and at the end.
  for (int64_t seam : {int64_t{9} << 20, int64_t{18} << 20})
    for (int64_t at : {seam - 512, seam, seam + 512}) sectors.push_back(at);
  sectors.push_back(kSize - 512);
  for (int64_t at : sectors) bytes.replace(static_cast<size_t>(at), 16, magic);
  // A magic string off a sector boundary is no start.
  bytes.replace(4096 + 8, 16, magic);
  Buffer buffer(std::make_shared<MemorySource>(bytes), kOffset, kSize - kOffset);
  auto starts = [&](int threads) {
    std::vector<int64_t> found;
    ReportDatabaseStarts(
        buffer, 0, buffer.size() - 1, [&](int64_t at) { found.push_back(at); }, threads);
    return found;
  };
  const std::vector<int64_t> one = starts(1);
  std::set<int64_t> expected;
  for (int64_t at : sectors) expected.insert(at - kOffset);
  EXPECT_EQ(one, std::vector<int64_t>(expected.begin(), expected.end()));
  EXPECT_EQ(starts(3), one);
  EXPECT_EQ(starts(2), one);
}

}  // namespace
}  // namespace quarrow
