// The parts of a contacts run cut into byte ranges (--range ... --parts): what
// the scan phase of one shard found, written as a versioned text file, and the
// merge that files, links and writes them as one run over the whole input
// does, with the same code (LabelCells, ValueLinks, ValuePlacement,
// WriteValueOnlyRows, ContactsReportWriter).
//
// A part holds, in input order:
//   - every value the multi-value pass filed (its offset, record id, report
//     column and text as given to LabelCells::File), and where each record
//     id's first value in the part lay (ValueOrigin);
//   - every person record (its offset, cells 0 to 31, the record id its
//     rowid proves, its names when it proves none, its status, state and
//     what --deleted-only says of it);
//   - for the part whose range starts at 0 only, the search index's records,
//     which are carved from the whole input (the links are the merge's).
// Joining parts is concatenation in range order, so a merge may itself be
// split: parts joined into a part, then joined again, give the same report.
//
// The file format (version 1): UTF-8-agnostic lines ending in LF, fields
// separated by TAB; in text fields every byte below 0x20 and the backslash
// are written as \xHH. The first line is "quarrow-contacts-part<TAB>1", then
// "program<TAB>VERSION", "input<TAB>SIZE<TAB>FINGERPRINT", "settings<TAB>S"
// (what shapes the findings: offset, deleted-only, whether records were
// mapped and judged, the schema source), "range<TAB>FIRST<TAB>END" (END at
// most SIZE), "search<TAB>0|1", then the records: "w" search records (names,
// docid or "-", phones, emails, overlong), "l" the live person ids (a text
// of 0 and 1), "v" values (offset, id, column, text), "o" origins (id,
// status, WAL frame, state, kept), "p" persons (offset, proven id, status,
// WAL frame, state, kept, four names, row), and last "end" with the counts
// of w, v, o and p lines. A part that lacks it is incomplete.
//
// Errors are quarrow::Error naming the file; nothing here is thread-safe.
#ifndef QUARROW_CONTACTS_CONTACTS_PARTS_H_
#define QUARROW_CONTACTS_CONTACTS_PARTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "contacts/record_facts.h"
#include "contacts/search_witness.h"
#include "engine/run_options.h"
#include "pagemap/page_status.h"

namespace quarrow {

inline constexpr int kContactsPartVersion = 1;

struct ContactsPart {
  struct Value {
    int64_t offset = 0;
    int32_t id = 0;
    int32_t column = 0;
    std::string text;
  };
  struct Origin {
    int32_t id = 0;
    ValueOrigin origin;
  };
  struct Person {
    int64_t offset = 0;
    std::string row;  // cells 0 to 31 joined by TABs
    int proven_id = 0;
    PersonNames names;  // when proven_id is 0
    PageStatus where;
    RecordState state = RecordState::kUnknown;
    bool kept = true;
  };

  std::string program;  // the version of the program that wrote it
  int64_t input_size = 0;
  std::string fingerprint;  // InputFingerprint
  std::string settings;     // ContactsPartSettings
  int64_t first = 0;        // the input offsets covered: [first, end)
  int64_t end = 0;
  bool carries_search = false;  // true for the part whose range starts at 0
  SearchEvidence search;
  std::vector<Value> values;
  std::vector<Origin> origins;  // ids in the order of their first value here
  std::vector<Person> persons;
};

// A digest of the input's size and of 64 KiB at its start, its end and 16
// places between: cheap on inputs of terabytes, and different inputs of one
// size differ in it unless they agree on all those bytes.
std::string InputFingerprint(const std::string& input_path);

// The settings that shape what a shard finds, as a part records them.
std::string ContactsPartSettings(const std::string& offset_text, const RunOptions& options,
                                 bool mapped, bool judged);

// Writes `part` to `path` under a temporary name in its folder, renamed at the
// end ("-": standard output).
void WriteContactsPart(const ContactsPart& part, const std::string& path);

// Reads a part; throws Error naming `path` and what is wrong (not a part, a
// version this program does not read, a line it cannot read, no end line).
ContactsPart ReadContactsPart(const std::string& path);

// Joins parts of one input into one, in range order. Throws Error when they
// are of different inputs, programs or settings (naming two such files),
// when two overlap, or when `whole` and they do not cover the input from 0
// to its end (naming the first gap). `paths` name the parts in messages.
ContactsPart JoinContactsParts(std::vector<ContactsPart> parts,
                               const std::vector<std::string>& paths, bool whole);

// Writes the contacts report of a whole input from its joined part: the
// values filed, linked and placed, the person rows and the rows of values
// alone, as one run writes them. `options` gives the format and details (the
// part must hold statuses and states for details). The report goes to a
// temporary name in the output's folder, renamed when written ("-": standard
// output). Returns the rows written.
int64_t WriteReportFromPart(const ContactsPart& whole, const std::string& output_path,
                            const RunOptions& options,
                            const std::vector<std::string>& column_names);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_PARTS_H_
