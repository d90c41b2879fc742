// quarrow-make-sample: writes the bundled sample address book (sample_book.h),
// a real SQLite database with deleted persons, and optionally its manifest
// (every person and value, live or deleted).
//
//   quarrow-make-sample [--layout 34|36|38] [--persons N] [--seed S]
//                       [--deleted PERCENT] [--page-size P]
//                       [--journal rollback|wal|wal-checkpointed|wal-only]
//                       [--labels table|fixed] [--wal] [--keep-wal]
//                       [--edits PERCENT] [--upgrade-from 34|36]
//                       [--damage-schema person|other] [--manifest FILE] OUTPUT.db
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
    "usage: quarrow-make-sample [--layout 34|36|38] [--persons N] [--seed S]\n"
    "                           [--deleted PERCENT] [--page-size P]\n"
    "                           [--journal rollback|wal|wal-checkpointed|wal-only]\n"
    "                           [--labels table|fixed] [--wal] [--keep-wal]\n"
    "                           [--edits PERCENT] [--upgrade-from 34|36]\n"
    "                           [--damage-schema person|other] [--manifest FILE] OUTPUT.db\n"
    "\n"
    "Writes a sample iPhone address book as a real SQLite database, laid out as\n"
    "one phone generation writes it, then deletes a share of its persons (with\n"
    "their numbers, e-mail addresses and search-index rows) with secure_delete\n"
    "OFF, so that their records stay in the file.\n"
    "\n"
    "  --layout L      person table of 34 columns (older phones: multi-value table\n"
    "                  of 6 columns, no search index), 36 (guid, PhonemeData; a\n"
    "                  7-column multi-value table) or 38 (AlternateBirthday,\n"
    "                  MapsData too). Default 38\n"
    "  --persons N     persons to create, 1 to 2000 (default 40)\n"
    "  --seed S        seed of the generator (default 1); same seed, same content\n"
    "  --deleted P     delete P percent of the persons, 0 to 100 (default a third)\n"
    "  --page-size P   SQLite page size, a power of two from 512 to 65536\n"
    "  --journal J     rollback: a rollback journal (default for 34);\n"
    "                  wal: WAL as phones leave it, the latest deletions still in\n"
    "                  OUTPUT.db-wal (default for 36 and 38);\n"
    "                  wal-checkpointed: WAL, checkpointed when done (no -wal left);\n"
    "                  wal-only: WAL, never checkpointed: the data stays in the -wal\n"
    "  --labels K      table: a label table (ABMultiValueLabel) in the order labels\n"
    "                  are first used (default for 36 and 38); fixed: no label\n"
    "                  table, ids 1 to 6 for Mobile, iPhone, Home, Other, Work,\n"
    "                  WorkFAX and 27 for any other label (default for 34)\n"
    "  --edits P       edit P percent of the persons that stay (0 to 100, default 0):\n"
    "                  a new ModificationDate and a new number for one of their\n"
    "                  phone numbers, half before the deletions, half after\n"
    "  --upgrade-from L\n"
    "                  begin the book in the older layout L (34 or 36), write all\n"
    "                  but one in twenty of the persons and delete some, then\n"
    "                  rebuild the person and\n"
    "                  multi-value tables with the columns of --layout (a new\n"
    "                  table, the rows copied, the old one dropped and the new one\n"
    "                  renamed) before the rest are written and deleted\n"
    "  --damage-schema D\n"
    "                  afterwards, write bytes no SQL text holds over part of a\n"
    "                  schema text in OUTPUT.db: person (ABPerson's definition) or\n"
    "                  other (an index's: SQLite refuses the schema, ABPerson's\n"
    "                  definition is whole)\n"
    "  --wal           same as --journal wal-checkpointed\n"
    "  --keep-wal      same as --journal wal-only\n"
    "  --manifest FILE write the ground truth as tab-separated lines to FILE (\"-\"\n"
    "                  for standard output): two \"#\" lines, then per person\n"
    "                  person, rowid, live|deleted, First, Last, Organization,\n"
    "                  the layout of its last record, CreationDate,\n"
    "                  ModificationDate, ExternalUUID; followed by its values:\n"
    "                  value, record_id, property (3 phone, 4 e-mail, 22 URL),\n"
    "                  label text, value, label id, UID; and by its edits:\n"
    "                  edit, rowid, old and new ModificationDate, UID, old and\n"
    "                  new number (UID 0 and no numbers when none changed)\n";

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
    } else if (arg == "--layout") {
      if (!value(text) || !ParseNumber(text, 34, 38, number) ||
          !quarrow::sample::IsLayout(static_cast<int>(number))) {
        return Usage("--layout needs 34, 36 or 38");
      }
      options.layout = static_cast<int>(number);
    } else if (arg == "--deleted") {
      if (!value(text) || !ParseNumber(text, 0, 100, number)) {
        return Usage("--deleted needs a percentage from 0 to 100");
      }
      options.delete_percent = static_cast<int>(number);
    } else if (arg == "--journal") {
      using quarrow::sample::Journal;
      value(text);
      if (text == "rollback") {
        options.journal = Journal::kRollback;
      } else if (text == "wal") {
        options.journal = Journal::kWal;
      } else if (text == "wal-checkpointed") {
        options.journal = Journal::kWalCheckpointed;
      } else if (text == "wal-only") {
        options.journal = Journal::kWalOnly;
      } else {
        return Usage("--journal needs rollback, wal, wal-checkpointed or wal-only");
      }
    } else if (arg == "--labels") {
      using quarrow::sample::Labels;
      value(text);
      if (text == "table") {
        options.labels = Labels::kTable;
      } else if (text == "fixed") {
        options.labels = Labels::kFixed;
      } else {
        return Usage("--labels needs table or fixed");
      }
    } else if (arg == "--edits") {
      if (!value(text) || !ParseNumber(text, 0, 100, number)) {
        return Usage("--edits needs a percentage from 0 to 100");
      }
      options.edit_percent = static_cast<int>(number);
    } else if (arg == "--upgrade-from") {
      if (!value(text) || !ParseNumber(text, 34, 36, number) ||
          !quarrow::sample::IsLayout(static_cast<int>(number))) {
        return Usage("--upgrade-from needs 34 or 36");
      }
      options.upgrade_from = static_cast<int>(number);
    } else if (arg == "--damage-schema") {
      using quarrow::sample::SchemaDamage;
      value(text);
      if (text == "person") {
        options.damage = SchemaDamage::kPerson;
      } else if (text == "other") {
        options.damage = SchemaDamage::kOther;
      } else {
        return Usage("--damage-schema needs person or other");
      }
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
      std::cout << output << ": layout " << book.layout << ", " << book.persons.size()
                << " persons, " << book.DeletedCount() << " of them deleted\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "quarrow-make-sample: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
