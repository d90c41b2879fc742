// The evidence is never modified: every command, on success, on error and when
// cancelled, leaves the input, its -wal and -journal files and their folder
// exactly as they were: the same names, bytes and modification times, and not
// even a file created and removed again (the folder's own time is unchanged).
//
// The command line is driven through CliMain; cancelling goes through the
// commands' progress sink, as the window's command runner does. The window's
// buttons are driven in tests/window/evidence_window_test.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "command_helpers.h"
#include "contacts/contacts_recovery.h"
#include "fixtures/sqlite_fixture.h"
#include "search/find_data.h"
#include "search/window_scan.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::SqliteDbOptions;
using fixtures::TempDir;
using fixtures::WriteFile;
using testing::CliRun;
using testing::FolderSnapshot;
using testing::RunCli;
using testing::Snapshot;

// A hot rollback journal: copied from a scratch database while a transaction
// that deletes rows is open, so that a reader that honours it would roll it
// back into the file beside it.
std::string HotJournal(const TempDir& scratch) {
  SqliteDb db(scratch.File("scratch.db"), SqliteDbOptions{.page_size = 1024});
  db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, age INTEGER)");
  for (int i = 0; i < 40; ++i) db.Run("INSERT INTO t (name, age) VALUES (?, ?)", {"n" + std::to_string(i), i});
  db.Exec("BEGIN; DELETE FROM t WHERE id % 2 = 0;");
  std::string journal = ReadFile(scratch.File("scratch.db-journal"));
  db.Exec("ROLLBACK");
  return journal;
}

// The evidence folder: a WAL database whose last changes are only in its -wal,
// with address-book tables and a plain table, and a hot journal beside it.
class EvidenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(evidence_dir_);
    std::filesystem::create_directory(out_dir_);
    {
      SqliteDb db(input_, SqliteDbOptions{.page_size = 1024, .wal = true, .keep_wal = true});
      db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, age INTEGER)");
      db.Exec(
          "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, "
          "Last TEXT, Organization TEXT)");
      db.Exec(
          "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
          "property INTEGER, identifier INTEGER, label INTEGER, value TEXT)");
      for (int i = 1; i <= 30; ++i) {
        db.Run("INSERT INTO t (name, age) VALUES (?, ?)", {"name" + std::to_string(i), 20 + i});
        db.Run("INSERT INTO ABPerson (First, Last) VALUES (?, ?)",
               {"First" + std::to_string(i), "Last" + std::to_string(i)});
        db.Run("INSERT INTO ABMultiValue (record_id, property, identifier, label, value) "
               "VALUES (?, 3, 0, 1, ?)",
               {i, "+1 555 01" + std::to_string(10 + i)});
      }
      db.Exec("DELETE FROM t WHERE id % 3 = 0; DELETE FROM ABPerson WHERE ROWID % 4 = 0;");
      db.Close();
    }
    WriteFile(input_ + "-journal", HotJournal(scratch_));
    // Times a second in the past, so that any write would show.
    for (const auto& entry : std::filesystem::directory_iterator(evidence_dir_)) {
      std::filesystem::last_write_time(
          entry.path(), std::filesystem::last_write_time(entry.path()) - std::chrono::seconds(5));
    }
    ASSERT_TRUE(std::filesystem::exists(input_ + "-wal"));
    before_ = Snapshot(evidence_dir_);
    before_folder_time_ = FolderTime();
  }

  int64_t FolderTime() const { return testing::ModifiedNs(evidence_dir_); }

  void ExpectUntouched(const std::string& what) {
    FolderSnapshot after = Snapshot(evidence_dir_);
    EXPECT_EQ(testing::Names(after), testing::Names(before_)) << what;
    for (const auto& [name, state] : before_) {
      auto found = after.find(name);
      if (found == after.end()) continue;
      EXPECT_TRUE(found->second.bytes == state.bytes) << what << ": " << name << " changed";
      EXPECT_EQ(found->second.mtime_ns, state.mtime_ns) << what << ": " << name << " touched";
    }
    EXPECT_EQ(FolderTime(), before_folder_time_)
        << what << ": something was created or removed beside the evidence";
  }

  std::string Out(const std::string& name) const { return (out_dir_ / name).string(); }

  TempDir root_;
  TempDir scratch_;
  std::filesystem::path evidence_dir_ = root_.path() / "evidence";
  std::filesystem::path out_dir_ = root_.path() / "out";
  std::string input_ = (evidence_dir_ / "AddressBook.sqlitedb").string();
  FolderSnapshot before_;
  int64_t before_folder_time_ = 0;
};

// --table exists once the command line reads table definitions; until then
// it is a usage error, which must leave the evidence alone all the same.
bool HasTableOption() {
  CliRun help = RunCli({"--help"});
  return help.out.find("--table") != std::string::npos;
}

TEST_F(EvidenceTest, CommandsThatSucceedLeaveTheEvidenceAsItWas) {
  WriteFile(Out("t.ddl"), "id INTEGER\nname TEXT\nage INTEGER\n");
  const std::vector<std::vector<std::string>> runs = {
      {"find", input_, Out("find.tsv")},
      {"find", "--ddl", Out("t.ddl"), input_, Out("find-ddl.tsv")},
      {"find", "--ddl", Out("t.ddl"), input_ + "-wal", Out("find-wal.tsv")},
      {"find", "--ddl", Out("t.ddl"), input_ + "-journal", Out("find-journal.tsv")},
      {"contacts", input_, Out("contacts.tsv")},
      {"contacts", input_ + "-wal", Out("contacts-wal.tsv")},
      {"scan", input_},
      {"scan", "--offset", "100", "--length", "5000", input_ + "-wal"},
  };
  for (const auto& args : runs) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 0) << ::testing::PrintToString(args) << run.err;
    ExpectUntouched(::testing::PrintToString(args));
  }
  // The rows live in the log: they are carved from it.
  EXPECT_NE(ReadFile(Out("find-wal.tsv")).find("\tname3\t23\t"), std::string::npos);
  EXPECT_NE(ReadFile(Out("contacts-wal.tsv")).find("First4"), std::string::npos);

  const bool table_option = HasTableOption();
  for (const std::string& table : {"t", "ABPerson"}) {
    CliRun run = RunCli({"find", "--table", table, input_, Out("table-" + table + ".tsv")});
    EXPECT_EQ(run.status, table_option ? 0 : 2) << table << ": " << run.err;
    ExpectUntouched("find --table " + table);
  }
}

TEST_F(EvidenceTest, CommandsThatFailLeaveTheEvidenceAsItWas) {
  const std::string nowhere = Out("missing-folder/report.tsv");
  const std::vector<std::vector<std::string>> runs = {
      {"find", input_, nowhere},
      {"contacts", input_, nowhere},
      {"find", input_, input_},
      {"contacts", input_, input_},
      {"find", input_, input_ + "-wal"},
      {"contacts", input_, input_ + "-journal"},
      {"find", input_, "/dev/full"},
      {"contacts", "--offset", "12a", input_, Out("c.tsv")},
      {"scan", "--length", "12a", input_},
      {"scan", "--offset", "-5", input_},
      {"find", "--ddl", (evidence_dir_ / "none.ddl").string(), input_, Out("f.tsv")},
  };
  for (const auto& args : runs) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 1) << ::testing::PrintToString(args) << run.err;
    ExpectUntouched(::testing::PrintToString(args));
  }
  CliRun no_table = RunCli({"find", "--table", "NoSuchTable", input_, Out("n.tsv")});
  EXPECT_NE(no_table.status, 0);
  ExpectUntouched("find --table NoSuchTable");
  // A report beside the evidence is the user's choice; the evidence itself
  // stays as it was (writing it there is no fault of the command).
}

// Says stop at the first chance, as the window's cancel button does.
class Cancel : public ProgressSink {
 public:
  bool Update(int64_t, int64_t) override { return false; }
};

class NoView : public OutputView {
 public:
  void Clear() override {}
  void AppendLine(std::string_view) override {}
  void LoadFile(const std::string&) override {}
};

TEST_F(EvidenceTest, CancelledCommandsLeaveTheEvidenceAsItWas) {
  for (const std::string& input : {input_, input_ + "-wal"}) {
    Cancel cancel;
    NoView view;
    LinesEditor editor(InitialDdlLines());
    EXPECT_THROW(FindDataCommand(editor, input, Out("find.tsv"), view, &cancel), Error);
    ExpectUntouched("cancelled find on " + input);
    ResultTable table;
    EXPECT_THROW(RecoverContacts(input, "0", Out("contacts.tsv"), editor, view, table, &cancel),
                 Error);
    ExpectUntouched("cancelled contacts on " + input);
    EXPECT_THROW(ScanFileWindow(input, "100000", "0", editor, view, &cancel), Error);
    ExpectUntouched("cancelled scan on " + input);
  }
}

}  // namespace
}  // namespace quarrow
