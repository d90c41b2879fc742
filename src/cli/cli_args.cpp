#include "cli/cli_args.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include <CLI/CLI.hpp>

#include "engine/values.h"

namespace quarrow {

const char* const kCliUsage =
    "usage: quarrow-cli find     [--ddl FILE | --table NAME | --all-tables] [--schema-from FILE] [OPTIONS] INPUT OUTPUT\n"
    "       quarrow-cli contacts [--offset N] [--schema-from FILE] [--parts] [OPTIONS] INPUT OUTPUT\n"
    "       quarrow-cli scan     [--offset N] [--length N] [--range START:END] [--format F] INPUT\n"
    "       quarrow-cli merge    [--format F] [--details] [--parts] PART... OUTPUT\n"
    "       quarrow-cli map      INPUT OUTPUT.svg\n"
    "       quarrow-cli --help | -h | --version | -V       (and COMMAND --help)\n";

namespace {

constexpr const char* kDescription =
    "Recovers deleted records of SQLite tables from any file (a database, its\n"
    "WAL or journal, a disk image), without opening it as a database. The input\n"
    "is only read.";

constexpr const char* kFooter =
    "Commands:\n"
    "  find      carve every record that fits a column list into a report\n"
    "  contacts  recover persons with their phone numbers and e-mail addresses\n"
    "  scan      list three-column multi-value records in a window of the file\n"
    "  merge     write the contacts report from the parts of its shards\n"
    "  map       draw where the file's pages and recovered records lie (SVG)\n"
    "Run 'quarrow-cli COMMAND --help' for a command's options.\n"
    "\n"
    "INPUT - reads standard input: it is copied to a temporary file (the scan\n"
    "reads by position), which is removed afterwards. OUTPUT - writes the report\n"
    "to standard output. Exit status: 0 done, 1 the command failed, 2 wrong\n"
    "usage, 130 cancelled by Ctrl-C or SIGTERM (the report keeps what was found).";

constexpr const char* kFindHelp =
    "Carves every record that fits the column list (one DDL line per column: from\n"
    "--ddl FILE, else the address book's 29 person columns) into a report. With\n"
    "--table NAME, carves that table by its own definition (as the input, live or\n"
    "dropped, or --schema-from defines it: a database or a text of CREATE TABLE\n"
    "statements): whole cells, freed cells rebuilt, overflow chains. With\n"
    "--all-tables, every table into the folder OUTPUT, one report per table and\n"
    "tables.tsv.";
constexpr const char* kContactsHelp =
    "Recovers persons with their phone numbers and e-mail addresses from an\n"
    "address book, starting at byte N.";
constexpr const char* kScanHelp =
    "Lists the three-column multi-value records found in a window of the file\n"
    "on standard output, one per line.";
constexpr const char* kMergeHelp =
    "Writes the contacts report of a whole input from the parts that\n"
    "'contacts --range START:END --parts' wrote for its shards: byte for byte the\n"
    "report of one run. The parts, in any order, must be of one input, one\n"
    "version and the same options, and cover the input without a gap or an\n"
    "overlap; else nothing is written. With --parts, OUTPUT is a part of the\n"
    "ranges joined (they need not reach the ends), so a merge can be split.";
constexpr const char* kRangeHelp =
    "only records whose first byte lies at offsets START to END - 1 (START: to\n"
    "the end); bytes outside are read as context. The reports of consecutive\n"
    "ranges, joined with their first lines once, are the whole run's";
constexpr const char* kMapHelp =
    "Draws the input as a grid of its pages, each coloured by what it is (a\n"
    "table's b-tree, an index, freelist, overflow, WAL frame, journal image,\n"
    "unmapped), with the records contacts recovery finds marked by state, into\n"
    "the SVG picture OUTPUT, titled with the input's name, size and SHA-256.";
constexpr const char* kInputFooter =
    "INPUT - reads standard input (copied to a temporary file, removed afterwards);\n"
    "OUTPUT - writes to standard output. N: a number from 0 to 9223372036854775807.";

// The options every report command shares.
void AddReportOptions(CLI::App& command, CliRequest& request, std::string& format) {
  command.add_option("--format", format, "report format: tsv (default), csv or jsonl")
      ->check(CLI::IsMember({"tsv", "csv", "jsonl"}))
      ->type_name("F");
  command.add_flag("--bom", request.options.bom, "csv: start with a UTF-8 byte-order mark");
  command.add_option("--threads", request.options.threads,
                     "scan workers (default 0: one per processor)")
      ->check(CLI::Range(0, 1024))
      ->type_name("N");
  command.add_flag("--quiet", request.quiet, "no progress and no summary line");
}

void AddRecordOptions(CLI::App& command, CliRequest& request) {
  command.add_option("--schema-from", request.options.schema_from,
                     "read table definitions from FILE instead of the input")
      ->type_name("FILE");
  command.add_flag("--details", request.options.details,
                   "add each record's offset, status (where it lies), state (live, prior,\n"
                   "deleted, unknown) and, for find, how it was recovered");
  command.add_flag("--deleted-only", request.options.deleted_only,
                   "keep deleted records and those whose rowid was destroyed, less\n"
                   "copies of live rows");
}

void AddRangeOption(CLI::App& command, std::string& range, std::vector<CLI::Option*>& options) {
  options.push_back(command.add_option("--range", range, kRangeHelp)->type_name("START:END"));
}

struct Grammar {
  CLI::App app{kDescription, "quarrow-cli"};
  CLI::App* find = nullptr;
  CLI::App* contacts = nullptr;
  CLI::App* scan = nullptr;
  CLI::App* map = nullptr;
  CLI::App* merge = nullptr;
  std::string format = "tsv";
  std::string ddl, table, offset, length, range;
  std::vector<std::string> merge_files;
  std::vector<CLI::Option*> range_options;
  CLI::Option* ddl_option = nullptr;
  CLI::Option* table_option = nullptr;
  CLI::Option* all_tables_option = nullptr;
  CLI::Option* offset_options[2] = {};
  CLI::Option* length_option = nullptr;

  // Every command is named, but only `only`'s options are made (all of them
  // when it is empty): a shard's process parses its own command line only,
  // and making the rest cost a third of its start.
  Grammar(CliRequest& request, std::string_view only) {
    auto builds = [only](std::string_view name) { return only.empty() || only == name; };
    app.set_help_flag("-h,--help", "print this help and exit");
    app.set_version_flag("-V,--version", std::string("quarrow-cli ") + QUARROW_VERSION,
                         "print the version and exit");
    app.footer(kFooter);
    app.require_subcommand(1);
    // "/data/x.db" is a path on Windows too, never an option (inherited by
    // the commands).
    app.allow_windows_style_options(false);

    find = app.add_subcommand("find", kFindHelp);
    if (builds("find")) AddFind(request);
    contacts = app.add_subcommand("contacts", kContactsHelp);
    if (builds("contacts")) AddContacts(request);
    scan = app.add_subcommand("scan", kScanHelp);
    if (builds("scan")) AddScan(request);
    merge = app.add_subcommand("merge", kMergeHelp);
    if (builds("merge")) AddMerge(request);
    map = app.add_subcommand("map", kMapHelp);
    if (builds("map")) AddMap(request);
  }

  void AddFind(CliRequest& request) {
    ddl_option = find->add_option("--ddl", ddl, "the column list: one DDL line per column")
                     ->type_name("FILE");
    table_option =
        find->add_option("--table", table, "the column list of table NAME")->type_name("NAME");
    ddl_option->excludes(table_option);
    all_tables_option = find->add_flag("--all-tables", request.all_tables,
                                       "carve every table, live or dropped, into the folder OUTPUT");
    all_tables_option->excludes(ddl_option)->excludes(table_option);
    // The help names the exclusions itself: the parser lists them in the order
    // of their addresses in memory, which differs from run to run on Windows.
    ddl_option->option_text("FILE Excludes: --table --all-tables");
    table_option->option_text("NAME Excludes: --ddl --all-tables");
    all_tables_option->option_text("Excludes: --ddl --table");
    AddRecordOptions(*find, request);
    AddReportOptions(*find, request, format);
    AddRangeOption(*find, range, range_options);
    find->add_option("INPUT", request.input, "the file to search")->required();
    find->add_option("OUTPUT", request.output, "the report to write")->required();
    find->footer(kInputFooter);
  }

  void AddContacts(CliRequest& request) {
    offset_options[0] =
        contacts->add_option("--offset", offset, "start at byte N (default 0)")->type_name("N");
    AddRecordOptions(*contacts, request);
    AddReportOptions(*contacts, request, format);
    AddRangeOption(*contacts, range, range_options);
    contacts->add_flag("--parts", request.write_part,
                       "write OUTPUT as a part of a shard for 'merge', not a report");
    contacts->add_option("INPUT", request.input, "the address book or image")->required();
    contacts->add_option("OUTPUT", request.output, "the report to write")->required();
    contacts->footer(kInputFooter);
  }

  void AddScan(CliRequest& request) {
    offset_options[1] =
        scan->add_option("--offset", offset, "the window's start (default 0)")->type_name("N");
    length_option = scan->add_option("--length", length,
                                     "the window's length (default: to the file's end)")
                        ->type_name("N");
    AddReportOptions(*scan, request, format);
    AddRangeOption(*scan, range, range_options);
    scan->add_option("INPUT", request.input, "the file to search")->required();
    scan->footer(kInputFooter);
  }

  void AddMerge(CliRequest& request) {
    merge->add_option("--format", format, "report format: tsv (default), csv or jsonl")
        ->check(CLI::IsMember({"tsv", "csv", "jsonl"}))
        ->type_name("F");
    merge->add_flag("--bom", request.options.bom, "csv: start with a UTF-8 byte-order mark");
    merge->add_flag("--details", request.options.details,
                    "add each row's offset, status, state and links (the shards must\n"
                    "have been run with --details)");
    merge->add_flag("--parts", request.merge_to_part, "write OUTPUT as a part, not a report");
    merge->add_flag("--quiet", request.quiet, "no progress and no summary line");
    merge->add_option("PART", merge_files, "the parts, then OUTPUT, the report to write")
        ->required()
        ->expected(2, -1);
    merge->footer("OUTPUT - writes the report to standard output.");
  }

  void AddMap(CliRequest& request) {
    map->add_option("--threads", request.options.threads,
                    "scan workers (default 0: one per processor)")
        ->check(CLI::Range(0, 1024))
        ->type_name("N");
    map->add_flag("--quiet", request.quiet, "no progress and no summary line");
    map->add_option("INPUT", request.input, "the file to draw")->required();
    map->add_option("OUTPUT", request.output, "the SVG picture to write")->required();
    map->footer(kInputFooter);
  }
};

// Names an unknown command or a long option the command does not have before
// the parser sees them: its own messages would blame the positional arguments
// that the unknown option pushed out of place.
void CheckWords(CLI::App& app, const std::vector<std::string>& words) {
  if (words.empty() || words[0].rfind("-", 0) == 0) return;
  CLI::App* command = nullptr;
  try {
    command = app.get_subcommand(words[0]);
  } catch (const CLI::OptionNotFound&) {
    throw UsageError("unknown command '" + words[0] +
                     "' (the commands are find, contacts, scan, merge and map)");
  }
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--") return;
    if (word.size() <= 2 || word.rfind("--", 0) != 0) continue;
    size_t equals = word.find('=');
    std::string name = word.substr(0, equals);
    const CLI::Option* option = command->get_option_no_throw(name);
    if (option == nullptr) {
      throw UsageError("unknown option '" + name + "' for " + words[0]);
    }
    // An option's value is not an option, whatever it looks like.
    if (equals == std::string::npos && option->get_expected_min() > 0) ++i;
  }
}


// START:END or START: (to the end), START <= END; else a usage error naming it.
void ApplyRange(const std::string& text, CliRequest& request) {
  const size_t colon = text.find(':');
  int64_t first = 0, end = INT64_MAX;
  const bool valid = colon != std::string::npos &&
                     ParseDecimal(std::string_view(text).substr(0, colon), first) &&
                     (colon + 1 == text.size() ||
                      ParseDecimal(std::string_view(text).substr(colon + 1), end)) &&
                     first <= end;
  if (!valid)
    throw UsageError("--range: '" + text +
                     "' is no range START:END or START: (byte offsets from 0 to "
                     "9223372036854775807, START not past END)");
  request.options.range_first = first;
  request.options.range_end = end;
}

ReportFormat FormatOf(const std::string& name) {
  if (name == "csv") return ReportFormat::kCsv;
  if (name == "jsonl") return ReportFormat::kJsonl;
  return ReportFormat::kTsv;
}

}  // namespace

CliRequest ParseCommandLine(const std::vector<std::string>& args) {
  CliRequest request;
  // "help" and "help COMMAND" are the same as --help and COMMAND --help.
  std::vector<std::string> words = args;
  if (!words.empty() && words[0] == "help") {
    if (words.size() > 2) throw UsageError("help takes at most one command: " + words[2]);
    words.erase(words.begin());
    words.push_back("--help");
  }
  const bool known_command =
      !words.empty() && (words[0] == "find" || words[0] == "contacts" || words[0] == "scan" ||
                         words[0] == "merge" || words[0] == "map");
  Grammar grammar(request, known_command ? std::string_view(words[0]) : std::string_view());
  CheckWords(*grammar.find->get_parent(), words);
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    grammar.app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    request.kind = CliRequest::Kind::kHelp;
    request.help_text = grammar.app.help();
    return request;
  } catch (const CLI::CallForVersion& version) {
    request.kind = CliRequest::Kind::kVersion;
    request.help_text = version.what();
    return request;
  } catch (const CLI::ParseError& error) {
    throw UsageError(error.what());
  }
  CLI::App* chosen = grammar.app.get_subcommands().at(0);
  request.command = chosen->get_name();
  request.options.format = FormatOf(grammar.format);
  auto given = [](const CLI::Option* option) { return option != nullptr && option->count() > 0; };
  if (given(grammar.ddl_option)) request.ddl = grammar.ddl;
  if (given(grammar.table_option)) request.table = grammar.table;
  for (CLI::Option* option : grammar.offset_options)
    if (given(option)) request.offset = grammar.offset;
  if (given(grammar.length_option)) request.length = grammar.length;
  if (request.command == "merge") {
    request.part_inputs.assign(grammar.merge_files.begin(), grammar.merge_files.end() - 1);
    request.output = grammar.merge_files.back();
  }
  for (CLI::Option* option : grammar.range_options)
    if (option->count()) ApplyRange(grammar.range, request);
  if (request.command == "find" && request.options.ranged() && request.all_tables)
    throw UsageError("--range cannot be used with --all-tables: its tables.tsv counts the whole "
                     "input; carve each table with --table NAME --range instead");
  return request;
}

std::vector<std::string> CliHelpTexts() {
  std::vector<std::string> texts;
  for (const char* command : {"", "find", "contacts", "scan", "merge", "map"}) {
    std::vector<std::string> args;
    if (*command) args.push_back(command);
    args.push_back("--help");
    texts.push_back(ParseCommandLine(args).help_text);
  }
  return texts;
}

}  // namespace quarrow
