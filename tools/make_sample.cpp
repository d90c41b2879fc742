// quarrow-make-sample: writes the bundled sample address book (sample_book.h),
// a real SQLite database with deleted persons, and optionally the manifest of
// what was deleted.
//
//   quarrow-make-sample [--persons N] [--seed S] [--page-size P] [--wal]
//                       [--keep-wal] [--manifest FILE] OUTPUT.db
//
// Exit status 0 on success, 1 when the database cannot be written, 2 for a
// usage error.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>

#include "sample_book.h"

namespace {

const char kUsage[] =
    "usage: quarrow-make-sample [--persons N] [--seed S] [--page-size P] [--wal]\n"
    "                           [--keep-wal] [--manifest FILE] OUTPUT.db\n"
    "\n"
    "Writes a sample iPhone-style address book (tables ABPerson and ABMultiValue)\n"
    "as a real SQLite database, then deletes about a third of its persons with\n"
    "secure_delete OFF, so that their records stay in the file.\n"
    "\n"
    "  --persons N     persons to create, 1 to 2000 (default 40)\n"
    "  --seed S        seed of the generator (default 1); same seed, same content\n"
    "  --page-size P   SQLite page size, a power of two from 512 to 65536\n"
    "  --wal           use WAL journal mode (checkpointed when done)\n"
    "  --keep-wal      use WAL mode and never checkpoint: the data stays in\n"
    "                  OUTPUT.db-wal\n"
    "  --manifest FILE write the deleted persons as tab-separated lines to FILE\n"
    "                  (\"-\" for standard output): rowid, First, Last,\n"
    "                  Organization, phones, e-mails (label:value items, comma-joined)\n";

// Parses a whole decimal number in [lo, hi]; false otherwise.
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
  std::cerr << "quarrow-make-sample: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  quarrow::sample::SampleOptions options;
  std::string output;
  std::string manifest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string text;
    long long number = 0;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--persons") {
      if (!value(text) || !ParseNumber(text, 1, quarrow::sample::kMaxPersons, number)) {
        return Usage("--persons needs a number from 1 to 2000");
      }
      options.persons = static_cast<int>(number);
    } else if (arg == "--seed") {
      if (!value(text) || !ParseNumber(text, 0, INT64_MAX, number)) {
        return Usage("--seed needs a non-negative number");
      }
      options.seed = static_cast<uint64_t>(number);
    } else if (arg == "--page-size") {
      if (!value(text) || !ParseNumber(text, 512, 65536, number) ||
          (number & (number - 1)) != 0) {
        return Usage("--page-size needs a power of two from 512 to 65536");
      }
      options.page_size = static_cast<int>(number);
    } else if (arg == "--wal") {
      options.wal = true;
    } else if (arg == "--keep-wal") {
      options.keep_wal = true;
    } else if (arg == "--manifest") {
      if (!value(manifest) || manifest.empty()) return Usage("--manifest needs a file name");
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (output.empty()) {
      output = arg;
    } else {
      return Usage("only one output file may be given");
    }
  }
  if (output.empty()) return Usage("no output file given");

  try {
    const quarrow::sample::SampleBook book = quarrow::sample::MakeSampleBook(output, options);
    const std::string text = quarrow::sample::ManifestText(book);
    if (manifest == "-") {
      std::cout << text << std::flush;
    } else if (!manifest.empty()) {
      std::ofstream out(manifest, std::ios::binary | std::ios::trunc);
      out << text;
      out.close();
      if (!out) throw std::runtime_error("Cannot write manifest \"" + manifest + "\"");
    }
    if (manifest != "-") {
      std::cout << output << ": " << book.persons.size() << " persons, "
                << book.DeletedCount() << " of them deleted\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "quarrow-make-sample: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
