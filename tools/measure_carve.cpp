// quarrow-measure-carve: scores a table carver's jsonl report for one table
// against the truth of the carve scenario it was made from (carve_measure.h).
//
//   quarrow-measure-carve TRUTH REPORT --table NAME [--deleted-only-report]
//                         [--database PATH] [--check] [--no-header]
//                         [--show-false N]
//   quarrow-measure-carve --tables TRUTH
//
// Exit status 0 on success (with --check: only when every target is met, 1
// otherwise), 1 when a file cannot be read or parsed, 2 for a usage error.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "carve_measure.h"

namespace {

const char kUsage[] =
    "usage: quarrow-measure-carve TRUTH REPORT --table NAME [--deleted-only-report]\n"
    "                             [--database PATH] [--check] [--no-header]\n"
    "                             [--show-false N] [--show-missed N]\n"
    "       quarrow-measure-carve --tables TRUTH\n"
    "\n"
    "Scores REPORT, the jsonl report of `quarrow-cli find --table NAME --format\n"
    "jsonl --details` (one or more inputs' reports, one after the other), against\n"
    "TRUTH, the truth.jsonl of quarrow-make-carve-scenario. Prints a tab-separated\n"
    "table: the deleted rows of NAME in the truth; those whose record bytes survive\n"
    "in the database, its -wal or its -journal; those a report row brings back\n"
    "with every value right (recovery intact or rebuilt); likewise the surviving\n"
    "overflow and dropped rows; report rows that equal no row version that ever\n"
    "existed (false rows); rows equal to a live row of the same rowid that claim\n"
    "to be deleted or unknown; prior versions seen with state prior.\n"
    "\n"
    "  --table NAME           the table the report was carved for\n"
    "  --deleted-only-report  REPORT was made with --deleted-only: every row in it\n"
    "                         claims not to be live\n"
    "  --database PATH        the scenario's database (default: db.sqlite beside\n"
    "                         TRUTH); PATH-wal and PATH-journal are read too\n"
    "  --check                exit 1 when a target is missed: >= 99% of surviving\n"
    "                         deleted rows right, 100% of surviving overflow rows,\n"
    "                         >= 95% of surviving dropped rows, no live row claimed\n"
    "                         deleted, false rows under 2% of the report\n"
    "  --no-header            leave out the table's header line\n"
    "  --show-false N         print the first N false rows' lines on standard error\n"
    "  --show-missed N        print the first N surviving rows not brought back right\n"
    "                         (fate, rowid, record's first bytes) on standard error\n"
    "  --tables TRUTH         print the truth's table names, one a line\n";

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open file \"" + path + "\"");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw std::runtime_error("Cannot read file \"" + path + "\"");
  return std::move(bytes).str();
}

// The database and the -wal and -journal beside it, those that exist.
std::vector<std::string> ReadEvidence(const std::string& database) {
  std::vector<std::string> files;
  for (const char* suffix : {"", "-wal", "-journal"}) {
    const std::string path = database + suffix;
    if (std::filesystem::exists(path)) files.push_back(ReadWhole(path));
  }
  if (files.empty()) throw std::runtime_error("No database \"" + database + "\"");
  return files;
}

int Usage(const std::string& problem) {
  std::cerr << "quarrow-measure-carve: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  namespace sc = quarrow::scenario;
  std::string table;
  std::string database;
  std::string tables_of;
  bool deleted_only = false;
  bool check = false;
  bool header = true;
  long show_false = 0;
  long show_missed = 0;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return !out.empty();
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--table") {
      if (!value(table)) return Usage("--table needs a name");
    } else if (arg == "--database") {
      if (!value(database)) return Usage("--database needs a path");
    } else if (arg == "--tables") {
      if (!value(tables_of)) return Usage("--tables needs a truth file");
    } else if (arg == "--deleted-only-report") {
      deleted_only = true;
    } else if (arg == "--check") {
      check = true;
    } else if (arg == "--no-header") {
      header = false;
    } else if (arg == "--show-false") {
      std::string count;
      if (!value(count) || count.find_first_not_of("0123456789") != std::string::npos ||
          count.size() > 9) {
        return Usage("--show-false needs a count");
      }
      show_false = std::stol(count);
    } else if (arg == "--show-missed") {
      std::string count;
      if (!value(count) || count.find_first_not_of("0123456789") != std::string::npos ||
          count.size() > 9) {
        return Usage("--show-missed needs a count");
      }
      show_missed = std::stol(count);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      paths.push_back(arg);
    }
  }

  try {
    if (!tables_of.empty()) {
      if (!paths.empty()) return Usage("--tables takes only the truth");
      for (const sc::TruthTable& t : sc::ParseTruth(ReadWhole(tables_of)).tables) {
        std::cout << t.name << '\n';
      }
      return 0;
    }
    if (paths.size() != 2) return Usage("give one truth and one report");
    if (table.empty()) return Usage("no --table given");
    if (database.empty()) {
      database = (std::filesystem::path(paths[0]).parent_path() / "db.sqlite").string();
    }
    const sc::Truth truth = sc::ParseTruth(ReadWhole(paths[0]));
    const std::vector<sc::ReportRow> report = sc::ParseReport(ReadWhole(paths[1]));
    const sc::CarveMeasure m =
        sc::MeasureCarve(truth, table, report, ReadEvidence(database), deleted_only);
    std::string text = sc::FormatMeasure(table, m);
    if (!header) text.erase(0, text.find('\n') + 1);
    std::cout << text;
    for (size_t i = 0; i < m.false_row_indexes.size() && static_cast<long>(i) < show_false; ++i) {
      std::cerr << "false row: " << report[m.false_row_indexes[i]].line << '\n';
    }
    for (size_t i = 0; i < m.missed.size() && static_cast<long>(i) < show_missed; ++i) {
      const sc::TruthRow& row = *m.missed[i];
      std::cerr << "missed row: " << row.fate << " rowid " << row.rowid
                << (row.overflow ? " overflow" : "") << " record " << row.record.size()
                << " bytes:";
      for (size_t k = 0; k < std::min<size_t>(row.record.size(), 24); ++k) {
        static const char kHex[] = "0123456789abcdef";
        const auto byte = static_cast<unsigned char>(row.record[k]);
        std::cerr << ' ' << kHex[byte >> 4] << kHex[byte & 15];
      }
      std::cerr << '\n';
    }
    if (check && !sc::TargetsMet(m)) return 1;
  } catch (const std::exception& e) {
    std::cerr << "quarrow-measure-carve: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
