// quarrow-make-carve-scenario: writes one table carver scenario (a real SQLite
// database with deleted, updated and dropped rows) and its truth
// (carve_scenario.h) into a folder.
//
//   quarrow-make-carve-scenario --family F [--seed N] [--page-size P]
//                               [--journal wal|delete] OUTDIR
//
// Exit status 0 on success, 1 when the scenario cannot be written, 2 for a
// usage error.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "carve_scenario.h"

namespace {

const char kUsage[] =
    "usage: quarrow-make-carve-scenario --family F [--seed N] [--page-size P]\n"
    "                                   [--journal wal|delete] OUTDIR\n"
    "\n"
    "Writes OUTDIR/db.sqlite, a real SQLite database whose tables had rows\n"
    "deleted (secure_delete OFF, auto_vacuum NONE), and OUTDIR/truth.jsonl: a\n"
    "header line, then one JSON object per row version that ever existed, with\n"
    "its fate (live, deleted, dropped, prior), values and record bytes.\n"
    "\n"
    "  --family F      ipk, noipk, runs, bulk, reuse, overflow, drop, similar,\n"
    "                  addcol, ints, or all (every family in one file)\n"
    "  --seed N        seed of the generator (default 1); same seed, same content\n"
    "  --page-size P   a power of two from 512 to 65536 (default 4096)\n"
    "  --journal J     wal (default): the last steps stay in OUTDIR/db.sqlite-wal;\n"
    "                  delete: a rollback journal, the last steps' one kept as\n"
    "                  OUTDIR/db.sqlite-journal\n";

bool ParseNumber(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < lo || value > hi) return false;
  out = value;
  return true;
}

int Usage(const std::string& problem) {
  std::cerr << "quarrow-make-carve-scenario: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  namespace sc = quarrow::scenario;
  sc::ScenarioOptions options;
  bool family_given = false;
  std::string outdir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string text;
    auto value = [&] {
      if (i + 1 >= argc) return false;
      text = argv[++i];
      return true;
    };
    long long number = 0;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--family") {
      const auto family = value() ? sc::FamilyFromName(text) : std::nullopt;
      if (!family) return Usage("--family needs one of the families below");
      options.family = *family;
      family_given = true;
    } else if (arg == "--seed") {
      if (!value() || !ParseNumber(text, 0, INT64_MAX, number)) {
        return Usage("--seed needs a non-negative number");
      }
      options.seed = static_cast<uint64_t>(number);
    } else if (arg == "--page-size") {
      if (!value() || !ParseNumber(text, 512, 65536, number) || (number & (number - 1)) != 0) {
        return Usage("--page-size needs a power of two from 512 to 65536");
      }
      options.page_size = static_cast<int>(number);
    } else if (arg == "--journal") {
      if (!value() || (text != "wal" && text != "delete")) {
        return Usage("--journal needs wal or delete");
      }
      options.journal = text == "wal" ? sc::JournalMode::kWal : sc::JournalMode::kDelete;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (outdir.empty()) {
      outdir = arg;
    } else {
      return Usage("give one output folder");
    }
  }
  if (!family_given) return Usage("no --family given");
  if (outdir.empty()) return Usage("no output folder given");

  try {
    const sc::Scenario scenario = sc::MakeCarveScenario(outdir, options);
    const std::string truth_path = (std::filesystem::path(outdir) / "truth.jsonl").string();
    std::ofstream out(truth_path, std::ios::binary | std::ios::trunc);
    out << sc::TruthText(scenario);
    out.close();
    if (!out) throw std::runtime_error("Cannot write \"" + truth_path + "\"");
  } catch (const std::exception& e) {
    std::cerr << "quarrow-make-carve-scenario: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
