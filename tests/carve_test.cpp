// The table carver end to end, on databases SQLite itself wrote: rows of
// tables with and without an INTEGER PRIMARY KEY deleted singly, in runs and
// in bulk, overflow records, dropped tables, rows older than an ADD COLUMN,
// deletions and edits in a WAL; and the freed-cell rebuild on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <tuple>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "carve/freed_cell.h"
#include "carve/record_fit.h"
#include "command_helpers.h"
#include "fixtures/sqlite_fixture.h"
#include "pagemap/sqlite_format.h"

namespace quarrow {
namespace {

using fixtures::SqliteDb;
using fixtures::SqliteDbOptions;
using fixtures::TempDir;
using testing::RunCli;

// One report line of `find --table --details` (tsv): its fields.
struct Line {
  std::vector<std::string> fields;
  // The columns' values, after the three numbers, before the four details.
  std::vector<std::string> Values() const {
    return {fields.begin() + 3, fields.end() - 4};
  }
  const std::string& Rowid() const { return fields[1]; }
  const std::string& Status() const { return fields[fields.size() - 3]; }
  const std::string& State() const { return fields[fields.size() - 2]; }
  const std::string& Recovery() const { return fields[fields.size() - 1]; }
};

std::vector<Line> ReadReport(const std::string& path) {
  std::string text = fixtures::ReadFile(path);
  EXPECT_EQ(text.rfind("\xEF\xBB\xBFTABLE\r\n", 0), 0u) << path;
  std::vector<Line> lines;
  size_t at = text.find("\r\n") + 2;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    std::string line = text.substr(at, end - at);
    at = end + 2;
    Line parsed;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      parsed.fields.push_back(line.substr(start, tab - start));
    lines.push_back(std::move(parsed));
  }
  return lines;
}

std::vector<Line> Carve(const std::string& input, const std::string& table, const TempDir& dir,
                        std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"find", "--table", table, "--details"};
  args.insert(args.end(), extra.begin(), extra.end());
  const std::string out = dir.File(table + ".tsv");
  args.push_back(input);
  args.push_back(out);
  testing::CliRun run = RunCli(args);
  EXPECT_EQ(run.status, 0) << run.err;
  return ReadReport(out);
}

// The rows of `table` as SQLite reads them, each as its values' texts the way
// the report writes them (a real in shortest form); keyed by rowid.
using Rows = std::map<int64_t, std::vector<std::string>>;

std::string RealText(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A deterministic mix of values for the tables below.
struct RowMaker {
  uint64_t state = 12345;
  uint64_t Next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  }
  std::string Name(int i) { return "name" + std::to_string(i) + std::string(Next() % 40, 'y'); }
};

// The values of report lines whose rowid is `rowid` or lost, and whose other
// values equal `values` (the rowid column given as "" when lost).
bool Recovered(const std::vector<Line>& lines, const std::vector<std::string>& values,
               int rowid_column = -1) {
  for (const Line& line : lines) {
    std::vector<std::string> got = line.Values();
    std::vector<std::string> want = values;
    if (rowid_column >= 0 && got[rowid_column].empty()) want[rowid_column] = "";
    if (got == want && line.Recovery() != "partial") return true;
  }
  return false;
}

class CarveTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

// The issue's own scenario: u(uid INT NOT NULL, ...) beside t(id INTEGER
// PRIMARY KEY, ...), 200 rows each, 60 deleted singly.
TEST_F(CarveTest, TablesWithAndWithoutRowidAliasGiveBackEveryDeletedRowAndNoOtherTables) {
  const std::string path = dir_.File("db.sqlite");
  Rows u_rows, t_rows;
  std::set<int64_t> deleted;
  {
    SqliteDb db(path);
    db.Exec("CREATE TABLE u(uid INT NOT NULL, name TEXT, n INTEGER);"
            "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL)");
    RowMaker make;
    db.Exec("BEGIN");
    for (int i = 1; i <= 200; ++i) {
      const int64_t uid = static_cast<int64_t>(make.Next() % 100000) + 1;
      const std::string name = make.Name(i);
      const int64_t n = static_cast<int64_t>(make.Next() % 2001) - 1000;
      db.Run("INSERT INTO u VALUES(?, ?, ?)", {uid, name, n});
      u_rows[i] = {std::to_string(uid), name, std::to_string(n)};
      const double x = static_cast<double>(make.Next() % 1000000) / 7.0;
      db.Run("INSERT INTO t(name, n, x) VALUES(?, ?, ?)", {"T" + name, n * 37, x});
      t_rows[i] = {std::to_string(i), "T" + name, std::to_string(n * 37), RealText(x)};
    }
    db.Exec("COMMIT");
    while (deleted.size() < 60) deleted.insert(static_cast<int64_t>(make.Next() % 200) + 1);
    for (int64_t rowid : deleted) {
      db.Run("DELETE FROM u WHERE rowid = ?", {rowid});
      db.Run("DELETE FROM t WHERE rowid = ?", {rowid});
    }
    db.Close();
  }
  for (const auto& [name, rows, rowid_column] :
       {std::tuple{"u", u_rows, -1}, std::tuple{"t", t_rows, 0}}) {
    SCOPED_TRACE(name);
    const std::vector<Line> lines = Carve(path, name, dir_);
    // A row whose name a later use of its page overwrote cannot come back;
    // every other one must.
    const std::string bytes = fixtures::ReadFile(path);
    int recovered = 0, survived = 0;
    std::string missing;
    for (int64_t rowid : deleted) {
      const std::vector<std::string>& values = rows.at(rowid);
      if (bytes.find(values[1]) == std::string::npos) continue;
      ++survived;
      const bool found = Recovered(lines, values, rowid_column);
      recovered += found;
      if (!found) missing += " " + std::to_string(rowid) + ":" + values[1];
    }
    EXPECT_GE(survived, 30) << name;
    EXPECT_GE(recovered * 100, survived * 99) << name << " missing" << missing;
    // Every line is a row that existed, read with the right table.
    std::set<std::vector<std::string>> existed;
    for (const auto& [rowid, values] : rows) {
      existed.insert(values);
      std::vector<std::string> lost_rowid = values;
      if (rowid_column >= 0) lost_rowid[rowid_column] = "";
      existed.insert(lost_rowid);
    }
    int false_rows = 0;
    for (const Line& line : lines)
      false_rows += line.Recovery() != "partial" && !existed.count(line.Values());
    EXPECT_LE(false_rows * 50, static_cast<int>(lines.size())) << name << ": over 2% false";
    // Live rows all found, as live.
    int live = 0;
    for (const Line& line : lines) live += line.Status() == "live" && line.State() == "live";
    EXPECT_EQ(live, 140) << name;
    // --deleted-only accuses no live row.
    for (const Line& line : Carve(path, name, dir_, {"--deleted-only"})) {
      EXPECT_TRUE(line.State() == "deleted" || line.State() == "unknown");
      if (!line.Rowid().empty()) EXPECT_TRUE(deleted.count(std::stoll(line.Rowid()))) << line.Rowid();
    }
  }
}

// Records are judged and their lines made on the scan's workers, chunk by
// chunk: over an input of several chunks (a database repeated, as an image
// holds copies), every thread count and --range shards give one report.
TEST_F(CarveTest, ReportsAreTheSameOnOneThreadOrSeveralAndAcrossChunkSeams) {
  const std::string path = dir_.File("one.sqlite");
  {
    SqliteDb db(path);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL, b BLOB)");
    RowMaker make;
    db.Exec("BEGIN");
    for (int i = 1; i <= 300; ++i) {
      std::string blob(1 + make.Next() % 12, '\0');
      for (char& c : blob) c = static_cast<char>(make.Next());
      db.Run("INSERT INTO t(name, n, x, b) VALUES(?, ?, ?, ?)",
             {make.Name(i) + "\t\"q\",", static_cast<int64_t>(make.Next()) - (1 << 30),
              static_cast<double>(make.Next() % 100000) / 3.0, fixtures::SqlParam::Blob(blob)});
    }
    db.Exec("COMMIT");
    db.Exec("DELETE FROM t WHERE id % 5 = 0");
    db.Close();
  }
  const std::string one = fixtures::ReadFile(path);
  std::string image;
  while (image.size() < (size_t{17} << 20)) image += one;  // three chunks of the scan
  const std::string input = dir_.File("image.bin");
  fixtures::WriteFile(input, image);
  const std::vector<std::vector<std::string>> runs = {
      {"--details"}, {"--details", "--deleted-only", "--format", "csv"},
      {"--details", "--format", "jsonl"}};
  for (const std::vector<std::string>& extra : runs) {
    SCOPED_TRACE(extra.back());
    std::string first;
    for (const char* threads : {"1", "2", "3"}) {
      std::vector<std::string> args = {"find", "--table", "t", "--threads", threads};
      args.insert(args.end(), extra.begin(), extra.end());
      const std::string out = dir_.File(std::string("t") + threads);
      args.push_back(input);
      args.push_back(out);
      const testing::CliRun run = RunCli(args);
      ASSERT_EQ(run.status, 0) << run.err;
      const std::string report = fixtures::ReadFile(out);
      if (first.empty()) {
        first = report;
        // Every copy's rows: 240 live or 60 deleted a copy, at least.
        EXPECT_GE(std::count(report.begin(), report.end(), '\n'), 17 * 60) << report.substr(0, 400);
      } else {
        EXPECT_TRUE(report == first) << "threads " << threads;
      }
    }
  }
  // Shards whose seams fall inside records, joined, give the whole report.
  const std::string whole = dir_.File("whole.tsv");
  ASSERT_EQ(RunCli({"find", "--table", "t", "--details", input, whole}).status, 0);
  std::string joined;
  const int64_t size = static_cast<int64_t>(image.size()), step = size / 3 + 4097;
  for (int64_t at = 0; at < size; at += step) {
    const std::string part = dir_.File("part" + std::to_string(at));
    const std::string range = std::to_string(at) + ":" + std::to_string(at + step);
    ASSERT_EQ(RunCli({"find", "--table", "t", "--details", "--range", range, input, part}).status, 0);
    const std::string text = fixtures::ReadFile(part);
    joined += at == 0 ? text : text.substr(text.find("\r\n") + 2);
  }
  EXPECT_TRUE(joined == fixtures::ReadFile(whole));
}

TEST_F(CarveTest, RecordRuleFollowsAffinityAndConstraints) {
  const FitTable table = FitTableOf(*ParseCreateTable(
      "CREATE TABLE t(id INTEGER PRIMARY KEY, a INT NOT NULL, b REAL, c TEXT, d BLOB, e)"));
  ASSERT_EQ(table.rowid_column, 0);
  EXPECT_TRUE(SerialTypeFits(table.columns[0], 0));
  EXPECT_FALSE(SerialTypeFits(table.columns[0], 1));  // the rowid alias is stored as NULL
  EXPECT_FALSE(SerialTypeFits(table.columns[1], 0));  // NOT NULL
  EXPECT_TRUE(SerialTypeFits(table.columns[1], 9));
  EXPECT_FALSE(SerialTypeFits(table.columns[1], 13));  // no text in an INT column
  EXPECT_TRUE(SerialTypeFits(table.columns[2], 7));
  EXPECT_TRUE(SerialTypeFits(table.columns[2], 1));  // a small integral REAL
  EXPECT_FALSE(SerialTypeFits(table.columns[3], 1));
  EXPECT_TRUE(SerialTypeFits(table.columns[3], 15));
  EXPECT_TRUE(SerialTypeFits(table.columns[4], 12));
  EXPECT_FALSE(SerialTypeFits(table.columns[4], 10));  // reserved types never
  EXPECT_TRUE(SerialTypeFits(table.columns[5], 7));
  // PRIMARY KEY of a type other than INTEGER does not alias the rowid.
  EXPECT_EQ(FitTableOf(*ParseCreateTable("CREATE TABLE x(id INT PRIMARY KEY, v)")).rowid_column, -1);
  EXPECT_EQ(FitTableOf(*ParseCreateTable("CREATE TABLE x(id INTEGER, v, PRIMARY KEY(id))")).rowid_column, 0);
  EXPECT_TRUE(ParseCreateTable("CREATE TABLE w(a PRIMARY KEY, b) WITHOUT ROWID")->without_rowid);

  // A header whose length disagrees with its types, or with more types than
  // columns, does not fit.
  FitHeader header;
  const uint8_t good[] = {7, 0, 1, 7, 15, 12, 0};
  EXPECT_TRUE(ReadFittingHeader(good, good + sizeof good, table, header));
  EXPECT_EQ(header.body_size, 1u + 8 + 1);
  // Five types for six columns fit only where rows older than a column may be.
  const uint8_t five_types[] = {6, 0, 1, 7, 15, 12, 0};
  EXPECT_FALSE(ReadFittingHeader(five_types, five_types + 7, table, header));
  FitTable grown = table;
  grown.min_columns = 5;
  EXPECT_TRUE(ReadFittingHeader(five_types, five_types + 7, grown, header));
  const uint8_t too_many[] = {8, 0, 1, 7, 15, 12, 0, 0};
  EXPECT_FALSE(ReadFittingHeader(too_many, too_many + 8, table, header));
}

// Rows deleted in runs merge their freeblocks; each cell of the run comes
// back, the ones after the first found by old freeblock headers or whole.
TEST_F(CarveTest, RunsOfDeletedRowsAndOverflowRecordsComeBackAtEveryPageSize) {
  for (int page_size : {512, 4096, 65536}) {
    SCOPED_TRACE(page_size);
    const std::string path = dir_.File("runs" + std::to_string(page_size) + ".sqlite");
    Rows rows;
    std::map<int64_t, std::string> blobs;
    {
      SqliteDbOptions options;
      options.page_size = page_size;
      SqliteDb db(path, options);
      db.Exec("CREATE TABLE r(a TEXT NOT NULL, b INTEGER, c BLOB)");
      RowMaker make;
      db.Exec("BEGIN");
      for (int i = 1; i <= 300; ++i) {
        std::string a = make.Name(i);
        // Every tenth row spills into overflow pages.
        if (i % 10 == 0) a += std::string(static_cast<size_t>(page_size) + 900 + i, 'o');
        const int64_t b = static_cast<int64_t>(make.Next()) - (int64_t{1} << 30);
        std::string c(1 + make.Next() % 20, '\0');
        for (char& ch : c) ch = static_cast<char>(make.Next());
        db.Run("INSERT INTO r VALUES(?, ?, ?)", {a, b, fixtures::SqlParam::Blob(c)});
        std::string hex;
        for (char ch : c) {
          static constexpr char kDigits[] = "0123456789abcdef";
          hex += kDigits[static_cast<uint8_t>(ch) >> 4];
          hex += kDigits[static_cast<uint8_t>(ch) & 15];
        }
        rows[i] = {a, std::to_string(b), hex};
        blobs[i] = c;
      }
      db.Exec("COMMIT");
      db.Exec("DELETE FROM r WHERE rowid BETWEEN 41 AND 47");
      db.Exec("DELETE FROM r WHERE rowid IN (100, 150, 200, 251)");
      db.Close();
    }
    const std::vector<Line> lines = Carve(path, "r", dir_);
    // A row survives when its first value's bytes (its first 30 for a
    // record that spills) and its last value's lie in the file; every row
    // that survives comes back whole.
    const std::string bytes = fixtures::ReadFile(path);
    int recovered = 0, survived = 0;
    std::string missing;
    for (int64_t rowid : {41, 42, 43, 44, 45, 46, 47, 100, 150, 200, 251}) {
      const std::vector<std::string>& values = rows.at(rowid);
      const std::string& a = values[0];
      const std::string c = blobs.at(rowid);
      if (bytes.find(a.size() > 600 ? a.substr(0, 30) : a) == std::string::npos ||
          bytes.find(c) == std::string::npos)
        continue;
      ++survived;
      bool found = Recovered(lines, values);
      // A freed chain whose first page became a freelist trunk is broken:
      // the record comes back partial, its text cut where the chain broke.
      for (const Line& line : lines) {
        const std::string text = line.Values()[0];
        found |= a.size() > 600 && line.Recovery() == "partial" && text.size() >= 30 &&
                 a.compare(0, text.size(), text) == 0;
      }
      recovered += found;
      if (!found) missing += " " + std::to_string(rowid);
    }
    EXPECT_GE(survived, 2);
    EXPECT_EQ(recovered, survived) << "missing" << missing;
    // Live overflow records read whole through their chains.
    EXPECT_TRUE(Recovered(lines, rows.at(10)));
    EXPECT_TRUE(Recovered(lines, rows.at(290)));
  }
}

TEST_F(CarveTest, DroppedTablesAndRowsOlderThanAnAddedColumn) {
  const std::string path = dir_.File("drop.sqlite");
  {
    SqliteDb db(path);
    db.Exec("CREATE TABLE keep(k INTEGER PRIMARY KEY, v TEXT);"
            "CREATE TABLE gone(g INTEGER PRIMARY KEY, label TEXT NOT NULL, amount REAL)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 120; ++i) {
      db.Run("INSERT INTO keep(v) VALUES(?)", {"keep" + std::to_string(i)});
      db.Run("INSERT INTO gone(label, amount) VALUES(?, ?)",
             {"label" + std::to_string(i), i * 1.25});
    }
    db.Exec("COMMIT");
    db.Exec("ALTER TABLE keep ADD COLUMN added INTEGER DEFAULT 7");
    db.Exec("ALTER TABLE keep ADD COLUMN note TEXT");
    db.Run("INSERT INTO keep(v, added, note) VALUES('new', 8, 'n')");
    db.Exec("DROP TABLE gone");
    db.Exec("DELETE FROM keep WHERE k IN (3, 121)");
    db.Close();
  }
  const std::vector<Line> gone = Carve(path, "gone", dir_);
  int found = 0;
  for (int i = 1; i <= 120; ++i)
    found += Recovered(gone, {std::to_string(i), "label" + std::to_string(i), RealText(i * 1.25)});
  EXPECT_GE(found, 114) << "95% of a dropped table's rows";
  for (const Line& line : gone) EXPECT_NE(line.State(), "live");

  const std::vector<Line> keep = Carve(path, "keep", dir_);
  // A row older than the ADD COLUMNs reads the DEFAULT and NULL, as SQLite reads it.
  EXPECT_TRUE(Recovered(keep, {"3", "keep3", "7", ""}, 0));
  EXPECT_TRUE(Recovered(keep, {"121", "new", "8", "n"}, 0));
  EXPECT_TRUE(Recovered(keep, {"5", "keep5", "7", ""}, 0));

  // --all-tables: one report per table, live and dropped, and the summary.
  const std::string folder = dir_.File("all");
  testing::CliRun run = RunCli({"find", "--all-tables", path, folder});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(folder + "/keep.tsv"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/gone.tsv"));
  const std::string summary = fixtures::ReadFile(folder + "/tables.tsv");
  EXPECT_NE(summary.find("gone\tdropped\t3\t"), std::string::npos) << summary;
  EXPECT_NE(summary.find("keep\tdatabase\t4\t"), std::string::npos) << summary;
}

// A log that a checkpoint restarted keeps the earlier generation's frames past
// the new one's end. A row deleted there whose overflow pages another table
// took since comes back whole: its chain is read from its own generation.
TEST_F(CarveTest, OverflowChainsAreReadFromTheirOwnGenerationOfTheLog) {
  const std::string path = dir_.File("generations.sqlite");
  const std::string body(3000, 'b');
  {
    SqliteDbOptions options;
    options.wal = true;
    options.keep_wal = true;
    options.page_size = 1024;
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE big(id INTEGER PRIMARY KEY, title TEXT, body TEXT)");
    db.Exec("CREATE TABLE other(id INTEGER PRIMARY KEY, data BLOB)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 8; ++i)
      db.Run("INSERT INTO big(title, body) VALUES(?, ?)",
             {"title" + std::to_string(i), std::to_string(i) + body});
    db.Exec("COMMIT");
    db.Exec("DELETE FROM big WHERE id = 3");
    db.Exec("INSERT INTO other(data) VALUES(zeroblob(2500))");
    db.Exec("PRAGMA wal_checkpoint(PASSIVE)");
    // The next write starts the log again from its first frame.
    db.Exec("INSERT INTO other(data) VALUES(x'01')");
    db.Close();
  }
  bool whole = false;
  for (const Line& line : Carve(path + "-wal", "big", dir_)) {
    const std::vector<std::string> values = line.Values();
    if (values[1] != "title3") continue;
    EXPECT_TRUE(values[2] == "3" + body || line.Recovery() == "partial") << "no wrong body";
    whole |= values[2] == "3" + body && line.Recovery() != "partial";
  }
  EXPECT_TRUE(whole);
}

// Five rows of o(id, title, body), `body(row)` each, in 4096-byte pages, row
// 2 deleted after a freelist trunk was made (so its chain's pages become
// leaves that keep their bytes); then the page holding `over` is replaced by
// the page holding `from`, whose next-page pointer goes to `next`. Returns the
// carved lines of title2 from the edited database.
std::vector<std::vector<std::string>> Title2AfterPageCopy(
    const TempDir& dir, const std::string& name, const std::function<std::string(int)>& body,
    const std::string& over, const std::string& from, uint32_t& next) {
  const std::string path = dir.File(name + ".sqlite");
  {
    SqliteDbOptions options;
    options.page_size = 4096;
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE o(id INTEGER PRIMARY KEY, title TEXT, body TEXT)");
    db.Exec("CREATE TABLE scratch(s)");
    for (int row = 1; row <= 5; ++row)
      db.Run("INSERT INTO o(title, body) VALUES(?, ?)", {"title" + std::to_string(row), body(row)});
    db.Exec("DROP TABLE scratch");
    db.Exec("DELETE FROM o WHERE id = 2");
    db.Close();
  }
  std::string bytes = fixtures::ReadFile(path);
  const size_t at_over = bytes.find(over), at_from = bytes.find(from);
  EXPECT_NE(at_over, std::string::npos) << over;
  EXPECT_NE(at_from, std::string::npos) << from;
  const size_t target = at_over / 4096 * 4096, source = at_from / 4096 * 4096;
  next = sqlite_format::Get32(reinterpret_cast<const uint8_t*>(bytes.data()) + source);
  bytes.replace(target, 4096, bytes.substr(source, 4096));
  const std::string edited = dir.File(name + "-edited.sqlite");
  fixtures::WriteFile(edited, bytes);
  std::vector<std::vector<std::string>> found;
  for (const Line& line : Carve(edited, "o", dir)) {
    std::vector<std::string> values = line.Values();
    if (values[1] != "title2") continue;
    values.push_back(line.Recovery());
    found.push_back(std::move(values));
  }
  return found;
}

// SQLite ends every overflow chain with a zero pointer. A freed chain whose
// last page was taken by another record's chain (simulated by copying a
// middle page of another chain over it) must not lend that record's bytes:
// the row comes back partial, never with a wrong body.
TEST_F(CarveTest, AChainWhoseLastPageGoesOnIsNotTheRecords) {
  auto body = [](int row) {
    // Two cells a leaf, each with a chain of two pages; the marker MID lies in
    // the first of them.
    std::string text = std::to_string(row) + std::string(4000, static_cast<char>('a' + row));
    return text + "MID" + std::to_string(row) + std::string(6000, 'q') + "END" + std::to_string(row);
  };
  uint32_t next = 0;
  const auto rows = Title2AfterPageCopy(dir_, "chain", body, "END2", "MID4", next);
  ASSERT_NE(next, 0u);
  EXPECT_GE(rows.size(), 1u);
  for (const std::vector<std::string>& values : rows) {
    EXPECT_EQ(values.back(), "partial");
    EXPECT_EQ(values[2].find("MID4"), std::string::npos) << "another record's bytes";
  }
}

// A freed chain whose first page was taken by another record's last page
// (simulated by copying that page over it) ends too soon: where the chain
// broke cannot be told, so the row keeps only its cell's bytes, and a text
// cut there keeps only whole characters (three tails put the cut at each
// byte of a three-byte character).
TEST_F(CarveTest, ABrokenChainLeavesTheCellsOwnBytesCutAtAWholeCharacter) {
  for (int extra = 0; extra < 3; ++extra) {
    SCOPED_TRACE(extra);
    auto body = [extra](int row) {
      std::string text = std::to_string(row);
      // The cell keeps the first ~580 bytes, in the run of three-byte characters.
      for (int i = 0; i < 400; ++i) text += "\xE2\x82\xAC";  // U+20AC
      return text + "MID" + std::to_string(row) + std::string(7551, 'q') + "END" +
             std::to_string(row) + std::string(static_cast<size_t>(extra), 'z');
    };
    uint32_t next = 1;
    const auto rows =
        Title2AfterPageCopy(dir_, "broken" + std::to_string(extra), body, "MID2", "END4", next);
    ASSERT_EQ(next, 0u);
    EXPECT_GE(rows.size(), 1u);
    for (const std::vector<std::string>& values : rows) {
      EXPECT_EQ(values.back(), "partial");
      ASSERT_GT(values[2].size(), 100u);
      EXPECT_EQ(body(2).compare(0, values[2].size(), values[2]), 0) << "bytes not the record's";
      EXPECT_EQ(values[2].size() % 3, 1u) << "a character cut short";  // "2", then whole ones
    }
  }
}

// SQLite frees the cell at the start of a page's cell content area by moving
// that start past it: the freed cell (its first bytes a freeblock header)
// lies in the unallocated gap, until a smaller insert takes the gap's end
// and writes over its tail. It comes back partial, cut where the content
// area now starts, never with the new cell's bytes as its own.
TEST_F(CarveTest, AGapCellWhoseTailANewCellTookIsCutWhereTheContentStarts) {
  const std::string path = dir_.File("gap.sqlite");
  auto long_text = [](int row) { return "b" + std::to_string(row) + std::string(200, static_cast<char>('j' + row)); };
  {
    SqliteDb db(path);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, a TEXT, b TEXT)");
    for (int row = 1; row <= 5; ++row)
      db.Run("INSERT INTO t(a, b) VALUES(?, ?)", {"head" + std::to_string(row), long_text(row)});
    db.Exec("DELETE FROM t WHERE id = 5");  // the last cell written: the content area's start
    db.Run("INSERT INTO t(a, b) VALUES(?, ?)", {"new6", "short six"});
    db.Close();
  }
  int seen = 0;
  for (const Line& line : Carve(path, "t", dir_)) {
    const std::vector<std::string> values = line.Values();
    if (values[1] != "head5") continue;
    ++seen;
    EXPECT_EQ(line.Recovery(), "partial");
    EXPECT_EQ(long_text(5).compare(0, values[2].size(), values[2]), 0) << "another cell's bytes";
  }
  EXPECT_GE(seen, 1);
}

// A dropped table whose schema row spills so early (long names, 512-byte
// pages) that the row's own page holds no more of its statement than
// "CREATE": its definition is still found, from the chain. A table dropped
// just before keeps a freelist trunk, so the spilled pages become leaves and
// keep their bytes (a page made a trunk loses its first ones).
TEST_F(CarveTest, DroppedTableWhoseStatementSpillsIntoOverflowPages) {
  const std::string path = dir_.File("spill.sqlite");
  const std::string name = "a_table_with_a_long_name_for_its_schema_row";
  std::string columns;
  for (int i = 0; i < 8; ++i) columns += ", column_with_a_long_name_" + std::to_string(i) + " TEXT";
  const std::string head = "CREATE TABLE " + name + "(w INTEGER PRIMARY KEY";
  // The row: a 7-byte header, then "table", the name twice, the root page and
  // the statement; 470 bytes of statement leave 39 + 22 bytes on the page.
  const std::string tail = " TEXT)";
  const std::string padding(470 - head.size() - columns.size() - std::string(", last").size() -
                                tail.size(),
                            'x');
  const std::string statement = head + columns + ", last" + padding + tail;
  ASSERT_EQ(statement.size(), 470u);
  {
    SqliteDbOptions options;
    options.page_size = 512;
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE keep(k INTEGER PRIMARY KEY, v TEXT)");
    db.Exec(statement);
    db.Exec("CREATE TABLE scratch(s)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 40; ++i) {
      db.Run("INSERT INTO keep(v) VALUES(?)", {"keep" + std::to_string(i)});
      db.Run("INSERT INTO " + name + "(column_with_a_long_name_0) VALUES(?)",
             {"wide" + std::to_string(i)});
    }
    db.Exec("COMMIT");
    db.Exec("DROP TABLE scratch");
    db.Exec("DROP TABLE " + name);
    db.Close();
  }
  const std::vector<Line> wide = Carve(path, name, dir_);
  int found = 0;
  for (const Line& line : wide) {
    const std::vector<std::string> values = line.Values();
    found += values.size() == 10 && values[1].rfind("wide", 0) == 0;
  }
  EXPECT_GE(found, 38) << "95% of the dropped table's rows";
}

// In WAL mode: a row deleted in the log and a row edited there; the file's
// images of both are old. The deleted one is deleted, the edited one prior.
TEST_F(CarveTest, StateTellsPriorVersionsFromDeletedRowsWithTheWalApplied) {
  const std::string path = dir_.File("wal.sqlite");
  {
    SqliteDbOptions options;
    options.wal = true;
    options.keep_wal = true;
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE p(id INTEGER PRIMARY KEY, name TEXT, modified INTEGER)");
    db.Exec("BEGIN");
    for (int i = 1; i <= 50; ++i)
      db.Run("INSERT INTO p(name, modified) VALUES(?, ?)", {"person" + std::to_string(i), 1000 + i});
    db.Exec("COMMIT");
    db.Checkpoint();
    db.Exec("UPDATE p SET modified = 9999 WHERE id = 7");
    db.Exec("DELETE FROM p WHERE id = 9");
    db.Close();
  }
  // The database file holds the rows as they were before the log.
  std::map<std::string, std::set<std::string>> states;  // id -> states seen
  for (const Line& line : Carve(path, "p", dir_)) states[line.Values()[0]].insert(line.State());
  EXPECT_EQ(states["7"], std::set<std::string>{"prior"});
  EXPECT_EQ(states["9"], std::set<std::string>{"deleted"});
  EXPECT_EQ(states["8"], std::set<std::string>{"live"});
  for (const Line& line : Carve(path, "p", dir_, {"--deleted-only"}))
    EXPECT_EQ(line.Values()[0], "9");
  // The log holds the edited row as it stands.
  std::map<std::string, std::set<std::string>> in_log;
  for (const Line& line : Carve(path + "-wal", "p", dir_))
    in_log[line.Values()[0]].insert(line.State());
  EXPECT_EQ(in_log["7"], std::set<std::string>{"live"});
}

TEST_F(CarveTest, SchemaFromATextOfCreateTableStatements) {
  const std::string path = dir_.File("db.sqlite");
  {
    SqliteDb db(path);
    db.Exec("CREATE TABLE m(a INT NOT NULL, b TEXT)");
    for (int i = 1; i <= 30; ++i) db.Run("INSERT INTO m VALUES(?, ?)", {i * 11, "m" + std::to_string(i)});
    db.Exec("DELETE FROM m WHERE a = 110");
    db.Close();
  }
  const std::string schema = dir_.File("schema.sql");
  fixtures::WriteFile(schema, "-- what the user wrote\nCREATE TABLE other(x);\n"
                              "CREATE TABLE m(a INT NOT NULL, b TEXT);\n");
  const std::vector<Line> lines = Carve(path, "m", dir_, {"--schema-from", schema});
  EXPECT_TRUE(Recovered(lines, {"110", "m10"}));
  testing::CliRun missing =
      RunCli({"find", "--table", "nope", "--schema-from", schema, path, dir_.File("n.tsv")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("--ddl"), std::string::npos) << missing.err;
}

// The rebuild on its own: a page with one cell, freed by hand as SQLite frees
// it (freeblock header over its first four bytes).
TEST_F(CarveTest, FreedCellRebuildKeepsOnlyOneReadingAndNeverInventsTheRowid) {
  const FitTable table =
      FitTableOf(*ParseCreateTable("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER)"));
  // Cell: payload 10, rowid 5, header 4: [0, 23 (text 5), 1], body "alice" 42.
  std::string page(512, '\0');
  const std::string cell = std::string("\x0a\x05\x04\x00\x17\x01", 6) + "alice" + "\x2a";
  page.replace(400, cell.size(), cell);
  std::optional<PageCell> whole = ReadWholeCell(page, 400, table, 512);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->rowid, 5);
  page.replace(400, 4, std::string("\x00\x00\x00\x0c", 4));  // next 0, size 12
  std::optional<PageCell> rebuilt = RebuildFreedCell(page, 400, 412, table, 512);
  ASSERT_TRUE(rebuilt);
  EXPECT_TRUE(rebuilt->rebuilt);
  EXPECT_FALSE(rebuilt->rowid);
  EXPECT_EQ(rebuilt->header.types, (std::vector<uint64_t>{0, 23, 1}));
  EXPECT_EQ(rebuilt->end, 412u);
  // A region that ends where no reading ends gives nothing.
  EXPECT_FALSE(RebuildFreedCell(page, 400, 410, table, 512));
  // Hostile bytes: every region of a page of noise is tried, nothing is read outside.
  std::string noise(1024, '\0');
  uint64_t state = 99;
  for (char& c : noise) c = static_cast<char>((state = state * 6364136223846793005ull + 1) >> 56);
  for (uint32_t start = 0; start < noise.size(); start += 7) {
    RebuildFreedCell(noise, start, static_cast<uint32_t>(noise.size()), table, 1024);
    CellsAtStaleHeaders(noise, start, static_cast<uint32_t>(noise.size()), table, 1024);
  }
}

// One rebuilder serves a whole chunk of pages, often read into the same
// buffer one after another: what it learnt of one page must not answer for
// the next.
TEST_F(CarveTest, AReusedRebuilderReadsEachPageAfreshInTheSameBuffer) {
  const FitTable table =
      FitTableOf(*ParseCreateTable("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER)"));
  auto cell = [](char rowid, const std::string& name, char n) {
    const std::string header{'\x04', '\x00', static_cast<char>(13 + 2 * name.size()), '\x01'};
    const std::string body = name + n;
    return std::string{static_cast<char>(header.size() + body.size()), rowid} + header + body;
  };
  // Page one: two freed cells merged into one freeblock; the first one's
  // rebuild is confirmed by the whole second cell where it ends.
  std::string one(512, '\0');
  const std::string first = cell(5, "alice", 42), second = cell(6, "bob", 7);
  one.replace(300, first.size(), first);
  one.replace(300 + first.size(), second.size(), second);
  one.replace(300, 4, std::string("\x00\x00\x00\x0b", 4));
  const uint32_t one_limit = static_cast<uint32_t>(300 + first.size() + second.size());
  // Page two: the same places, other cells: the second cell is gone, so the
  // first rebuild of page one has no cell at its end here.
  std::string two(512, '\0');
  const std::string other = cell(7, "carol", 9);
  two.replace(300, other.size(), other);
  two.replace(300, 4, std::string("\x00\x00\x00\x0c", 4));
  const uint32_t two_limit = 300 + static_cast<uint32_t>(other.size());

  FreedCellRebuilder reused(table, 512);
  std::string buffer = one;
  const std::vector<PageCell> from_one = reused.CellsInFreeRegion(buffer, 300, one_limit);
  ASSERT_EQ(from_one.size(), 2u);
  EXPECT_TRUE(from_one[0].rebuilt);
  EXPECT_EQ(from_one[1].rowid, 6);
  buffer = two;  // same storage, new bytes
  const std::vector<PageCell> reused_two = reused.CellsInFreeRegion(buffer, 300, two_limit);
  const std::vector<PageCell> fresh_two = CellsInFreeRegion(two, 300, two_limit, table, 512);
  ASSERT_EQ(reused_two.size(), fresh_two.size());
  ASSERT_EQ(reused_two.size(), 1u);
  EXPECT_EQ(reused_two[0].header.types, fresh_two[0].header.types);
  EXPECT_EQ(reused_two[0].end, two_limit);
  // And the same rebuilder on a region of page one read again.
  buffer = one;
  EXPECT_EQ(reused.CellsInFreeRegion(buffer, 300, one_limit).size(), 2u);

  // Pages of noise with whole cells planted at random places, one after
  // another in one buffer: the reused rebuilder answers as fresh ones do.
  uint64_t state = 7;
  auto next = [&] { return (state = state * 6364136223846793005ull + 1442695040888963407ull) >> 33; };
  size_t cells_seen = 0;
  for (int round = 0; round < 40; ++round) {
    std::string page(512, '\0');
    for (char& c : page) c = static_cast<char>(next() % 4 == 0 ? next() : 0);
    for (int k = 0; k < 12; ++k) {
      const std::string planted = cell(static_cast<char>(1 + next() % 100), "ab", static_cast<char>(next()));
      page.replace(next() % (512 - planted.size()), planted.size(), planted);
    }
    buffer = page;
    for (uint32_t start = 0; start + 6 < 512; start += 5) {
      const std::vector<PageCell> a = reused.CellsAtStaleHeaders(buffer, start, 512);
      const std::vector<PageCell> b = CellsAtStaleHeaders(page, start, 512, table, 512);
      const std::vector<PageCell> c = reused.CellsInFreeRegion(buffer, start, 512);
      const std::vector<PageCell> d = CellsInFreeRegion(page, start, 512, table, 512);
      ASSERT_EQ(a.size(), b.size()) << "round " << round << " start " << start;
      ASSERT_EQ(c.size(), d.size()) << "round " << round << " start " << start;
      for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].end, b[i].end);
      for (size_t i = 0; i < c.size(); ++i) EXPECT_EQ(c[i].end, d[i].end);
      cells_seen += a.size() + c.size();
    }
  }
  EXPECT_GT(cells_seen, 0u);
}

// Rows deleted from the last to the first leave a run of freed cells, each
// with a header claiming the space up to the run's end; when a later
// rewrite leaves them in space no structure describes, only those headers
// mark them. Each cell ends where the next header starts, claiming the same end.
TEST_F(CarveTest, CellsOfARunFreedLastToFirstAreRebuiltFromTheirOldHeaders) {
  const FitTable table =
      FitTableOf(*ParseCreateTable("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER)"));
  auto cell = [](const std::string& name, char n) {
    const std::string header{'\x04', '\x00', static_cast<char>(13 + 2 * name.size()), '\x01'};
    const std::string body = name + n;
    return std::string{static_cast<char>(header.size() + body.size()), '\x05'} + header + body;
  };
  auto freed = [](std::string cell, size_t claims) {
    cell.replace(0, 4, std::string{'\0', '\0', static_cast<char>(claims >> 8),
                                   static_cast<char>(claims & 0xFF)});
    return cell;
  };
  const std::string a = cell("alice", 42), b = cell("bob", 7), c = cell("carol", 9);
  const size_t run = a.size() + b.size() + c.size();
  std::string page(1024, '\0');
  page.replace(200, run, freed(a, run) + freed(b, run - a.size()) + freed(c, c.size()));
  std::vector<PageCell> cells = CellsAtStaleHeaders(page, 100, 600, table, 1024);
  ASSERT_EQ(cells.size(), 3u);
  EXPECT_EQ(cells[0].start, 200u);
  EXPECT_EQ(cells[0].end, 200u + a.size());
  EXPECT_EQ(cells[1].end, 200u + a.size() + b.size());
  EXPECT_EQ(cells[2].end, 200u + run);
  for (const PageCell& found : cells) EXPECT_FALSE(found.rowid);

  // A header after the first cell that claims another end does not confirm it.
  page.replace(200 + a.size(), b.size(), freed(b, run - a.size() + 40));
  cells = CellsAtStaleHeaders(page, 100, 600, table, 1024);
  ASSERT_FALSE(cells.empty());
  EXPECT_NE(cells[0].start, 200u);
}

}  // namespace
}  // namespace quarrow
