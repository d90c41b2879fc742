// quarrow-measure-recovery: scores a contacts report against the manifest of
// the sample address book it was made from (recovery_measure.h).
//
//   quarrow-measure-recovery [--tsv] [--header] [--name NAME] MANIFEST REPORT
//
// Prints the measure as readable lines, or with --tsv one tab-separated line of
// counts (--header: a line of column names first; --name: the first field).
// Exit status 0 on success, 1 when a file cannot be read or parsed, 2 for a
// usage error.
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "recovery_measure.h"

namespace {

const char kUsage[] =
    "usage: quarrow-measure-recovery [--tsv] [--header] [--name NAME] MANIFEST REPORT\n"
    "\n"
    "Scores a contacts report (quarrow-cli contacts) against the manifest of the\n"
    "sample address book it was made from (quarrow-make-sample --manifest).\n"
    "Persons are found by name (a row whose First and Last cells are theirs; a\n"
    "company by its Organization cell). Numbers and e-mail addresses count as\n"
    "filed when they are an item of the right label column in a row of their\n"
    "person; a deleted person's values are also counted in any label column of\n"
    "their row, and anywhere (any label cell of any row). USSD codes (# or *)\n"
    "are not counted.\n"
    "\n"
    "  --tsv        one tab-separated line of counts instead of readable lines\n"
    "  --header     with --tsv: a line of column names first\n"
    "  --name NAME  with --tsv: the line's first field (default: the report's path)\n";

const char kTsvHeader[] =
    "book\tlive_persons\tlive_persons_total\tlive_values_filed\tlive_values_total\t"
    "deleted_persons\tdeleted_persons_total\tdeleted_values_filed\tdeleted_values_in_row\t"
    "deleted_values_anywhere\tdeleted_values_total\texcluded_values\n";

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open file \"" + path + "\"");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw std::runtime_error("Cannot read file \"" + path + "\"");
  return std::move(bytes).str();
}

void PrintReadable(const quarrow::sample::RecoveryMeasure& m) {
  using quarrow::sample::FormatScore;
  std::cout << "live persons found by name:                  " << FormatScore(m.live_persons) << "\n"
            << "live numbers and e-mails filed right:        " << FormatScore(m.live_values) << "\n"
            << "deleted persons found by name:               " << FormatScore(m.deleted_persons) << "\n"
            << "deleted numbers and e-mails filed right:     " << FormatScore(m.deleted_values_filed) << "\n"
            << "deleted numbers and e-mails in their row:    " << FormatScore(m.deleted_values_in_row) << "\n"
            << "deleted numbers and e-mails anywhere:        " << FormatScore(m.deleted_values_anywhere) << "\n"
            << "USSD codes not counted:                      " << m.excluded_values << "\n";
}

void PrintTsv(const std::string& name, const quarrow::sample::RecoveryMeasure& m) {
  std::cout << name << '\t' << m.live_persons.found << '\t' << m.live_persons.total << '\t'
            << m.live_values.found << '\t' << m.live_values.total << '\t'
            << m.deleted_persons.found << '\t' << m.deleted_persons.total << '\t'
            << m.deleted_values_filed.found << '\t' << m.deleted_values_in_row.found << '\t'
            << m.deleted_values_anywhere.found << '\t' << m.deleted_values_anywhere.total << '\t'
            << m.excluded_values << '\n';
}

int Usage(const std::string& problem) {
  std::cerr << "quarrow-measure-recovery: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool tsv = false;
  bool header = false;
  std::string name;
  std::string paths[2];
  int given = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--tsv") {
      tsv = true;
    } else if (arg == "--header") {
      header = true;
    } else if (arg == "--name") {
      if (i + 1 >= argc) return Usage("--name needs a text");
      name = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (given < 2) {
      paths[given++] = arg;
    } else {
      return Usage("give one manifest and one report");
    }
  }
  if (given != 2) return Usage("give one manifest and one report");

  try {
    const auto persons = quarrow::sample::ParseManifest(ReadWhole(paths[0]));
    const auto report = quarrow::sample::ParseContactsReport(ReadWhole(paths[1]));
    const quarrow::sample::RecoveryMeasure m = quarrow::sample::MeasureRecovery(persons, report);
    if (tsv) {
      if (header) std::cout << kTsvHeader;
      PrintTsv(name.empty() ? paths[1] : name, m);
    } else {
      PrintReadable(m);
    }
  } catch (const std::exception& e) {
    std::cerr << "quarrow-measure-recovery: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
