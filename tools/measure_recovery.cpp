// quarrow-measure-recovery: scores a contacts report against the manifest of
// the sample address book it was made from (recovery_measure.h).
//
//   quarrow-measure-recovery [--tsv] [--header] [--name NAME]
//                            [--deleted-only REPORT] MANIFEST REPORT
//
// Prints the measure as readable lines, or with --tsv one tab-separated line of
// counts (--header: a line of column names first; --name: the first field).
// With --deleted-only (REPORT then made with --details), the states' measure
// follows (StateMeasure).
// Exit status 0 on success, 1 when a file cannot be read or parsed, 2 for a
// usage error.
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "recovery_measure.h"

namespace {

const char kUsage[] =
    "usage: quarrow-measure-recovery [--tsv] [--header] [--name NAME]\n"
    "                                [--deleted-only REPORT] MANIFEST REPORT\n"
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
    "  --name NAME  with --tsv: the line's first field (default: the report's path)\n"
    "  --deleted-only DELETED\n"
    "               DELETED is the report of the same book made with --details\n"
    "               --deleted-only, REPORT one made with --details: the measure\n"
    "               then says what the states tell (manifest version 3): the\n"
    "               deleted-only rows of persons still in the book under their\n"
    "               rowid (target 0) and under another, the deleted persons kept\n"
    "               (target all), the deleted persons whose rows are all deleted or\n"
    "               unknown, the edits whose earlier version is a row and those\n"
    "               rows' states (target prior), and the persons deleted before a\n"
    "               layout upgrade found by name and with their dates and\n"
    "               ExternalUUID in their columns\n";

const char kTsvHeader[] =
    "book\tlive_persons\tlive_persons_total\tlive_values_filed\tlive_values_total\t"
    "deleted_persons\tdeleted_persons_total\tdeleted_values_filed\tdeleted_values_in_row\t"
    "deleted_values_anywhere\tdeleted_values_total\texcluded_values";
const char kTsvStateHeader[] =
    "\tlive_rowid_rows\tlive_name_rows\tdeleted_kept\tdeleted_kept_total\t"
    "deleted_by_state\tdeleted_by_state_total\tearlier_versions\tearlier_versions_total\t"
    "earlier_prior\tearlier_unknown\tearlier_other\tpre_upgrade_found\tpre_upgrade_total\t"
    "pre_upgrade_columns";
// Last, so that the columns before keep their places.
const char kTsvLinkHeader[] = "\tdeleted_values_beside_name\tdeleted_values_wrong_name";

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
            << "  of those found, in their row (reunited):   "
            << FormatScore({m.deleted_values_in_row.found, m.deleted_values_anywhere.found}) << "\n"
            << "  beside a name, beside another's (wrong):   "
            << FormatScore({m.deleted_values_wrong_name, m.deleted_values_beside_name}) << "\n"
            << "USSD codes not counted:                      " << m.excluded_values << "\n";
}

void PrintReadable(const quarrow::sample::StateMeasure& m) {
  using quarrow::sample::FormatScore;
  std::cout << "deleted-only rows of persons still in the book, under their rowid: "
            << m.live_rowid_rows << "\n"
            << "deleted-only rows of persons still in the book, under another:     "
            << m.live_name_rows << "\n"
            << "deleted persons kept by deleted-only:        " << FormatScore(m.deleted_kept) << "\n"
            << "deleted persons whose rows are all deleted or unknown: "
            << FormatScore(m.deleted_by_state) << "\n"
            << "edits whose earlier version is a row:        " << FormatScore(m.earlier_versions)
            << " (rows: " << m.earlier_prior << " prior, " << m.earlier_unknown << " unknown, "
            << m.earlier_other << " other)\n"
            << "persons deleted before the upgrade, by name: " << FormatScore(m.pre_upgrade_found)
            << "\n"
            << "  with dates and ExternalUUID in their columns: "
            << FormatScore(m.pre_upgrade_columns) << "\n";
}

// One line's fields without its end.
void PrintTsv(const std::string& name, const quarrow::sample::RecoveryMeasure& m) {
  std::cout << name << '\t' << m.live_persons.found << '\t' << m.live_persons.total << '\t'
            << m.live_values.found << '\t' << m.live_values.total << '\t'
            << m.deleted_persons.found << '\t' << m.deleted_persons.total << '\t'
            << m.deleted_values_filed.found << '\t' << m.deleted_values_in_row.found << '\t'
            << m.deleted_values_anywhere.found << '\t' << m.deleted_values_anywhere.total << '\t'
            << m.excluded_values;
}

void PrintTsv(const quarrow::sample::StateMeasure& m) {
  std::cout << '\t' << m.live_rowid_rows << '\t' << m.live_name_rows << '\t'
            << m.deleted_kept.found << '\t' << m.deleted_kept.total << '\t'
            << m.deleted_by_state.found << '\t' << m.deleted_by_state.total << '\t'
            << m.earlier_versions.found << '\t' << m.earlier_versions.total << '\t'
            << m.earlier_prior << '\t' << m.earlier_unknown << '\t' << m.earlier_other << '\t'
            << m.pre_upgrade_found.found << '\t' << m.pre_upgrade_found.total << '\t'
            << m.pre_upgrade_columns.found;
}

int Usage(const std::string& problem) {
  std::cerr << "quarrow-measure-recovery: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool tsv = false;
  bool header = false;
  std::string name, deleted_only;
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
    } else if (arg == "--deleted-only") {
      if (i + 1 >= argc) return Usage("--deleted-only needs a report");
      deleted_only = argv[++i];
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
    std::optional<quarrow::sample::StateMeasure> states;
    if (!deleted_only.empty()) {
      states = quarrow::sample::MeasureStates(
          persons, report, quarrow::sample::ParseContactsReport(ReadWhole(deleted_only)));
    }
    if (tsv) {
      if (header)
        std::cout << kTsvHeader << (states ? kTsvStateHeader : "") << kTsvLinkHeader << '\n';
      PrintTsv(name.empty() ? paths[1] : name, m);
      if (states) PrintTsv(*states);
      std::cout << '\t' << m.deleted_values_beside_name << '\t' << m.deleted_values_wrong_name;
      std::cout << '\n';
    } else {
      PrintReadable(m);
      if (states) PrintReadable(*states);
    }
  } catch (const std::exception& e) {
    std::cerr << "quarrow-measure-recovery: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
