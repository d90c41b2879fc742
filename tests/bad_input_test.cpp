// Inputs and outputs a command cannot use, through the command line: each ends
// with exit 1 and a message naming the problem (checked loosely, by its key
// words), and leaves the folder as it was. A few inputs that look odd but can
// be honoured (an empty or binary DDL file, 10,000 columns, 1 MB lines) succeed
// with a well-formed report.
//
// Decisions: a pipe or socket as input (or DDL file) is refused at once, never
// waited on. A file that shrinks while it is scanned stops the command with
// exit 1, naming the bytes that could not be read (a report being written
// keeps the lines before that). An empty DDL file is a column list of none,
// as an empty editor in the window is: every candidate fits, each line holding
// only the three prefix fields.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <thread>

#include "byte_helpers.h"
#include "command_helpers.h"
#include "contacts/contacts_recovery.h"
#include "engine/file_io.h"
#include "fixtures/sqlite_fixture.h"
#include "search/find_data.h"
#include "search/window_scan.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::WriteFile;
using testing::Bytes;
using testing::CliRun;
using testing::RunCli;
using testing::Snapshot;

const std::string kCell =
    Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A});
const std::string kDdl = "id INTEGER\nname TEXT\nage INTEGER\n";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Exit 1, "quarrow-cli: " and a message holding `part`, nothing on `out`.
void ExpectRefused(const CliRun& run, const std::string& part, const std::string& what) {
  EXPECT_EQ(run.status, 1) << what << ": " << run.err;
  EXPECT_EQ(run.err.rfind("quarrow-cli: ", 0), 0u) << what << ": " << run.err;
  EXPECT_TRUE(Contains(run.err, part)) << what << ": expected \"" << part << "\" in " << run.err;
  EXPECT_TRUE(run.out.empty()) << what;
}

// The three commands over one input, writing (where they write) to `output`.
std::vector<std::vector<std::string>> EveryCommand(const std::string& input,
                                                   const std::string& output) {
  return {{"find", input, output}, {"contacts", input, output}, {"scan", input}};
}

TEST(BadInput, MissingInputOrAFolderIsRefusedAndNothingIsWritten) {
  TempDir dir;
  const auto before = Snapshot(dir.path());
  for (const auto& args : EveryCommand(dir.File("missing.db"), dir.File("out"))) {
    ExpectRefused(RunCli(args), "No such file or directory", args[0] + " missing input");
  }
  std::filesystem::create_directory(dir.File("folder.db"));
  const auto with_folder = Snapshot(dir.path());
  for (const auto& args : EveryCommand(dir.File("folder.db"), dir.File("out"))) {
    ExpectRefused(RunCli(args), "Is a directory", args[0] + " folder as input");
  }
  EXPECT_EQ(Snapshot(dir.path()), with_folder);
  std::filesystem::remove(dir.File("folder.db"));
  EXPECT_EQ(Snapshot(dir.path()), before);
}

#ifndef _WIN32
// Runs the command line on another thread; a command that blocks on the pipe
// is set free (a writer opens and closes it) so that the test fails, not hangs.
CliRun RunCliWithoutWaitingOn(const std::vector<std::string>& args, const std::string& fifo) {
  auto run = std::async(std::launch::async, [args] { return RunCli(args); });
  if (run.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
    ADD_FAILURE() << args[0] << " waited on the pipe";
    int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
  }
  return run.get();
}

#endif

TEST(BadInput, PipeIsRefusedWithoutWaitingForAWriter) {
#ifdef _WIN32
  GTEST_SKIP() << "no named pipes in the file system on Windows (mkfifo)";
#else
  TempDir dir;
  const std::string fifo = dir.File("pipe.db");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(dir.File("in"), kCell);
  WriteFile(dir.File("ddl"), kDdl);
  const auto before = Snapshot(dir.path());
  for (const auto& args : EveryCommand(fifo, dir.File("out"))) {
    ExpectRefused(RunCliWithoutWaitingOn(args, fifo), "pipe", args[0] + " pipe as input");
  }
  ExpectRefused(RunCliWithoutWaitingOn({"find", "--ddl", fifo, dir.File("in"), dir.File("out")},
                                       fifo),
                "pipe", "pipe as DDL file");
  // Table definitions are read from the input (or another file) too.
  ExpectRefused(RunCliWithoutWaitingOn({"find", "--table", "t", fifo, dir.File("out")}, fifo),
                "pipe", "pipe as input of find --table");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"find", "--table", "t", "--schema-from", fifo, dir.File("in"), dir.File("out")},
           {"contacts", "--schema-from", fifo, dir.File("in"), dir.File("out")}}) {
    CliRun run = RunCliWithoutWaitingOn(args, fifo);
    EXPECT_EQ(run.status, 1) << args[0] << " --schema-from a pipe: " << run.err;
  }
  EXPECT_EQ(Snapshot(dir.path()), before);
#endif
}

#ifndef _WIN32
// Root reads any file, so as root the command runs in a child process that
// has given up root for the unprivileged "nobody" (65534).
CliRun RunCliAsNobody(const std::vector<std::string>& args) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {-1, "", "pipe failed"};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    int status = 127;
    std::string err = "could not give up root";
    if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
      CliRun run = RunCli(args);
      status = run.status;
      err = run.err;
    }
    std::string message = std::to_string(status) + "\n" + err;
    ssize_t ignored = ::write(pipe_fds[1], message.data(), message.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string message;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0;)
    message.append(chunk, static_cast<size_t>(got));
  ::close(pipe_fds[0]);
  int wait_status = 0;
  ::waitpid(pid, &wait_status, 0);
  size_t line_end = message.find('\n');
  if (line_end == std::string::npos) return {-1, "", "the child reported nothing"};
  return {std::stoi(message.substr(0, line_end)), "", message.substr(line_end + 1)};
}

#endif

TEST(BadInput, UnreadableFileIsRefused) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX permissions and fork; on Windows a file held open by another "
                  "program is refused (WindowsPaths.FileHeldOpenForWritingIsRefused)";
#else
  TempDir dir;
  // The folder stays open to everyone; only the file is closed.
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  WriteFile(dir.File("locked.db"), kCell);
  ::chmod(dir.File("locked.db").c_str(), 0);
  const auto before = Snapshot(dir.path());
  const bool root = ::geteuid() == 0;
  for (const auto& args : EveryCommand(dir.File("locked.db"), dir.File("out"))) {
    CliRun run = root ? RunCliAsNobody(args) : RunCli(args);
    ExpectRefused(run, "Permission denied", args[0] + " unreadable input");
  }
  EXPECT_EQ(Snapshot(dir.path()), before);
#endif
}

// Cuts a sparse input of many scan pages to nothing once the run has come
// `share` of the way (0: at the first page done), so that pages not yet read
// fall beyond its new end. Contacts recovery reads its buffer twice: cut half
// way, the second pass reads what is gone.
class ShrinkWhenUnderway : public ProgressSink {
 public:
  ShrinkWhenUnderway(std::string path, double share) : path_(std::move(path)), share_(share) {}
  bool Update(int64_t done, int64_t total) override {
    if (!cut_ && done > 0 && static_cast<double>(done) >= share_ * static_cast<double>(total)) {
      std::filesystem::resize_file(path_, 0);
      cut_ = true;
    }
    return true;
  }

 private:
  std::string path_;
  double share_;
  bool cut_ = false;
};

void MakeSparseInput(const std::string& path) {
  WriteFile(path, kCell);
  std::filesystem::resize_file(path, int64_t{96} << 20);
}

TEST(BadInput, FileThatShrinksWhileScannedStopsWithTheBytesNamed) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows lets nothing cut an input while it is open: it is shared with "
                  "readers only (WindowsPaths.InputCannotBeCutWhileOpen)";
#endif
  TempDir dir;
  const std::string input = dir.File("shrinking.db");
  auto expect_read_error = [&](const std::function<void(ProgressSink*)>& command,
                               double share, const std::string& what) {
    MakeSparseInput(input);
    ShrinkWhenUnderway shrink(input, share);
    try {
      command(&shrink);
      ADD_FAILURE() << what << ": the scan went on over bytes it could not read";
    } catch (const Error& error) {
      std::string message = error.what();
      EXPECT_TRUE(Contains(message, "Cannot read file \"" + input + "\"")) << message;
      EXPECT_TRUE(Contains(message, "could not be read")) << message;
      EXPECT_TRUE(Contains(message, "Bytes ")) << message;
    }
  };
  expect_read_error(
      [&](ProgressSink* sink) {
        FindData({"id INTEGER", "name TEXT", "age INTEGER"}, input, dir.File("find.tsv"), sink);
      },
      0, "find");
  expect_read_error(
      [&](ProgressSink* sink) {
        LinesEditor editor;
        class : public OutputView {
          void Clear() override {}
          void AppendLine(std::string_view) override {}
          void LoadFile(const std::string&) override {}
        } view;
        ResultTable table;
        RecoverContacts(input, "0", dir.File("contacts.tsv"), editor, view, table, sink);
      },
      0.5, "contacts");
  expect_read_error(
      [&](ProgressSink* sink) {
        LinesEditor editor;
        class : public OutputView {
          void Clear() override {}
          void AppendLine(std::string_view) override {}
          void LoadFile(const std::string&) override {}
        } view;
        ScanFileWindow(input, std::to_string(int64_t{96} << 20), "0", editor, view, sink);
      },
      0, "scan");
}

// The scan reads mapped windows; a file cut under a window must neither kill
// the process nor pass zeros off as its bytes, while a SIGBUS that no window
// caused keeps its usual action.
TEST(BadInput, MappedWindowOfAShrunkFileFaultsInsteadOfCrashing) {
#ifdef _WIN32
  GTEST_SKIP() << "inputs are not mapped on Windows (read by copying), and SIGBUS is POSIX";
#else
  TempDir dir;
  const std::string input = dir.File("cut.bin");
  WriteFile(input, std::string(1 << 20, 'x'));
  const InputFile file(input);
  {
    const MappedWindow window = file.Map(4096, 512 * 1024);
    ASSERT_TRUE(window);
    EXPECT_EQ(window.bytes()[0], 'x');
    EXPECT_FALSE(window.faulted());
    std::filesystem::resize_file(input, 8192);
    size_t seen = 0;
    for (char byte : window.bytes()) seen += byte == 'x' ? 1 : 0;
    EXPECT_TRUE(window.faulted());
    EXPECT_LT(seen, window.bytes().size());
    // Another window, moved to another thread, is guarded there too.
    std::thread([&] {
      const MappedWindow other = file.Map(0, 65536);
      ASSERT_TRUE(other);
      EXPECT_EQ(other.bytes()[100], 'x');
      EXPECT_EQ(other.bytes()[65535], '\0');
      EXPECT_TRUE(other.faulted());
    }).join();
  }
  // The file's bytes past its new end cannot be mapped as file bytes, but the
  // size taken at open still is what a copy must deliver: the copy names them.
  EXPECT_TRUE(file.Map(0, 4096));
  std::string copy(4096, '\0');
  EXPECT_THROW(file.ReadAt(8192, copy.size(), copy.data()), Error);

  // Killed by the signal, or by a sanitizer's report of it.
  auto died = [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; };
  EXPECT_EXIT(
      {
        (void)file.Map(0, 4096);  // the guard is installed
        ::raise(SIGBUS);
      },
      died, "");
  EXPECT_EXIT(
      {
        (void)file.Map(0, 4096);
        const int fd = ::open(input.c_str(), O_RDONLY);
        const auto* other = static_cast<const volatile char*>(
            ::mmap(nullptr, 65536, PROT_READ, MAP_SHARED, fd, 0));
        std::exit(other[32768] == 'x' ? 0 : 0);  // past the end: SIGBUS
      },
      died, "");
#endif
}

TEST(BadInput, ReadErrorNamesTheMissingRange) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows lets nothing cut an input while it is open: it is shared with "
                  "readers only (WindowsPaths.InputCannotBeCutWhileOpen)";
#endif
  TempDir dir;
  WriteFile(dir.File("in"), std::string(100, 'x'));
  Buffer buffer = LoadBuffer(dir.File("in"), [] { return BufferShape{}; });
  std::filesystem::resize_file(dir.File("in"), 40);
  std::string bytes;
  buffer.Read(0, 40, bytes);  // still there
  EXPECT_EQ(bytes, std::string(40, 'x'));
  try {
    buffer.Read(30, 80, bytes);
    FAIL() << "bytes 40 to 99 were gone and no error was raised";
  } catch (const Error& error) {
    EXPECT_TRUE(Contains(error.what(), "Bytes 40 to 99 could not be read")) << error.what();
  }
  // Past the end the file had when opened, the buffer's zeros are by design.
  buffer.Read(100, 10, bytes);
  EXPECT_EQ(bytes, std::string(10, '\0'));
}

TEST(BadInput, OutputThatCannotBeWrittenIsRefused) {
  TempDir dir;
  WriteFile(dir.File("in.db"), kCell);
  const auto before = Snapshot(dir.path());
  for (const std::string command : {"find", "contacts"}) {
    ExpectRefused(RunCli({command, dir.File("in.db"), dir.File("no/such/folder/out")}),
                  "No such file or directory", command + " output in a missing folder");
    ExpectRefused(RunCli({command, dir.File("in.db"), "/dev/full"}),
                  "No space left on device", command + " output on a full device");
    // The same file under other names: the path itself, a longer spelling of it.
    for (const std::string& same :
         {dir.File("in.db"), (dir.path() / "." / "in.db").string()}) {
      ExpectRefused(RunCli({command, dir.File("in.db"), same}), "is the input file",
                    command + " output equal to the input");
    }
    // Nor the log or journal SQLite keeps beside it, there or not.
    for (const char* suffix : {"-wal", "-journal"}) {
      ExpectRefused(RunCli({command, dir.File("in.db"), dir.File("in.db") + suffix}),
                    std::string("is the input's ") + (suffix + 1) + " file",
                    command + " output on the input's " + suffix);
    }
    EXPECT_EQ(Snapshot(dir.path()), before) << command;
  }
}

// The report's lines after its header line; each must hold `tabs` TABs.
std::vector<std::string> ReportLines(const std::string& report, size_t tabs) {
  const std::string head = "\xEF\xBB\xBFTABLE\r\n";
  EXPECT_EQ(report.rfind(head, 0), 0u);
  std::vector<std::string> lines;
  for (size_t at = head.size(); at < report.size();) {
    size_t end = report.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a line without CR LF";
      break;
    }
    lines.push_back(report.substr(at, end - at));
    EXPECT_EQ(static_cast<size_t>(std::count(lines.back().begin(), lines.back().end(), '\t')),
              tabs);
    at = end + 2;
  }
  return lines;
}

// Held bytes go out in order after what was buffered, in batches when there
// are more pieces than one system call takes, and fail as writes do.
TEST(BadInput, HeldBytesKeepTheirOrderAndReportFailures) {
  TempDir dir;
  std::vector<std::string> texts;
  for (int i = 0; i < 2500; ++i) texts.push_back(i % 7 == 0 ? "" : std::to_string(i) + ",");
  const std::vector<std::string_view> pieces(texts.begin(), texts.end());
  std::string expected = "head|";
  for (const std::string& text : texts) expected += text;
  expected += "|tail";
  {
    OutputFile out(dir.File("out"));
    out.Write("head|", 5);
    for (std::string_view piece : pieces) out.Hold(piece);
    out.Write("|tail", 5);  // writes what is held first
    EXPECT_EQ(out.written(), static_cast<int64_t>(expected.size()));
    out.Close();
  }
  EXPECT_EQ(ReadFile(dir.File("out")), expected);
  if (std::filesystem::exists("/dev/full")) {
    OutputFile full("/dev/full");
    try {
      for (std::string_view piece : pieces) full.Hold(piece);
      full.WriteHeld();
      FAIL() << "a gathered write to a full device raised no error";
    } catch (const Error& error) {
      EXPECT_TRUE(Contains(error.what(), "No space left on device")) << error.what();
    }
  }
}

TEST(BadInput, OddDdlFilesGiveWellFormedReports) {
  TempDir dir;
  WriteFile(dir.File("in.db"), kCell + kCell);
  struct Case {
    const char* name;
    std::string ddl;
    size_t columns;
  };
  std::mt19937 random(7);
  std::string binary(4096, '\0');
  for (char& c : binary) c = static_cast<char>(random());
  binary.back() = 'x';  // no final line end: the last line counts
  std::string wide;
  for (int i = 0; i < 10000; ++i) wide += "c" + std::to_string(i) + " INTEGER\n";
  const std::string long_name(1 << 20, 'n');
  std::vector<Case> cases = {
      {"empty", "", 0},
      {"binary", binary, static_cast<size_t>(std::count(binary.begin(), binary.end(), '\n')) + 1},
      {"10,000 columns", wide, 10000},
      {"lines of 1 MB", long_name + " INTEGER\n" + long_name + " TEXT\n" + long_name + " INTEGER\n", 3},
  };
  for (const Case& c : cases) {
    WriteFile(dir.File("ddl"), c.ddl);
    const auto before = Snapshot(dir.path());
    CliRun run = RunCli({"find", "--ddl", dir.File("ddl"), dir.File("in.db"), dir.File("out")});
    ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
    std::vector<std::string> lines = ReportLines(ReadFile(dir.File("out")), 3 + c.columns);
    if (c.columns == 3) {
      // Long names change nothing: the two records are found.
      EXPECT_EQ(lines, (std::vector<std::string>(2, "8\t5\t4\t0\tabc\t42\t"))) << c.name;
    }
    if (c.columns == 0) EXPECT_FALSE(lines.empty()) << "an empty list fits every candidate";
    auto after = Snapshot(dir.path());
    after.erase("out");
    auto without_out = before;
    without_out.erase("out");
    EXPECT_EQ(after, without_out) << c.name;
    std::filesystem::remove(dir.File("out"));
  }
}

}  // namespace
}  // namespace quarrow
