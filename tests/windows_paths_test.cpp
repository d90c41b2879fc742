// The file layer and the command line where Windows differs from Linux: paths
// with spaces and characters outside the ANSI code page, inputs past 4 GiB
// (the two 32-bit halves of a position), "-" as input and output through the
// real program, a file another program holds open, the case of the names of
// the files SQLite keeps beside an input, and a report in a folder that cannot
// be written. Paths of both kinds run everywhere; the rest only on Windows.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <winioctl.h>
#endif

#include "byte_helpers.h"
#include "command_helpers.h"
#include "engine/file_io.h"
#include "fixtures/sqlite_fixture.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;
using testing::Bytes;
using testing::CliRun;
using testing::RunCli;
using testing::Snapshot;

// One record that fits kDdl: id 5, name "abc", age 42.
const std::string kCell =
    Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A});
const std::string kDdl = "id INTEGER\nname TEXT\nage INTEGER\n";

// Files named by UTF-8 paths, read and written through the system's own
// encoding of them (the fixtures' narrow paths take the ANSI code page).
void WriteUtf8(const std::string& path, const std::string& bytes) {
  std::ofstream out(SystemPath(path), std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadUtf8(const std::string& path) {
  std::ifstream in(SystemPath(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `folder` / `name`, both UTF-8 (a narrow fs::path would take them in the
// ANSI code page on Windows).
std::string Join(const std::string& folder, const std::string& name) {
  return Utf8Path(SystemPath(folder) / SystemPath(name));
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Spaces, Latin letters outside ASCII, a Greek and a CJK letter (outside any
// Western ANSI code page) and a letter outside the BMP (a UTF-16 surrogate
// pair) in both the folder and the file names.
TEST(WindowsPaths, NamesWithSpacesAndLettersOfAnyScriptWorkAndShowInMessages) {
  TempDir dir;
  const std::string folder = Join(Utf8Path(dir.path()), "evidence f\xC3\xB6lder \xCE\xB1\xE6\x9B\xB8");
  fs::create_directory(SystemPath(folder));
  const std::string input = Join(folder, "B\xC3\xB6k \xC3\xA9 \xF0\x9F\x93\x87.db");
  const std::string ddl = Join(folder, "columns \xC3\xBC.txt");
  WriteUtf8(input, std::string(100, '\0') + kCell);
  WriteUtf8(ddl, kDdl);
  WriteUtf8(dir.File("plain.db"), std::string(100, '\0') + kCell);
  WriteUtf8(dir.File("plain.txt"), kDdl);

  ASSERT_EQ(RunCli({"find", "--ddl", dir.File("plain.txt"), dir.File("plain.db"),
                    dir.File("plain.tsv")})
                .status,
            0);
  const auto before = Snapshot(SystemPath(folder));
  const std::string report = Join(Utf8Path(dir.path()), "r\xC3\xA9port \xE6\x9B\xB8.tsv");
  CliRun run = RunCli({"find", "--ddl", ddl, input, report});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadUtf8(report), ReadUtf8(dir.File("plain.tsv")));
  EXPECT_EQ(Snapshot(SystemPath(folder)), before) << "the input's folder changed";

  // The message names the path as given, made absolute, byte for byte.
  const std::string missing = Join(folder, "n\xC3\xB6 such \xCE\xB1.db");
  run = RunCli({"find", missing, report});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quarrow-cli: Cannot open file \"" + FullPath(missing) +
                         "\". No such file or directory\n");
  // The output may not be the input under another name.
  run = RunCli({"contacts", input, Join(folder, "./B\xC3\xB6k \xC3\xA9 \xF0\x9F\x93\x87.db")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, "is the input file")) << run.err;
  EXPECT_EQ(Snapshot(SystemPath(folder)), before);
}

#ifdef _WIN32

// Writes `bytes` at `offset` of a new sparse file (NTFS would write every
// zero before it otherwise).
void WriteSparse(const std::string& path, int64_t offset, const std::string& bytes) {
  HANDLE file = CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = offset;
  ASSERT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN));
  DWORD wrote = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr));
  CloseHandle(file);
}

TEST(WindowsPaths, RecordsPastFourGibibytesAreFoundWhereTheyLie) {
  TempDir dir;
  const int64_t at = (int64_t{4} << 30) + 4096 + 7;  // high half 1, low half odd
  WriteSparse(dir.File("big.img"), at, kCell);
  WriteUtf8(dir.File("ddl"), kDdl);
  ASSERT_EQ(fs::file_size(dir.File("big.img")), static_cast<uintmax_t>(at) + kCell.size());

  const InputFile file(dir.File("big.img"));
  EXPECT_EQ(file.size(), at + static_cast<int64_t>(kCell.size()));
  std::string bytes(kCell.size() + 10, 'x');
  EXPECT_EQ(file.ReadAt(at - 10, bytes.size(), bytes.data()), bytes.size());
  EXPECT_EQ(bytes, std::string(10, '\0') + kCell);

  CliRun run = RunCli({"find", "--details", "--ddl", dir.File("ddl"), dir.File("big.img"),
                       dir.File("out.tsv")});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string report = ReadUtf8(dir.File("out.tsv"));
  // The offset is of the record's header, after the cell's two varints, as
  // the Linux build reports it for the same file.
  EXPECT_TRUE(Contains(report, "\t" + std::to_string(at + 3) + "\t")) << report;
  EXPECT_TRUE(Contains(report, "abc\t42")) << report;
}

// A file another program holds open for writing may be changing: refused with
// the system's reason, and read as usual once that program lets go.
TEST(WindowsPaths, FileHeldOpenForWritingIsRefused) {
  TempDir dir;
  WriteUtf8(dir.File("in.db"), kCell);
  HANDLE writer = CreateFileW(SystemPath(dir.File("in.db")).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  for (const std::string command : {"find", "contacts"}) {
    CliRun run = RunCli({command, dir.File("in.db"), dir.File("out")});
    EXPECT_EQ(run.status, 1) << command;
    EXPECT_EQ(run.err.rfind("quarrow-cli: Cannot open file \"" + FullPath(dir.File("in.db")) +
                                "\". ",
                            0),
              0u)
        << run.err;
  }
  CloseHandle(writer);
  EXPECT_EQ(RunCli({"find", dir.File("in.db"), dir.File("out")}).status, 0);
}

TEST(WindowsPaths, InputCannotBeCutWhileOpen) {
  TempDir dir;
  WriteUtf8(dir.File("in.db"), std::string(4096, 'x'));
  {
    const InputFile file(dir.File("in.db"));
    std::error_code error;
    fs::resize_file(SystemPath(dir.File("in.db")), 10, error);
    EXPECT_TRUE(error) << "the open input was cut";
    std::string bytes(4096, '\0');
    EXPECT_EQ(file.ReadAt(0, bytes.size(), bytes.data()), bytes.size());
    EXPECT_EQ(bytes, std::string(4096, 'x'));
  }
  fs::resize_file(SystemPath(dir.File("in.db")), 10);  // closed: free again
}

// Windows ignores the case of names: "IN.DB-WAL" is the input's WAL file.
TEST(WindowsPaths, FilesBesideTheInputAreRefusedInAnyCase) {
  TempDir dir;
  WriteUtf8(dir.File("in.db"), kCell);
  for (const char* name : {"IN.DB-WAL", "In.Db-Journal", "in.db-SHM"}) {
    CliRun run = RunCli({"find", dir.File("in.db"), dir.File(name)});
    EXPECT_EQ(run.status, 1) << name;
    EXPECT_TRUE(Contains(run.err, "is the input's")) << run.err;
    EXPECT_FALSE(fs::exists(dir.File(name))) << name;
  }
}

// A report in a folder this account may not write to, made by taking the
// folder's write permission away: under Wine that is the POSIX folder's, which
// binds an unprivileged user; Windows itself ignores a folder's read-only
// attribute (only access lists bind there), and then the test has nothing to
// check.
TEST(WindowsPaths, ReportInAFolderThatCannotBeWrittenIsRefused) {
  TempDir dir;
  WriteUtf8(dir.File("in.db"), kCell);
  const std::string locked = dir.File("locked");
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_write | fs::perms::group_write |
                              fs::perms::others_write,
                  fs::perm_options::remove);
  {
    std::ofstream probe(SystemPath(locked + "\\probe"));
    if (probe.good()) {
      probe.close();
      fs::remove(SystemPath(locked + "\\probe"));
      fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);
      GTEST_SKIP() << "this account may write into a read-only folder (Windows ignores the "
                      "attribute on folders; Wine as root); scripts/windows-test.sh checks "
                      "it as an unprivileged user";
    }
  }
  CliRun run = RunCli({"find", dir.File("in.db"), locked + "\\out.tsv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "quarrow-cli: Cannot create file \"" + FullPath(locked + "\\out.tsv") +
                         "\". Permission denied\n");
  fs::permissions(locked, fs::perms::owner_write, fs::perm_options::add);
}

// The real program, run with its standard streams on pipes (or standard input
// on a file), as a shell would run it.
struct ProgramRun {
  DWORD status = 0;
  std::string out;
  std::string err;
};

// Reads a pipe to its end on a thread of its own.
std::thread Drain(HANDLE pipe, std::string& into) {
  return std::thread([pipe, &into] {
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) into.append(chunk, got);
    CloseHandle(pipe);
  });
}

ProgramRun RunProgram(const std::vector<std::string>& arguments, const std::string& stdin_path,
                      const std::string& stdin_bytes) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in_read = nullptr, in_write = nullptr, out_read, out_write, err_read, err_write;
  CreatePipe(&out_read, &out_write, &inherit, 0);
  CreatePipe(&err_read, &err_write, &inherit, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  if (stdin_path.empty()) {
    CreatePipe(&in_read, &in_write, &inherit, 0);
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  } else {
    in_read = CreateFileW(SystemPath(stdin_path).c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  std::wstring command = L"\"" + fs::absolute(QUARROW_CLI_PATH).wstring() + L"\"";
  for (const std::string& argument : arguments) {
    command += L" \"" + SystemPath(argument).wstring() + L"\"";
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process{};
  ProgramRun run;
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(in_read);
  CloseHandle(out_write);
  CloseHandle(err_write);
  std::thread out_reader = Drain(out_read, run.out);
  std::thread err_reader = Drain(err_read, run.err);
  if (in_write != nullptr) {
    DWORD wrote = 0;
    if (started) WriteFile(in_write, stdin_bytes.data(), static_cast<DWORD>(stdin_bytes.size()), &wrote, nullptr);
    CloseHandle(in_write);
  }
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  } else {
    run.status = 255;
    run.err = "could not start " + Utf8Path(fs::absolute(QUARROW_CLI_PATH));
  }
  out_reader.join();
  err_reader.join();
  return run;
}

// Copies of standard input left in the temporary folder.
int SpooledCopies() {
  int copies = 0;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
    copies += entry.path().filename().wstring().rfind(L"quarrow-stdin-", 0) == 0 ? 1 : 0;
  return copies;
}

// "-" as input, from a pipe (copied to the temporary folder, then removed) or
// a redirected file (read in place), and "-" as output: the same bytes as a
// report of the file itself, with no LF made CR LF on the way.
TEST(WindowsPaths, DashReadsStandardInputAndWritesStandardOutputAsTheyAre) {
  TempDir dir;
  const std::string input = std::string(5000, '\0') + kCell + std::string(3, '\n') + kCell;
  WriteUtf8(dir.File("in.db"), input);
  WriteUtf8(dir.File("ddl"), kDdl);
  const int copies_before = SpooledCopies();
  const auto before = Snapshot(dir.path());
  for (const std::vector<std::string> args :
       {std::vector<std::string>{"find", "--ddl", dir.File("ddl")},
        std::vector<std::string>{"contacts"}, std::vector<std::string>{"find", "--format", "jsonl"}}) {
    std::vector<std::string> with_file = args;
    with_file.insert(with_file.end(), {dir.File("in.db"), dir.File("expected")});
    ASSERT_EQ(RunCli(with_file).status, 0);
    const std::string expected = ReadUtf8(dir.File("expected"));
    fs::remove(dir.File("expected"));
    std::vector<std::string> with_dash = args;
    with_dash.insert(with_dash.end(), {"-", "-"});
    for (bool piped : {true, false}) {
      ProgramRun run = RunProgram(with_dash, piped ? "" : dir.File("in.db"), input);
      EXPECT_EQ(run.status, 0u) << args[0] << ": " << run.err;
      EXPECT_EQ(run.out, expected) << args[0] << (piped ? " from a pipe" : " from a file");
    }
  }
  // scan writes its lines to standard output itself.
  CliRun scan = RunCli({"scan", dir.File("in.db")});
  ProgramRun run = RunProgram({"scan", "-"}, "", input);
  EXPECT_EQ(run.status, 0u) << run.err;
  EXPECT_EQ(run.out, scan.out);
  EXPECT_EQ(SpooledCopies(), copies_before) << "a copy of standard input was left behind";
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST(WindowsPaths, ProgramExitsAndSaysAsOnLinux) {
  TempDir dir;
  WriteUtf8(dir.File("in.db"), kCell);
  ProgramRun run = RunProgram({"find", dir.File("missing.db"), dir.File("out")}, "", "");
  EXPECT_EQ(run.status, 1u);
  // Standard error is text, so lines end in CR LF as Windows text does.
  EXPECT_EQ(run.err, "quarrow-cli: Cannot open file \"" + FullPath(dir.File("missing.db")) +
                         "\". No such file or directory\r\n");
  run = RunProgram({"find", dir.path().string(), dir.File("out")}, "", "");
  EXPECT_EQ(run.status, 1u);
  EXPECT_EQ(run.err, "quarrow-cli: Cannot open file \"" + FullPath(dir.path().string()) +
                         "\". Is a directory\r\n");
  run = RunProgram({"find", "--format", "xml", dir.File("in.db"), dir.File("out")}, "", "");
  EXPECT_EQ(run.status, 2u);
  run = RunProgram({"--version"}, "", "");
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.out.rfind("quarrow-cli ", 0), 0u) << run.out;
  EXPECT_FALSE(fs::exists(dir.File("out")));
}

#endif  // _WIN32

}  // namespace
}  // namespace quarrow
