#include "cli/cli_main.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "byte_helpers.h"
#include "fixtures/sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::WriteFile;
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

TEST(Cli, UsageErrorsExitTwoWithTheUsage) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"carve", "a", "b"},
           {"find", "only-input"},
           {"find", "a", "b", "c"},
           {"find", "--ddl"},
           {"find", "--offset", "1", "a", "b"},
           {"contacts", "--offset", "1", "--offset", "2", "a", "b"},
           {"scan"},
       }) {
    CliRun run = Cli(args);
    EXPECT_EQ(run.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(run.err.rfind("usage: quarrow-cli find", 0), 0u);
    EXPECT_TRUE(run.out.empty());
  }
}

TEST(Cli, HelpAndVersionGoToStandardOutput) {
  CliRun help = Cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("quarrow-cli contacts [--offset N] INPUT OUTPUT"), std::string::npos);
  CliRun version = Cli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("quarrow-cli ") + QUARROW_VERSION + "\n");
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
  ASSERT_EQ(Cli({"find", "--ddl", dir.File("ddl"), dir.File("in"), dir.File("out")}).status, 0);
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
  CliRun bad_length = Cli({"scan", "--length", "12a", "--offset", "x", dir.File("in")});
  EXPECT_EQ(bad_length.status, 1);
  EXPECT_EQ(bad_length.err, "quarrow-cli: ''012a'' is not a valid integer value\n");
  CliRun missing = Cli({"scan", "--length", "12a", dir.File("none")});
  EXPECT_EQ(missing.err.rfind("quarrow-cli: Cannot open file", 0), 0u);
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
#endif  // _WIN32

}  // namespace
}  // namespace quarrow
