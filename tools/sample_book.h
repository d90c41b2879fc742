// The bundled sample address book: a real SQLite database laid out as an
// iPhone's address book of one of three generations (sample_layout.h), filled
// with invented persons, phone numbers and e-mail addresses, of which a share
// is then deleted with plain DELETE statements and secure_delete OFF, so that
// their record images stay in the file for Quarrow to carve. Persons 1 to 3 are
// always Zoë (kept), Łukasz and Мария (deleted first).
//
// Newer layouts come as phones write them: a label table filled in the order
// labels are first used (so label ids differ from book to book), the search
// index's content table with one row per person, and WAL journal mode with the
// most recent deletions still in "<path>-wal".
//
// Books may also carry a phone's history: edits of persons that stay in the
// book (a new ModificationDate, a changed phone number), half before the
// deletions and half after; and a layout upgrade, the book begun in an older
// layout, most of its persons written and some of them deleted, then the person
// and multi-value tables rebuilt with more columns (as a phone's software
// update does: a new table, the rows copied, the old one dropped and the new
// one renamed) before the rest are written and deleted. A book's schema text
// may be damaged afterwards, as found on damaged phones.
//
// The content is a pure function of the options (a fixed pseudo-random
// generator; no clock, no locale), and so, for one SQLite version, is the file.
// Used by quarrow-make-sample, the tests and the benchmark. Not thread-safe.
#ifndef QUARROW_TOOLS_SAMPLE_BOOK_H_
#define QUARROW_TOOLS_SAMPLE_BOOK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "sample_layout.h"

namespace quarrow::sample {

// The 34 layout's tables (the built-in schemas), as CREATE TABLE statements.
extern const char kPersonTableSql[];
extern const char kMultiValueTableSql[];

// ABMultiValue.property values used.
enum Property : int { kPhone = 3, kEmail = 4, kUrl = 22 };

// Largest person count: record ids (person rowids) stay within 1 to 2000, the
// range the contacts recovery accepts.
inline constexpr int kMaxPersons = 2000;

// The label id a book without a label table stores for a custom label.
inline constexpr int kCustomLabelId = 27;

enum class Journal {
  kLayoutDefault,    // rollback for the 34 layout, kWal for 36 and 38
  kRollback,         // journal_mode=DELETE: header bytes 18-19 are 1, 1
  kWal,              // as phones leave it: checkpointed after the persons and
                     // most deletions; the latest deletions stay in the -wal
  kWalCheckpointed,  // WAL, fully checkpointed on close; no -wal remains
  kWalOnly,          // WAL, never checkpointed: everything is in the -wal
};

enum class Labels {
  kLayoutDefault,  // fixed ids for the 34 layout, a table for 36 and 38
  kTable,          // ABMultiValueLabel in first-use order; label = its rowid
  kFixed,          // no label table: Mobile 1, iPhone 2, Home 3, Other 4,
                   // Work 5, WorkFAX 6, any other kCustomLabelId
};

// Which schema text a damaged book has damaged.
enum class SchemaDamage {
  kNone,
  kPerson,  // ABPerson's CREATE TABLE text holds bytes no SQL text holds
  kOther,   // another table's does: SQLite refuses the schema, ABPerson's is whole
};

struct SampleOptions {
  int persons = 40;      // 1 to kMaxPersons
  uint64_t seed = 1;
  int page_size = 0;     // 0: SQLite's default (4096); else 512 to 65536, a power of 2
  bool wal = false;      // same as journal = kWalCheckpointed
  bool keep_wal = false; // same as journal = kWalOnly (wins over `wal`)
  int layout = kLayout38;
  Journal journal = Journal::kLayoutDefault;
  Labels labels = Labels::kLayoutDefault;
  int delete_percent = -1;  // -1: a third (at least one); else 0 to 100, rounded down
  int edit_percent = 0;     // persons that stay in the book and are edited, 0 to 100
  int upgrade_from = 0;     // 0: none; else an older layout (34 or 36) the book begins in
  SchemaDamage damage = SchemaDamage::kNone;
};

// What the options come to once defaults are resolved.
Journal EffectiveJournal(const SampleOptions& options);
bool UsesLabelTable(const SampleOptions& options);
int DeleteCount(const SampleOptions& options);

struct MultiValue {
  int64_t uid = 0;         // ABMultiValue.UID
  int property = 0;        // kPhone, kEmail or kUrl
  int identifier = 0;
  int label = 0;           // ABMultiValue.label: the label table's rowid or a fixed id
  std::string label_text;  // the label as the phone names it ("_$!<Mobile>!$_", "Telma")
  std::string value;       // UTF-8; no TAB, CR or LF
  std::string guid;        // empty on the 34 layout
};

// One edit of a person who stays in the book.
struct Edit {
  int64_t old_modified = 0;  // ModificationDate before and after
  int64_t new_modified = 0;
  int64_t uid = 0;           // the phone number changed: its UID (0: none)
  std::string old_number;
  std::string new_number;
};

struct Person {
  int64_t rowid = 0;           // 1 to persons, in insertion order
  std::string first;           // UTF-8; empty when NULL
  std::string last;
  std::string organization;
  std::string guid;            // empty on the 34 layout
  std::vector<MultiValue> values;  // as they stand (edits applied)
  bool deleted = false;
  int layout = kLayout38;      // the layout of the person's last record written
  int64_t created = 0;         // CreationDate
  int64_t modified = 0;        // ModificationDate as it stands
  std::string external_uuid;   // ExternalUUID
  std::vector<Edit> edits;     // in the order made
};

struct SampleBook {
  int layout = kLayout38;
  int upgraded_from = 0;                  // 0: written in `layout` from the start
  Journal journal = Journal::kRollback;   // as resolved
  bool label_table = false;
  uint64_t seed = 0;
  std::vector<std::string> labels;        // the label table's texts, rowid 1 first
  std::vector<Person> persons;            // in rowid order, deleted ones included
  int DeletedCount() const;
};

// Creates the database at `path`, replacing any file there (and its -wal, -shm
// and -journal files), and returns what it holds. Throws std::runtime_error
// naming the path or statement and SQLite's reason, or a bad option.
SampleBook MakeSampleBook(const std::string& path, const SampleOptions& options);

// The manifest (the book's ground truth), LF-terminated lines:
//   "# quarrow-make-sample manifest 3" and a line "# layout=38 seed=1 ..."
//   person<TAB>rowid<TAB>live|deleted<TAB>First<TAB>Last<TAB>Organization
//         <TAB>layout<TAB>CreationDate<TAB>ModificationDate<TAB>ExternalUUID
//   value<TAB>record_id<TAB>property<TAB>label text<TAB>value<TAB>label id<TAB>uid
//   edit<TAB>rowid<TAB>old ModificationDate<TAB>new<TAB>uid<TAB>old number<TAB>new number
// one "person" line per person in rowid order, each followed by its "value"
// lines (as they stand) and its "edit" lines (uid 0 and empty numbers when no
// number changed); a person's layout is that of the last record written for
// it (the older one for a person deleted before an upgrade). Texts are
// stored as they are (none holds a TAB, CR or LF).
std::string ManifestText(const SampleBook& book);

}  // namespace quarrow::sample

#endif  // QUARROW_TOOLS_SAMPLE_BOOK_H_
