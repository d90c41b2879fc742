#include "cli/cli_main.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "cli/cli_platform.h"
#include "cli/map_command.h"
#include "cli/stdin_spool.h"
#include "contacts/contacts_recovery.h"
#include "engine/file_io.h"
#include "engine/ports.h"
#include "schema/table_definitions.h"
#include "search/find_data.h"
#include "search/find_table.h"
#include "search/window_scan.h"
#include "text_rule/error.h"
#include "text_rule/text_rule.h"

namespace quarrow {
namespace {

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

// The sink every command gets: it stops the command when a signal asked to,
// and draws "scanning  42%" on a terminal, at most a few times a second. The
// line is wiped when the command ends, however it ends.
class CliProgress : public ProgressSink {
 public:
  CliProgress(std::ostream& err, bool draw, const std::atomic<bool>* cancel)
      : err_(err), draw_(draw), cancel_(cancel) {}
  ~CliProgress() override { Wipe(); }
  bool Update(int64_t done, int64_t total) override {
    if (Cancelled()) return false;
    if (!draw_) return true;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(200) && done < total) return true;
    last_ = now;
    drawn_ = true;
    int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    err_ << "\rscanning " << percent << "%" << std::flush;
    return true;
  }
  bool Cancelled() const { return cancel_ && cancel_->load(); }
  void Wipe() {
    if (drawn_) err_ << "\r              \r" << std::flush;
    drawn_ = false;
  }

 private:
  std::ostream& err_;
  bool draw_;
  const std::atomic<bool>* cancel_;
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

// Window-scan lines on a stream, each ended by `line_end`. A failed write ends
// the scan at once: scanning on into a full disk or a closed pipe helps nobody.
class StreamView : public OutputView {
 public:
  StreamView(std::ostream& out, const char* line_end) : out_(out), line_end_(line_end) {}
  void Clear() override {}
  void AppendLine(std::string_view line) override {
    out_ << line << line_end_;
    Check();
  }
  void LoadFile(const std::string&) override {}
  void Check() {
    if (!out_) throw Error(std::string("Cannot write to standard output. ") + std::strerror(errno));
  }

 private:
  std::ostream& out_;
  const char* line_end_;
};

// What a finished command tells the summary line.
struct Outcome {
  int64_t count = 0;
  const char* unit = "records";
  std::string written_to;
};

std::string Destination(const std::string& output) {
  return output == "-" ? "standard output" : "\"" + FullPath(output) + "\"";
}

Outcome RunFind(const CliRequest& request, const std::string& input, ProgressSink& progress) {
  if (request.all_tables) {
    int64_t records = FindAllTables(input, request.output, &progress, request.options);
    return {records, "records", "\"" + FullPath(request.output) + "\""};
  }
  if (request.table) {
    int64_t records = FindTable(input, *request.table, request.output, &progress, request.options);
    return {records, "records", Destination(request.output)};
  }
  std::vector<std::string> ddl_lines;
  if (request.ddl) {
    ddl_lines = ReadDdlFile(*request.ddl);
  } else {
    ddl_lines = InitialDdlLines();
  }
  LinesEditor editor(std::move(ddl_lines));
  NoView view;
  int64_t records =
      FindDataCommand(editor, input, request.output, view, &progress, request.options);
  return {records, "records", Destination(request.output)};
}

Outcome RunContacts(const CliRequest& request, const std::string& input,
                    ProgressSink& progress) {
  if (request.write_part) {
    LinesEditor editor;
    const int64_t persons = RecoverContactsPart(input, request.offset.value_or("0"),
                                                request.output, editor, &progress, request.options);
    return {persons, "person records", Destination(request.output)};
  }
  LinesEditor editor;
  NoView view;
  ResultTable table;
  int64_t rows = RecoverContacts(input, request.offset.value_or("0"), request.output, editor,
                                 view, table, &progress, request.options);
  return {rows, "rows", Destination(request.output)};
}

Outcome RunScan(const CliRequest& request, const std::string& input, std::ostream& out,
                CliProgress& progress) {
  LinesEditor editor;
  StreamView view(out, request.options.format == ReportFormat::kCsv ? "\r\n" : "\n");
  int64_t lines = 0;
  try {
    lines = ScanWindow(
        input,
        [&] {
          // Read as the window's fields are ("0" in front), quoting what was typed.
          WindowRange range;
          if (request.length) range.length = WindowFieldNumber(*request.length, *request.length);
          if (request.offset) range.offset = WindowFieldNumber(*request.offset, *request.offset);
          return range;
        },
        editor, view, &progress, request.options);
  } catch (const Error&) {
    if (!progress.Cancelled()) throw;
    out.flush();
    throw Error("The scan was cancelled: the lines written hold what was found up to "
                "then, and are incomplete");
  }
  out.flush();
  view.Check();
  return {lines, "lines", "standard output"};
}

Outcome RunMerge(const CliRequest& request) {
  const int64_t count = MergeContactsParts(request.part_inputs, request.output,
                                           request.merge_to_part, request.options);
  return {count, request.merge_to_part ? "person records" : "rows", Destination(request.output)};
}

Outcome RunMap(const CliRequest& request, const std::string& input, ProgressSink& progress) {
  MapRequest map;
  map.input_path = input;
  map.input_name = request.input == "-" ? "standard input" : request.input;
  map.output_path = request.output;
  map.command = "quarrow-cli map " + request.input + " " + request.output;
  map.threads = request.options.threads;
  const MapOutcome drawn = DrawEvidenceMap(map, &progress);
  return {drawn.records, "records", Destination(request.output)};
}

std::string Elapsed(std::chrono::steady_clock::duration duration) {
  double seconds = std::chrono::duration<double>(duration).count();
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

int Run(const CliContext& context, const CliRequest& request) {
  auto start = std::chrono::steady_clock::now();
  const bool on_terminal = context.err_is_terminal && !request.quiet;
  CliProgress progress(context.err, on_terminal, context.cancel);
  try {
    std::optional<StandardInputFile> standard_input;
    if (request.input == "-") standard_input.emplace(context.cancel, context.stdin_fd);
    const std::string& input = standard_input ? standard_input->path() : request.input;
    // A source of table definitions that cannot be read is an error, whether
    // or not this run ends up needing it.
    if (!request.options.schema_from.empty()) InputFile check(request.options.schema_from);
    Outcome outcome;
    if (request.command == "find") outcome = RunFind(request, input, progress);
    if (request.command == "contacts") outcome = RunContacts(request, input, progress);
    if (request.command == "scan") outcome = RunScan(request, input, context.out, progress);
    if (request.command == "map") outcome = RunMap(request, input, progress);
    if (request.command == "merge") outcome = RunMerge(request);
    progress.Wipe();
    if (on_terminal) {
      context.err << "quarrow-cli: " << outcome.count << ' ' << outcome.unit << " written to "
                  << outcome.written_to << " in "
                  << Elapsed(std::chrono::steady_clock::now() - start) << '\n';
    }
    return kExitDone;
  } catch (const Error& error) {
    progress.Wipe();
    if (StandardOutputIsBrokenPipe()) return kExitBrokenPipe;
    context.err << "quarrow-cli: " << error.what() << '\n';
    return progress.Cancelled() ? kExitCancelled : kExitFailed;
  }
}

}  // namespace

int CliMain(const CliContext& context, int argc, const char* const argv[]) {
  CliRequest request;
  try {
    request = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    context.err << "quarrow-cli: " << error.what() << '\n'
                << kCliUsage << "Run 'quarrow-cli --help' for more information.\n";
    return kExitUsage;
  }
  if (request.kind != CliRequest::Kind::kRun) {
    context.out << request.help_text;
    if (request.help_text.empty() || request.help_text.back() != '\n') context.out << '\n';
    context.out.flush();
    return kExitDone;
  }
  return Run(context, request);
}

int CliMain(std::ostream& out, std::ostream& err, int argc, const char* const argv[],
            bool err_is_terminal) {
  return CliMain(CliContext{out, err, err_is_terminal}, argc, argv);
}

}  // namespace quarrow
