#include "search/find_data.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "byte_helpers.h"
#include "fixtures/sqlite_fixture.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::TempDir;
using fixtures::WriteFile;
using testing::Bytes;

const char kBom[] = "\xEF\xBB\xBF";

std::string ErrorOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const Error& error) {
    return error.what();
  }
  return "(no error)";
}

std::vector<std::vector<std::string>> ReportRows(const std::string& report) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(report);
  std::string line;
  std::getline(lines, line);  // the BOM and TABLE line
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.substr(line.size() - 2), "\t\r");
    line.pop_back();
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    rows.push_back(fields);
  }
  return rows;
}

TEST(FindData, WorkedExampleGivesTheGoldenReport) {
  TempDir dir;
  WriteFile(dir.File("in"), Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b',
                                   'c', 0x2A}));
  EXPECT_EQ(FindData({"id INTEGER", "name TEXT", "age INTEGER"}, dir.File("in"),
                     dir.File("out")),
            1);
  EXPECT_EQ(ReadFile(dir.File("out")),
            std::string(kBom) + "TABLE\r\n8\t5\t4\t0\tabc\t42\t\r\n");
}

TEST(FindData, SuppressedColumnsPrintNullAndEmptyListsMatchEveryPair) {
  TempDir dir;
  WriteFile(dir.File("in"), Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b',
                                   'c', 0x2A}));
  FindData({"id INTEGER", "name TEXT *", "age INTEGER"}, dir.File("in"), dir.File("out"));
  EXPECT_EQ(ReadFile(dir.File("out")),
            std::string(kBom) + "TABLE\r\n8\t5\t4\t0\tnull\t42\t\r\n");
  // No columns: every non-zero byte followed by a zero byte is a line of prefixes.
  WriteFile(dir.File("in"), Bytes({0x00, 0x07, 0x00, 0x03, 0x09, 0x00}));
  FindData({}, dir.File("in"), dir.File("out"));
  EXPECT_EQ(ReadFile(dir.File("out")),
            std::string(kBom) + "TABLE\r\n\t0\t7\t\r\n0\t3\t9\t\r\n");
}

TEST(FindData, NoMatchGivesTheFirstLineOnlyAndRunsRepeatIdentically) {
  TempDir dir;
  WriteFile(dir.File("in"), "no record here, only text");
  FindData(InitialDdlLines(), dir.File("in"), dir.File("out"));
  EXPECT_EQ(ReadFile(dir.File("out")), std::string(kBom) + "TABLE\r\n");
}

TEST(FindData, RecoversDeletedRowsOfARealDatabase) {
  TempDir dir;
  SqliteDb db(dir.File("real.db"));
  db.Exec("CREATE TABLE item (id INTEGER PRIMARY KEY, name TEXT, note TEXT, n INTEGER)");
  for (int i = 1; i <= 60; ++i) {
    db.Run("INSERT INTO item (name, note, n) VALUES (?, ?, ?)",
           {"name-" + std::to_string(i), std::string(150, 'a' + i % 26), i * 1000 - 30000});
  }
  db.Exec("DELETE FROM item WHERE id % 3 = 0");
  db.Close();

  FindData({"item (id INTEGER PRIMARY KEY", "name TEXT", "note TEXT", "n INTEGER)"},
           db.path(), dir.File("out"));
  auto rows = ReportRows(ReadFile(dir.File("out")));
  for (int i = 1; i <= 60; ++i) {
    const std::string name = "name-" + std::to_string(i);
    // Stale copies with damaged tails may show up too; one intact line must.
    bool found = false;
    for (const auto& row : rows) {
      ASSERT_EQ(row.size(), 7u);
      found = found || (row[3] == "0" && row[4] == name &&
                        row[5] == std::string(150, 'a' + i % 26) &&
                        row[6] == std::to_string(i * 1000 - 30000));
    }
    EXPECT_TRUE(found) << name << (i % 3 == 0 ? " (deleted)" : " (live)");
  }
}

TEST(FindData, LabelOneStoredWithoutContentReadsAsOne) {
  TempDir dir;
  SqliteDb db(dir.File("ones.db"));
  db.Exec("CREATE TABLE v (id INTEGER PRIMARY KEY, label INTEGER, value TEXT)");
  db.Run("INSERT INTO v (label, value) VALUES (1, 'one-label')");
  db.Run("INSERT INTO v (label, value) VALUES (0, 'zero-label')");
  db.Close();
  FindData({"v (id INTEGER", "label INTEGER", "value TEXT"}, db.path(), dir.File("out"));
  auto rows = ReportRows(ReadFile(dir.File("out")));
  std::map<std::string, std::string> label_of;
  for (const auto& row : rows) label_of[row[5]] = row[4];
  EXPECT_EQ(label_of["one-label"], "1");
  EXPECT_EQ(label_of["zero-label"], "0");
}

TEST(FindData, BadInputChangesNothing) {
  TempDir dir;
  const std::string missing = dir.File("missing.db");
  const std::string out = dir.File("out.txt");
  EXPECT_EQ(ErrorOf([&] { FindData({}, missing, out); }),
            "Cannot open file \"" + missing + "\". No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(ErrorOf([&] { FindData({}, dir.path().string(), out); }),
            "Cannot open file \"" + dir.path().string() + "\". Is a directory");
  EXPECT_FALSE(std::filesystem::exists(out));
#ifndef _WIN32
  // A pipe cannot be read by position: refused, not scanned as empty.
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int keep_open = open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // so opening does not block
  EXPECT_EQ(ErrorOf([&] { FindData({}, fifo, out); }).rfind("Cannot open file \"" + fifo +
                                                            "\". It is a pipe", 0),
            0u);
  close(keep_open);
  EXPECT_FALSE(std::filesystem::exists(out));
#endif
  // An empty output path is refused before the input is even looked at.
  EXPECT_EQ(ErrorOf([&] { FindData({}, missing, ""); }),
            "No output file is given: enter the path of the report to write");
}

TEST(FindData, OutputsThatCannotBeWrittenFailClearly) {
  TempDir dir;
  const std::string in = dir.File("in");
  WriteFile(in, Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A}));
  const std::string no_folder = dir.File("nope/out.txt");
  EXPECT_EQ(ErrorOf([&] { FindData({}, in, no_folder); }),
            "Cannot create file \"" + no_folder + "\". No such file or directory");
  EXPECT_EQ(ErrorOf([&] { FindData({}, in, dir.path().string()); }),
            "Cannot create file \"" + dir.path().string() + "\". Is a directory");
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(ErrorOf([&] { FindData({}, in, "/dev/full"); }),
              "Cannot write file \"/dev/full\". No space left on device");
  }
}

TEST(FindData, RefusesToOverwriteItsInput) {
  TempDir dir;
  const std::string in = dir.File("evidence.db");
  const std::string bytes = Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 0x2A});
  WriteFile(in, bytes);
  std::filesystem::create_directory(dir.File("sub"));
  const std::string same = dir.File("sub/../evidence.db");
  EXPECT_NE(ErrorOf([&] { FindData({}, in, same); }).find("is the input file"),
            std::string::npos);
  EXPECT_EQ(ReadFile(in), bytes);
}

class CancelAtOnce : public ProgressSink {
 public:
  bool Update(int64_t, int64_t) override { return false; }
};

TEST(FindData, CancelledRunKeepsTheLinesFoundAndSaysSo) {
  TempDir dir;
  // Enough bytes for several pages, a match near the start.
  std::string bytes = Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A});
  bytes += std::string(20 << 20, 'x');
  WriteFile(dir.File("in"), bytes);
  CancelAtOnce cancel;
  std::string message = ErrorOf([&] {
    FindData({"id INTEGER", "name TEXT", "age INTEGER"}, dir.File("in"), dir.File("out"),
             &cancel);
  });
  EXPECT_NE(message.find("cancelled"), std::string::npos) << message;
  EXPECT_NE(message.find("holds the 1 records"), std::string::npos) << message;
  EXPECT_EQ(ReadFile(dir.File("out")),
            std::string(kBom) + "TABLE\r\n8\t5\t4\t0\tabc\t42\t\r\n");
}

}  // namespace
}  // namespace quarrow
