// The bundled sample address book: a real SQLite database with the iPhone
// address book's two tables (ABPerson with the 34 columns of the person schema,
// ABMultiValue with the 6 of the multi-value schema), filled with invented
// persons, phone numbers and e-mail addresses, of which about a third are then
// deleted with plain DELETE statements and secure_delete OFF, so that their
// record images stay in the file for Quarrow to carve. Persons 1 to 3 are
// always Zoë (kept), Łukasz and Мария (both deleted).
//
// The content is a pure function of the options (a fixed pseudo-random
// generator; no clock, no locale), and so, for one SQLite version, is the file.
// Used by quarrow-make-sample, the tests and the benchmark. Not thread-safe.
#ifndef QUARROW_TOOLS_SAMPLE_BOOK_H_
#define QUARROW_TOOLS_SAMPLE_BOOK_H_

#include <cstdint>
#include <string>
#include <vector>

namespace quarrow::sample {

// The real table layouts, as CREATE TABLE statements.
extern const char kPersonTableSql[];
extern const char kMultiValueTableSql[];

// ABMultiValue.property values used.
enum Property : int { kPhone = 3, kEmail = 4, kUrl = 22 };

// Largest person count: record ids (person rowids) stay within 1 to 2000, the
// range the contacts recovery accepts.
inline constexpr int kMaxPersons = 2000;

struct SampleOptions {
  int persons = 40;      // 1 to kMaxPersons
  uint64_t seed = 1;
  int page_size = 0;     // 0: SQLite's default (4096); else 512 to 65536, a power of 2
  bool wal = false;      // journal_mode=WAL; the log is checkpointed on close
  bool keep_wal = false; // WAL, never checkpointed: everything stays in "<path>-wal"
};

struct MultiValue {
  int64_t uid = 0;       // ABMultiValue.UID
  int property = 0;      // kPhone, kEmail or kUrl
  int identifier = 0;
  int label = 0;         // 1 to 6, or an unusual number
  std::string value;     // phones and e-mails only use the plausible characters
};

struct Person {
  int64_t rowid = 0;           // 1 to persons, in insertion order
  std::string first;           // UTF-8; empty when NULL
  std::string last;
  std::string organization;
  std::vector<MultiValue> values;
  bool deleted = false;
};

struct SampleBook {
  std::vector<Person> persons;  // in rowid order, deleted ones included
  int DeletedCount() const;
};

// Creates the database at `path`, replacing any file there (and its -wal, -shm
// and -journal files), and returns what it holds. Throws std::runtime_error
// naming the path or statement and SQLite's reason, or a bad option.
SampleBook MakeSampleBook(const std::string& path, const SampleOptions& options);

// The manifest of deleted persons: a header line beginning with "#", then one
// LF-terminated, tab-separated line per deleted person, in rowid order:
// rowid, First, Last, Organization, phones, e-mails. Phones and e-mails are
// "label:value" items joined by "," (neither ":" nor "," occurs in a value).
std::string ManifestText(const SampleBook& book);

}  // namespace quarrow::sample

#endif  // QUARROW_TOOLS_SAMPLE_BOOK_H_
