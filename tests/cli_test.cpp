#include "cli/cli_main.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>

#include "byte_helpers.h"
#include "cli/cli_args.h"
#include "fixtures/sqlite_fixture.h"
#ifdef QUARROW_HAVE_SAMPLE_BOOK
#include "sample_book.h"
#endif

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::WriteFile;
#ifdef QUARROW_HAVE_SAMPLE_BOOK
using sample::Journal;
using sample::MakeSampleBook;
using sample::SampleOptions;
#endif
using testing::Bytes;

struct CliRun {
  int status;
  std::string out;
  std::string err;
};

CliRun Cli(std::vector<std::string> args) {
  args.insert(args.begin(), "quarrow-cli");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  int status = CliMain(out, err, static_cast<int>(argv.size()), argv.data());
  return {status, out.str(), err.str()};
}

const std::string kCell =
    Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A});

TEST(Cli, UsageErrorsNameTheOffendingArgumentAndPointToHelp) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "A subcommand is required"},
      {{"carve", "a", "b"}, "'carve'"},
      {{"find", "only-input"}, "OUTPUT"},
      {{"find", "a", "b", "c"}, ": c"},
      {{"find", "--ddl"}, "--ddl"},
      {{"find", "--offset", "1", "a", "b"}, "'--offset' for find"},
      {{"find", "--ddl", "x", "--table", "t", "a", "b"}, "--table"},
      {{"find", "--format", "xml", "a", "b"}, "xml"},
      {{"find", "--threads", "many", "a", "b"}, "--threads"},
      {{"contacts", "--offset", "1", "--offset", "2", "a", "b"}, "--offset"},
      {{"scan"}, "INPUT"},
      {{"help", "find", "scan"}, "scan"},
  };
  for (const auto& [args, named] : cases) {
    CliRun run = Cli(args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    std::string first_line = run.err.substr(0, run.err.find('\n'));
    EXPECT_EQ(first_line.rfind("quarrow-cli: ", 0), 0u) << run.err;
    EXPECT_NE(first_line.find(named), std::string::npos) << first_line;
    EXPECT_NE(run.err.find("usage: quarrow-cli find"), std::string::npos);
    EXPECT_NE(run.err.find("quarrow-cli --help"), std::string::npos);
    EXPECT_TRUE(run.out.empty());
  }
}

TEST(Cli, HelpAndVersionGoToStandardOutput) {
  for (const char* flag : {"--help", "-h"}) {
    CliRun help = Cli({flag});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("contacts  recover persons"), std::string::npos) << help.out;
    EXPECT_EQ(Cli({"help"}).out, help.out);
  }
  for (const char* command : {"find", "contacts", "scan"}) {
    CliRun help = Cli({command, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(std::string("Usage: quarrow-cli ") + command), std::string::npos);
    EXPECT_NE(help.out.find("--format"), std::string::npos);
    EXPECT_NE(help.out.find("standard input"), std::string::npos);  // INPUT "-"
    EXPECT_EQ(Cli({"help", command}).out, help.out);
  }
  EXPECT_NE(Cli({"find", "--help"}).out.find("--table NAME"), std::string::npos);
  for (const char* flag : {"--version", "-V"}) {
    CliRun version = Cli({flag});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quarrow-cli ") + QUARROW_VERSION + "\n");
  }
}

TEST(Cli, ManualPageNamesEveryOptionOfTheHelp) {
  std::filesystem::path source = std::filesystem::path(__FILE__).parent_path().parent_path();
  std::string manual = ReadFile((source / "docs" / "quarrow-cli.1").string());
  // roff writes a hyphen as "\-".
  for (size_t at = manual.find("\\-"); at != std::string::npos; at = manual.find("\\-", at))
    manual.erase(at, 1);
  std::vector<std::string> helps = CliHelpTexts();
  ASSERT_EQ(helps.size(), 6u);  // the program's and each command's
  std::regex option(R"((^|[\s,])(--?[A-Za-z][A-Za-z-]*))");
  int checked = 0;
  for (const std::string& help : helps) {
    for (std::sregex_iterator it(help.begin(), help.end(), option), end; it != end; ++it) {
      std::string name = (*it)[2];
      EXPECT_NE(manual.find(name), std::string::npos) << name << " is not in the manual";
      ++checked;
    }
  }
  EXPECT_GT(checked, 20);
}

TEST(Cli, FindReadsTheDdlFileLineByLine) {
  TempDir dir;
  WriteFile(dir.File("in"), kCell);
  // CR LF line ends, and a final line end that adds no line.
  WriteFile(dir.File("ddl"), "id INTEGER\r\nname TEXT\r\nage INTEGER\r\n");
  CliRun run = Cli({"find", "--ddl", dir.File("ddl"), dir.File("in"), dir.File("out")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(dir.File("out")), "\xEF\xBB\xBFTABLE\r\n8\t5\t4\t0\tabc\t42\t\r\n");
  // An empty line inside the file is a column of no kind: the header no longer fits.
  WriteFile(dir.File("ddl"), "id INTEGER\n\nname TEXT\nage INTEGER");
  ASSERT_EQ(Cli({"find", "--ddl=" + dir.File("ddl"), dir.File("in"), dir.File("out")}).status, 0);
  EXPECT_EQ(ReadFile(dir.File("out")), "\xEF\xBB\xBFTABLE\r\n");
}

TEST(Cli, FailuresExitOneWithTheMessage) {
  TempDir dir;
  WriteFile(dir.File("in"), kCell);
  CliRun missing_ddl = Cli({"find", "--ddl", dir.File("no.ddl"), dir.File("in"), dir.File("out")});
  EXPECT_EQ(missing_ddl.status, 1);
  EXPECT_EQ(missing_ddl.err, "quarrow-cli: Cannot open file \"" + dir.File("no.ddl") +
                                 "\". No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("out")));
  CliRun missing_input = Cli({"find", dir.File("none"), dir.File("out")});
  EXPECT_EQ(missing_input.status, 1);
  EXPECT_EQ(missing_input.err.rfind("quarrow-cli: Cannot open file \"", 0), 0u);
  // A table-definition source that cannot be read is not silently ignored.
  CliRun missing_schema =
      Cli({"find", "--schema-from", dir.File("none.db"), dir.File("in"), dir.File("out")});
  EXPECT_EQ(missing_schema.status, 1);
  EXPECT_EQ(missing_schema.err, "quarrow-cli: Cannot open file \"" + dir.File("none.db") +
                                    "\". No such file or directory\n");
  CliRun empty_output = Cli({"find", dir.File("in"), ""});
  EXPECT_EQ(empty_output.status, 1);
  EXPECT_NE(empty_output.err.find("No output file"), std::string::npos);
  CliRun bad_offset = Cli({"contacts", "--offset", "12a", dir.File("in"), dir.File("out")});
  EXPECT_EQ(bad_offset.status, 1);
  EXPECT_EQ(bad_offset.err, "quarrow-cli: ''12a'' is not a valid integer value\n");
  CliRun negative = Cli({"contacts", "--offset", "-4", dir.File("in"), dir.File("out")});
  EXPECT_EQ(negative.status, 1);
  EXPECT_NE(negative.err.find("negative"), std::string::npos);
}

TEST(Cli, ScanPrintsWindowLines) {
  TempDir dir;
  WriteFile(dir.File("in"), Bytes({0x00, 0x04, 0x01, 0x01, 0x13, 0x2A, 0x03, 'a', 'b', 'c'}));
  CliRun whole = Cli({"scan", dir.File("in")});
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(whole.out, "4\t\t42\t3\tabc\n");
  // The window starts at byte 1 and holds the header; its length text gets a "0".
  EXPECT_EQ(Cli({"scan", "--offset", "1", "--length", "9", dir.File("in")}).out,
            "4\t\t42\t3\tabc\n");
  EXPECT_EQ(Cli({"scan", "--offset", "2", dir.File("in")}).out, "");
  // The length is converted first; the message quotes what was typed.
  CliRun bad_length = Cli({"scan", "--length", "12a", "--offset", "x", dir.File("in")});
  EXPECT_EQ(bad_length.status, 1);
  EXPECT_EQ(bad_length.err, "quarrow-cli: ''12a'' is not a valid integer value\n");
  EXPECT_EQ(Cli({"scan", "--length=abc", dir.File("in")}).err,
            "quarrow-cli: ''abc'' is not a valid integer value\n");
  CliRun missing = Cli({"scan", "--length", "12a", dir.File("none")});
  EXPECT_EQ(missing.err.rfind("quarrow-cli: Cannot open file", 0), 0u);
}

// A multi-value record as the window scan finds it: header length 4, serial
// types 1, 1 and a 3-byte text, then 42, 3 and "abc".
const std::string kScanCell = Bytes({0x04, 0x01, 0x01, 0x13, 0x2A, 0x03, 'a', 'b', 'c'});

TEST(Cli, OffsetsAndLengthsAreSixtyFourBit) {
  TempDir dir;
  WriteFile(dir.File("in"), std::string(1, '\0') + kScanCell);
  // Past 2 GiB: a valid number, a window past the file's end, nothing found.
  CliRun far = Cli({"scan", "--offset", "2726297600", dir.File("in")});
  EXPECT_EQ(far.status, 0) << far.err;
  EXPECT_EQ(far.out, "");
  CliRun far_contacts = Cli({"contacts", "--offset=2726297600", dir.File("in"), dir.File("out")});
  EXPECT_EQ(far_contacts.status, 0) << far_contacts.err;
  // Read with "0" in front, as the window's fields are: "x1" is 0x1.
  EXPECT_EQ(Cli({"scan", "--offset", "x1", "--length", "9", dir.File("in")}).out,
            "4\t\t42\t3\tabc\n");
  // Too large for 64 bits: out of range, quoting what was typed.
  for (const std::string command : {"scan", "contacts"}) {
    std::vector<std::string> args = {command, "--offset", "99999999999999999999", dir.File("in")};
    if (command == "contacts") args.push_back(dir.File("out"));
    CliRun huge = Cli(args);
    EXPECT_EQ(huge.status, 1);
    EXPECT_EQ(huge.err, "quarrow-cli: ''99999999999999999999'' is out of range: enter a "
                        "number from 0 to 9223372036854775807\n");
  }
  EXPECT_EQ(Cli({"scan", "--length", "9223372036854775808", dir.File("in")}).err,
            "quarrow-cli: ''9223372036854775808'' is out of range: enter a number from 0 "
            "to 9223372036854775807\n");
}

TEST(Cli, ScanWithoutLengthReadsToTheEndPastTwoGibibytes) {
  TempDir dir;
  const int64_t at = (int64_t{2} << 30) + 100;
  {
    // Sparse: only the record takes disk space.
    FILE* file = std::fopen(dir.File("big").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fseeko(file, at, SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(kScanCell.data(), 1, kScanCell.size(), file), kScanCell.size());
    std::fclose(file);
  }
  CliRun run = Cli({"scan", dir.File("big")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "4\t\t42\t3\tabc\n");
  CliRun jsonl = Cli({"scan", "--format", "jsonl", "--offset", "2147483648", dir.File("big")});
  EXPECT_EQ(jsonl.out, "{\"offset\":" + std::to_string(at) +
                           ",\"header_length\":4,\"parent_id\":42,\"property\":3,"
                           "\"value\":\"abc\"}\n");
}

TEST(Cli, FormatsReachEveryCommand) {
  TempDir dir;
  WriteFile(dir.File("in"), kCell);
  WriteFile(dir.File("ddl"), "id INTEGER\nname TEXT\nage INTEGER\n");
  ASSERT_EQ(Cli({"find", "--ddl", dir.File("ddl"), "--format=csv", "--bom", dir.File("in"),
                 dir.File("out")}).status, 0);
  EXPECT_EQ(ReadFile(dir.File("out")),
            "\xEF\xBB\xBFpayload_length,rowid,header_length,id,name,age\r\n8,5,4,0,abc,42\r\n");
  ASSERT_EQ(Cli({"find", "--ddl", dir.File("ddl"), "--format", "jsonl", "--threads", "1",
                 dir.File("in"), dir.File("out")}).status, 0);
  // NULL in the INTEGER column "id" (the rowid's alias) is null, not the tsv's 0.
  EXPECT_EQ(ReadFile(dir.File("out")),
            "{\"offset\":3,\"payload_length\":8,\"rowid\":5,\"header_length\":4,\"id\":null,"
            "\"name\":\"abc\",\"age\":42}\n");
  WriteFile(dir.File("scan"), kScanCell);
  EXPECT_EQ(Cli({"scan", "--format", "csv", dir.File("scan")}).out,
            "header_length,parent_id,property,value\r\n4,42,3,abc\r\n");
  // tsv stays the default, byte for byte.
  ASSERT_EQ(Cli({"contacts", "--format", "tsv", dir.File("in"), dir.File("out")}).status, 0);
  std::string tsv = ReadFile(dir.File("out"));
  ASSERT_EQ(Cli({"contacts", dir.File("in"), dir.File("out")}).status, 0);
  EXPECT_EQ(ReadFile(dir.File("out")), tsv);
  ASSERT_EQ(Cli({"contacts", "--format", "csv", dir.File("in"), dir.File("out")}).status, 0);
  EXPECT_EQ(ReadFile(dir.File("out")).rfind("NUM_0,NUM_1,NUM_2,ABPerson,First,", 0), 0u);
}

TEST(Cli, SummaryLineOnlyOnATerminalAndNeverWithQuiet) {
  TempDir dir;
  WriteFile(dir.File("in"), kCell);
  WriteFile(dir.File("ddl"), "id INTEGER\nname TEXT\nage INTEGER\n");
  auto run = [&](std::vector<std::string> args, bool terminal) {
    args.insert(args.begin(), "quarrow-cli");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out, err;
    int status = CliMain(out, err, static_cast<int>(argv.size()), argv.data(), terminal);
    EXPECT_EQ(status, 0) << err.str();
    // What a terminal shows: a progress line is wiped by going back over it.
    std::string shown = err.str();
    return shown.substr(shown.find_last_of('\r') == std::string::npos ? 0
                                                                       : shown.find_last_of('\r') + 1);
  };
  std::string summary = run({"find", "--ddl", dir.File("ddl"), dir.File("in"), dir.File("out")}, true);
  std::string expected = "quarrow-cli: 1 records written to \"" + dir.File("out") + "\" in ";
  EXPECT_EQ(summary.rfind(expected, 0), 0u) << summary;
  EXPECT_EQ(summary.substr(summary.size() - 3), " s\n");
  EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 1);
  std::string scan = run({"scan", dir.File("in")}, true);
  EXPECT_NE(scan.find("lines written to standard output"), std::string::npos) << scan;
#ifdef QUARROW_HAVE_SAMPLE_BOOK
  // contacts counts the rows its report holds.
  SampleOptions book;
  book.persons = 20;
  book.journal = Journal::kWalCheckpointed;
  MakeSampleBook(dir.File("book.db"), book);
  std::string contacts = run({"contacts", dir.File("book.db"), dir.File("contacts.tsv")}, true);
  std::string report = ReadFile(dir.File("contacts.tsv"));
  const int64_t rows = std::count(report.begin(), report.end(), '\n') - 1;
  EXPECT_GT(rows, 0);
  EXPECT_EQ(contacts.rfind("quarrow-cli: " + std::to_string(rows) + " rows written to", 0), 0u)
      << contacts;
#endif
  EXPECT_EQ(run({"find", "--quiet", dir.File("in"), dir.File("out")}, true), "");
  EXPECT_EQ(run({"scan", "--quiet", dir.File("in")}, true), "");
  EXPECT_EQ(run({"find", dir.File("in"), dir.File("out")}, false), "");
}

TEST(Cli, CancelKeepsTheReportAndSaysItIsIncomplete) {
  TempDir dir;
  WriteFile(dir.File("in"), kCell + kScanCell);
  std::atomic<bool> cancel{true};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "quarrow-cli");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::ostringstream out, err;
    int status = CliMain(CliContext{out, err, false, &cancel}, static_cast<int>(argv.size()),
                         argv.data());
    return CliRun{status, out.str(), err.str()};
  };
  CliRun find = run({"find", dir.File("in"), dir.File("out")});
  EXPECT_EQ(find.status, 130);
  EXPECT_EQ(find.err, "quarrow-cli: Find data was cancelled: the report \"" + dir.File("out") +
                          "\" holds the 0 records found before that, and is incomplete\n");
  EXPECT_EQ(ReadFile(dir.File("out")), "\xEF\xBB\xBFTABLE\r\n");
  CliRun scan = run({"scan", dir.File("in")});
  EXPECT_EQ(scan.status, 130);
  EXPECT_NE(scan.err.find("incomplete"), std::string::npos) << scan.err;
  EXPECT_EQ(run({"contacts", dir.File("in"), dir.File("out")}).status, 130);
  // A request that comes after the work is done changes nothing.
  cancel = false;
  EXPECT_EQ(run({"find", dir.File("in"), dir.File("out")}).status, 0);
}

#ifndef _WIN32
// Runs the real program; returns its exit status and peak resident memory.
struct ProcessRun {
  int status;
  long max_rss_kib;
};

ProcessRun RunProgram(const std::vector<std::string>& args, const std::string& stdout_path) {
  pid_t pid = fork();
  if (pid == 0) {
    FILE* out = std::freopen(stdout_path.c_str(), "w", stdout);
    if (out == nullptr) _exit(127);
    std::vector<char*> argv;
    std::string program = QUARROW_CLI_PATH;
    argv.push_back(program.data());
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

TEST(Cli, DashWritesTheReportToStandardOutput) {
  TempDir dir;
  WriteFile(dir.File("in"), kCell);
  WriteFile(dir.File("ddl"), "id INTEGER\nname TEXT\nage INTEGER\n");
  ProcessRun run = RunProgram({"find", "--ddl", dir.File("ddl"), dir.File("in"), "-"},
                              dir.File("stdout"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadFile(dir.File("stdout")), "\xEF\xBB\xBFTABLE\r\n8\t5\t4\t0\tabc\t42\t\r\n");
}

TEST(Cli, SixGibibyteInputScansWhollyInBoundedMemory) {
  TempDir dir;
  const int64_t size = int64_t{6} << 30;
  const std::vector<int64_t> at = {0, (int64_t{2} << 30) - 5, (int64_t{4} << 30) + 3,
                                   size - static_cast<int64_t>(kCell.size())};
  {
    // A sparse file: the records are the only bytes that take disk space.
    FILE* file = std::fopen(dir.File("big").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (int64_t p : at) {
      ASSERT_EQ(fseeko(file, p, SEEK_SET), 0);
      ASSERT_EQ(std::fwrite(kCell.data(), 1, kCell.size(), file), kCell.size());
    }
    std::fclose(file);
  }
  ASSERT_EQ(std::filesystem::file_size(dir.File("big")), static_cast<uintmax_t>(size));
  WriteFile(dir.File("ddl"), "id INTEGER\nname TEXT\nage INTEGER\n");
  ProcessRun run = RunProgram({"find", "--ddl", dir.File("ddl"), dir.File("big"), dir.File("out")},
                              dir.File("stdout"));
  ASSERT_EQ(run.status, 0);
  std::string expected = "\xEF\xBB\xBFTABLE\r\n";
  for (size_t i = 0; i < at.size(); ++i) expected += "8\t5\t4\t0\tabc\t42\t\r\n";
  EXPECT_EQ(ReadFile(dir.File("out")), expected);
  EXPECT_LT(run.max_rss_kib, 1024 * 1024);
  RecordProperty("max_rss_kib", static_cast<int>(run.max_rss_kib));
}
// Runs the real program with standard input from `stdin_fd` (-1: /dev/null),
// standard output to `stdout_fd` and standard error to `stderr_path`; extra
// environment entries "NAME=value". Returns the raw wait status once it ends;
// `started` runs in the parent with the child's pid first.
int Spawn(const std::vector<std::string>& args, int stdin_fd, int stdout_fd,
          const std::string& stderr_path, const std::vector<std::string>& environment = {},
          const std::function<void(pid_t)>& started = {}) {
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(stdin_fd >= 0 ? stdin_fd : null_fd, 0);
    dup2(stdout_fd, 1);
    int err_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err_fd, 2);
    // Only 0, 1 and 2 stay open: a pipe's writing end kept here would never let
    // the program see the end of its input.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    std::string program = QUARROW_CLI_PATH;
    argv.push_back(program.data());
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (started) started(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(Cli, FailedWritesToStandardOutputExitOneNamingIt) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  WriteFile(dir.File("in"), kCell + kScanCell);
  int full = open("/dev/full", O_WRONLY);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"scan", dir.File("in")},
           {"find", dir.File("in"), "-"},
           {"contacts", "--format", "csv", dir.File("in"), "-"}}) {  // the header row
    int status = Spawn(args, -1, full, dir.File("err"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << args[0];
    EXPECT_EQ(ReadFile(dir.File("err")),
              "quarrow-cli: Cannot write to standard output. No space left on device\n");
  }
  close(full);
}

TEST(Cli, BrokenPipeEndsQuietly) {
  TempDir dir;
  std::string many;
  for (int i = 0; i < 20000; ++i) many += kScanCell;
  WriteFile(dir.File("in"), many);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"scan", dir.File("in")}, {"find", dir.File("in"), "-"}}) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]);  // nobody reads: like "| head" after it has read enough
    int status = Spawn(args, -1, pipe_fds[1], dir.File("err"));
    close(pipe_fds[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << args[0] << status;
    EXPECT_EQ(ReadFile(dir.File("err")), "");
  }
}

TEST(Cli, DashReadsStandardInputThroughATemporaryFileThatIsRemoved) {
  TempDir dir;
  WriteFile(dir.File("in"), kCell + kScanCell);
  std::filesystem::create_directory(dir.File("tmp"));
  int out = open(dir.File("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_EQ(Spawn({"find", dir.File("in"), dir.File("expected")}, -1, out, dir.File("err")), 0);
  // Through a pipe: copied into TMPDIR, read by position, removed.
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  std::string bytes = ReadFile(dir.File("in"));
  int status = Spawn({"find", "-", dir.File("piped")}, pipe_fds[0], out, dir.File("err"),
                     {"TMPDIR=" + dir.File("tmp")}, [&](pid_t) {
                       close(pipe_fds[0]);
                       EXPECT_EQ(write(pipe_fds[1], bytes.data(), bytes.size()),
                                 static_cast<ssize_t>(bytes.size()));
                       close(pipe_fds[1]);
                     });
  EXPECT_EQ(status, 0) << ReadFile(dir.File("err"));
  EXPECT_EQ(ReadFile(dir.File("piped")), ReadFile(dir.File("expected")));
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("tmp")));
  // A redirected file is read where it is.
  int in = open(dir.File("in").c_str(), O_RDONLY);
  EXPECT_EQ(Spawn({"find", "-", dir.File("redirected")}, in, out, dir.File("err"),
                  {"TMPDIR=" + dir.File("tmp")}), 0);
  close(in);
  close(out);
  EXPECT_EQ(ReadFile(dir.File("redirected")), ReadFile(dir.File("expected")));
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("tmp")));
}

TEST(Cli, InterruptAndTerminateCancelKeepingThePartialReport) {
  TempDir dir;
  const int64_t size = int64_t{8} << 30;  // sparse; long enough to be caught mid-way
  {
    FILE* file = std::fopen(dir.File("big").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(kCell.data(), 1, kCell.size(), file), kCell.size());
    ASSERT_EQ(ftruncate(fileno(file), size), 0);
    std::fclose(file);
  }
  WriteFile(dir.File("ddl"), "id INTEGER\nname TEXT\nage INTEGER\n");
  int out = open("/dev/null", O_WRONLY);
  for (int signal_number : {SIGINT, SIGTERM}) {
    std::filesystem::remove(dir.File("out"));
    int status = Spawn({"find", "--ddl", dir.File("ddl"), dir.File("big"), dir.File("out")}, -1,
                       out, dir.File("err"), {}, [&](pid_t pid) {
                         // The report is created once the handlers are in place
                         // and the input is open: the scan is under way.
                         for (int i = 0; i < 1000 && !std::filesystem::exists(dir.File("out")); ++i)
                           usleep(10 * 1000);
                         usleep(200 * 1000);
                         kill(pid, signal_number);
                       });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    // The message says how many records the report holds, and it holds them.
    std::string err = ReadFile(dir.File("err"));
    std::smatch said;
    ASSERT_TRUE(std::regex_match(
        err, said,
        std::regex("quarrow-cli: Find data was cancelled: the report \"(.*)\" holds the "
                   "([0-9]+) records found before that, and is incomplete\n")))
        << err;
    EXPECT_EQ(said[1].str(), dir.File("out"));
    std::string report = ReadFile(dir.File("out"));
    EXPECT_EQ(report.rfind("\xEF\xBB\xBFTABLE\r\n", 0), 0u);
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n') - 1, std::stoll(said[2].str()));
  }
  close(out);
}

#endif  // _WIN32

}  // namespace
}  // namespace quarrow
