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
//   - for the part whose range starts at 0 only, the search index's records,
//     which are carved from the whole input (the links are the merge's);
//   - the whole copies among its person records (record_copies.h), which
//     the merge gathers from every part before it places a value;
//   - every person record (its offset, cells 0 to 31, the record id its
//     rowid proves, its record's copy key and its names when it proves none,
//     its status, state and what --deleted-only says of it).
// Joining parts is concatenation in range order, so a merge may itself be
// split: parts joined into a part, then joined again, give the same report.
// Parts are written and merged as streams: memory stays bounded whatever
// their size, but for the whole copies of person records the merge gathers
// (20 bytes per distinct record, RecordCopies). The merge reads each part
// once: its values, origins and search records first, then (after every
// part's values are filed) its persons from where it stopped.
//
// The file format (version 3): lines ending in LF, fields separated by TAB;
// in text fields LF and the backslash, and TAB in a field other than its
// line's last, are written as \xHH (a reader takes \xHH for any byte). The
// first line is "quarrow-contacts-part<TAB>3", then "program<TAB>VERSION",
// "input<TAB>SIZE<TAB>FINGERPRINT", "settings<TAB>S" (what shapes the
// findings: offset, deleted-only, whether records were mapped and judged, the
// schema source), "range<TAB>FIRST<TAB>END" (END at most SIZE),
// "search<TAB>0|1" (whether it carries the search records), then the
// records, kind by kind in this order: "v" values (offset, id, column,
// text), "o" origins (id, status, WAL frame, state, kept), "w" search
// records (four names, docid or "-", phones, emails, overlong), "l" the live
// person ids (a text of 0 and 1), "c" whole copies (copy key as 32 hex
// digits, record id or 0 where the part's copies disagree), person records,
// and last "end" with the counts of v, o, w and c together, and person
// lines. A person record is "p" (offset, proven id, status, WAL frame, state,
// kept, copy key or "-", row: its cells 0 to 31 with their TABs as they are)
// when its names are its row's First, Last, Middle and
// Organization cells or its id is proven, else "n" (the same with its four
// names before the row). A part that lacks the end line is incomplete; one
// whose kinds come out of order is refused.
// Version 1 wrote each person's names always and escaped every control byte,
// the row's TABs too (about a third of a part); version 2 had no copies.
// Parts of other versions are refused.
//
// Errors are quarrow::Error naming the file; nothing here is thread-safe.
#ifndef QUARROW_CONTACTS_CONTACTS_PARTS_H_
#define QUARROW_CONTACTS_CONTACTS_PARTS_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/record_copies.h"
#include "contacts/record_facts.h"
#include "contacts/search_witness.h"
#include "engine/file_io.h"
#include "engine/run_options.h"
#include "pagemap/page_status.h"

namespace quarrow {

inline constexpr int kContactsPartVersion = 3;

// What a part says of itself before its records.
struct ContactsPartHead {
  std::string program;  // the version of the program that wrote it
  int64_t input_size = 0;
  std::string fingerprint;  // InputFingerprint
  std::string settings;     // ContactsPartSettings
  int64_t first = 0;        // the input offsets covered: [first, end)
  int64_t end = 0;
  bool carries_search = false;  // true for the part whose range starts at 0
};

// One person record as a part holds it.
struct PartPerson {
  int64_t offset = 0;
  std::string_view row;  // cells 0 to 31 joined by TABs; valid while the record is handled
  int proven_id = 0;
  PersonNames names;  // when proven_id is 0
  std::optional<CopyKey> copy_key;  // its record's key, when proven_id is 0
  PageStatus where;
  RecordState state = RecordState::kUnknown;
  bool kept = true;
};

// A digest of the input's size and of 4 KiB at its start, its end and 16
// places between: cheap on inputs of terabytes (every shard and merge takes
// it), and different inputs of one size differ in it unless they agree on all
// those bytes.
std::string InputFingerprint(const std::string& input_path);

// The settings that shape what a shard finds, as a part records them.
std::string ContactsPartSettings(const std::string& offset_text, const RunOptions& options,
                                 bool mapped, bool judged);

// Writes a part, its records in the order above, to a temporary name in the
// folder of `path`, renamed to `path` by Finish (dropped when destroyed
// unfinished). Throws Error when the file cannot be written.
class ContactsPartWriter {
 public:
  ContactsPartWriter(const std::string& path, const ContactsPartHead& head);
  ~ContactsPartWriter();
  ContactsPartWriter(const ContactsPartWriter&) = delete;
  ContactsPartWriter& operator=(const ContactsPartWriter&) = delete;

  void Value(int64_t offset, int id, int column, std::string_view text);
  void Origin(int id, const ValueOrigin& origin);
  void Search(const SearchEvidence& search);
  // The whole copies of person records among the part's (RecordCopies,
  // sealed), after Search when the part carries it.
  void Copies(const RecordCopies& copies);
  void Person(const PartPerson& person);
  // The raw record line of another part (its kind and fields, no LF), for
  // a merge into a part: counted as that kind.
  void Line(std::string_view line);
  void Finish();

 private:
  void Emit();

  std::string path_, temporary_;
  std::unique_ptr<OutputFile> file_;
  std::string line_;
  int64_t counts_[4] = {};  // v, o, w, p
  bool finished_ = false;
};

// Joins the parts `part_paths` (in any order) into `output_path`: with
// `to_part`, a part of the ranges joined; else the report of the whole
// input, byte for byte what one run writes, in `options`' format and details
// (`column_names`: the report's 46). Throws Error, writing nothing, when
// parts are of different inputs, programs or settings (naming two such
// files), overlap, leave a gap (for a report: do not cover the input from 0
// to its end), cannot be read, or lack statuses for --details. Returns the
// rows written (to a part: the person records).
int64_t MergeParts(const std::vector<std::string>& part_paths, const std::string& output_path,
                   bool to_part, const RunOptions& options,
                   const std::vector<std::string>& column_names);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_PARTS_H_
