#include "cli/cli_main.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "contacts/contacts_recovery.h"
#include "engine/file_io.h"
#include "engine/ports.h"
#include "search/find_data.h"
#include "search/window_scan.h"
#include "text_rule/error.h"
#include "text_rule/text_rule.h"

namespace quarrow {
namespace {

constexpr const char* kUsage =
    "usage: quarrow-cli find     [--ddl FILE] INPUT OUTPUT\n"
    "       quarrow-cli contacts [--offset N] INPUT OUTPUT\n"
    "       quarrow-cli scan     [--offset N] [--length N] INPUT\n"
    "       quarrow-cli --help | --version\n";

constexpr const char* kHelp =
    "Recovers deleted records of SQLite tables from any file, without opening it\n"
    "as a database.\n"
    "\n"
    "  find      carves every record that fits the column list (one DDL line per\n"
    "            column, from FILE; by default the address book's 29 person\n"
    "            columns) into a tab-separated report\n"
    "  contacts  recovers persons with their phone numbers and e-mail addresses\n"
    "            from an address book, starting at byte N (default 0)\n"
    "  scan      lists three-column multi-value records found in a window of\n"
    "            the file (start N, length N) on standard output\n"
    "\n"
    "OUTPUT - writes the report to standard output. Exit status: 0 done, 1 the\n"
    "command failed, 2 wrong usage.\n";

struct UsageError {};

// Parsed arguments: named options and the positional ones, in order.
struct Arguments {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> positional;

  std::optional<std::string> Option(const std::string& name) const {
    for (const auto& [key, value] : options)
      if (key == name) return value;
    return std::nullopt;
  }
};

Arguments Parse(int argc, const char* const argv[], int first,
                const std::vector<std::string>& allowed) {
  Arguments args;
  bool options_done = false;
  for (int i = first; i < argc; ++i) {
    std::string word = argv[i];
    if (!options_done && word == "--") {
      options_done = true;
    } else if (!options_done && word.size() > 2 && word.rfind("--", 0) == 0) {
      if (std::find(allowed.begin(), allowed.end(), word) == allowed.end() ||
          i + 1 >= argc || args.Option(word))
        throw UsageError{};
      args.options.emplace_back(word, argv[++i]);
    } else {
      args.positional.push_back(word);
    }
  }
  return args;
}

// The DDL file's lines: LF or CR LF ends; a final line end adds no empty line.
std::vector<std::string> ReadDdlFile(const std::string& path) {
  InputFile file(path);
  std::string text(static_cast<size_t>(file.size()), '\0');
  text.resize(file.ReadAt(0, text.size(), text.data()));
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r' && end < text.size()) line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// Draws "scanning  42%" on a terminal, at most a few times a second.
class TerminalProgress : public ProgressSink {
 public:
  explicit TerminalProgress(std::ostream& err) : err_(err) {}
  ~TerminalProgress() override {
    if (drawn_) err_ << "\r                    \r" << std::flush;
  }
  bool Update(int64_t done, int64_t total) override {
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(200) && done < total)
      return true;
    last_ = now;
    drawn_ = true;
    int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    err_ << "\rscanning " << percent << "%" << std::flush;
    return true;
  }

 private:
  std::ostream& err_;
  std::chrono::steady_clock::time_point last_;
  bool drawn_ = false;
};

// The command line has no output view to show a report in.
class NoView : public OutputView {
 public:
  void Clear() override {}
  void AppendLine(std::string_view) override {}
  void LoadFile(const std::string&) override {}
};

// Window-scan lines, each followed by LF, on the given stream.
class StreamView : public OutputView {
 public:
  explicit StreamView(std::ostream& out) : out_(out) {}
  void Clear() override {}
  void AppendLine(std::string_view line) override { out_ << line << '\n'; }
  void LoadFile(const std::string&) override {}

 private:
  std::ostream& out_;
};

int RunFind(const Arguments& args, ProgressSink* progress) {
  if (args.positional.size() != 2) throw UsageError{};
  std::optional<std::string> ddl = args.Option("--ddl");
  LinesEditor editor(ddl ? ReadDdlFile(*ddl) : InitialDdlLines());
  NoView view;
  FindDataCommand(editor, args.positional[0], args.positional[1], view, progress);
  return 0;
}

int RunContacts(const Arguments& args, ProgressSink* progress) {
  if (args.positional.size() != 2) throw UsageError{};
  LinesEditor editor;
  NoView view;
  ResultTable table;
  RecoverContacts(args.positional[0], args.Option("--offset").value_or("0"),
                  args.positional[1], editor, view, table, progress);
  return 0;
}

// Without --length the window runs from the offset to the file's end.
std::string DefaultLengthText(const std::string& input, const std::string& offset_text) {
  int64_t size = 0;
  try {
    size = InputFile(input).size();
  } catch (const Error&) {
    // The scan itself reports the file error, in its own order.
  }
  int64_t offset = TryStrToInt("0" + offset_text).value_or(0);
  return std::to_string(std::clamp<int64_t>(size - offset, 0, 2147483647));
}

int RunScan(const Arguments& args, std::ostream& out, ProgressSink* progress) {
  if (args.positional.size() != 1) throw UsageError{};
  const std::string& input = args.positional[0];
  std::string offset = args.Option("--offset").value_or("0");
  std::string length = args.Option("--length").value_or("");
  if (!args.Option("--length")) length = DefaultLengthText(input, offset);
  LinesEditor editor;
  StreamView view(out);
  ScanFileWindow(input, length, offset, editor, view, progress);
  out.flush();
  return 0;
}

int Dispatch(std::ostream& out, int argc, const char* const argv[],
             ProgressSink* progress) {
  if (argc < 2) throw UsageError{};
  std::string command = argv[1];
  if (command == "--help" && argc == 2) {
    out << kUsage << '\n' << kHelp;
    return 0;
  }
  if (command == "--version" && argc == 2) {
    out << "quarrow-cli " << QUARROW_VERSION << '\n';
    return 0;
  }
  if (command == "find") return RunFind(Parse(argc, argv, 2, {"--ddl"}), progress);
  if (command == "contacts")
    return RunContacts(Parse(argc, argv, 2, {"--offset"}), progress);
  if (command == "scan")
    return RunScan(Parse(argc, argv, 2, {"--offset", "--length"}), out, progress);
  throw UsageError{};
}

}  // namespace

int CliMain(std::ostream& out, std::ostream& err, int argc, const char* const argv[],
            bool err_is_terminal) {
  try {
    std::optional<TerminalProgress> terminal;
    if (err_is_terminal) terminal.emplace(err);
    return Dispatch(out, argc, argv, terminal ? &*terminal : nullptr);
  } catch (const UsageError&) {
    err << kUsage;
    return 2;
  } catch (const Error& error) {
    err << "quarrow-cli: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace quarrow
