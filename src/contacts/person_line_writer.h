// A person row's csv or jsonl line written straight from a match: byte for
// byte the line ContactsFormattedReport writes for the row PersonRowWriter
// makes of the same match (with empty label cells; details, when the report
// has them, added by WithDetails), but without making that row first. What
// fills each of the line's columns, its kind and its member for a default
// cell are worked out once per column list; a run of default and fixed cells
// (most of a row's 46) is one copy of their precomputed members; only the
// values the record holds are rendered, in place where the line has them,
// and looked at again only when they hold a byte the format must take care
// of. A person pass writes millions of lines per GiB. One per scan worker (it
// keeps scratch); copyable.
#ifndef QUARROW_CONTACTS_PERSON_LINE_WRITER_H_
#define QUARROW_CONTACTS_PERSON_LINE_WRITER_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contacts_report.h"
#include "engine/columns.h"
#include "engine/run_options.h"
#include "engine/scan.h"
#include "report/jsonl_writer.h"
#include "engine/line_buffer.h"

namespace quarrow {

class PersonLineWriter {
 public:
  // `options` (csv or jsonl) and `names` as for ContactsFormattedReport;
  // `person_cells` and `columns` as for PersonRowWriter.
  PersonLineWriter(const RunOptions& options, const std::vector<std::string>& names,
                   const std::vector<int>& person_cells, const ColumnList& columns);
  // A copy starts with scratch of its own.
  PersonLineWriter(const PersonLineWriter& other)
      : PersonLineWriter(other.options_, other.names_, other.person_cells_, other.list_) {}
  PersonLineWriter& operator=(const PersonLineWriter&) = delete;

  // Appends the line of `match`, whose record is at `offset` (0 or more) in
  // the input, to `out` (a scan page's bulk: written in place, not copied
  // there); returns where in the line its label cells start, for
  // WithLabels. `columns` as for PersonRowWriter::Append. Returns nothing and
  // appends nothing when the match's cell prefix has not three cells (near
  // the buffer's start it may have fewer, which moves every cell after them)
  // or the person cells are not cells 3 to 31: the caller then makes the line
  // from the person row.
  std::optional<size_t> Append(const Match& match, const ColumnList& columns, int64_t offset,
                               LineBuffer& out);

  // A line Append made (`labels_at` as it returned) with the label cells
  // `labels` (report columns 32 on; fewer are taken as empty, more are left
  // out) in place of its empty ones. Valid until the next call.
  std::string_view WithLabels(std::string_view line, size_t labels_at,
                              std::span<const std::string_view> labels);

  // A line Append made for `offset` (WithLabels' too) with the details the
  // report asks for: the record's offset, `status`, `state` and `links` (csv:
  // four more fields; jsonl: the "status", "state" and "links" members after
  // "offset"). Valid until the next call.
  std::string_view WithDetails(std::string_view line, int64_t offset, std::string_view status,
                               std::string_view state, std::string_view links = {});

 private:
  using Kind = ContactsFormattedReport::Kind;
  // How a cell filled per line is written: a text column into a text one
  // (any one for csv), an integer column into an integer one, a prefix cell
  // into an integer one; any other way (kGeneric) renders the cell as the
  // person row has it and judges it after.
  enum class Op : uint8_t { kText, kInteger, kPrefixInteger, kGeneric };
  // A cell filled per line: from the list's column `column`, else from the
  // prefix's cell `prefix_cell`.
  struct Source {
    size_t col = 0;  // the report column
    Op op = Op::kGeneric;
    int32_t column = -1;
    int32_t prefix_cell = -1;
  };
  // The line being written and where the next byte goes.
  struct Cursor {
    LineBuffer* line;
    char* out;
  };

  // Append's line once the match's prefix is split and its room known.
  template <bool kJson>
  size_t AppendLine(const Match& match, const ColumnList& columns, int64_t offset,
                    LineBuffer& out);
  // The cell of `source` for `match`, rendered at `at` (room for its bound);
  // returns its end.
  char* Render(const Source& source, const Match& match, const ColumnList& columns, char* at);
  // jsonl: column `col`'s cell was rendered at [value, end), right after the
  // key (integer columns) or after a byte left for the opening quote (the
  // others). Finishes the member and returns its end, or returns the key's end
  // when the cell is the column's default, and moves `run` past what it wrote.
  char* FinishMember(size_t col, char* value, char* end, Cursor& cursor, const char*& run);
  // jsonl: column `col`'s text cell rendered at [value, end), after a byte
  // left for the opening quote (cursor.out is `value`), escaped or replaced
  // where it needs it.
  char* CarefulMember(size_t col, char* value, char* end, Cursor& cursor);
  // csv: a field rendered at [value, end), after its comma; returns its end.
  char* FinishField(char* value, char* end, Cursor& cursor);
  // Makes room for `bytes` more bytes (and slack) at `cursor.out`, and for
  // the rest of the line (line_room_).
  void Ensure(Cursor& cursor, size_t bytes) const;
  // Copies [from, to) into scratch_, padded.
  std::string_view Scratch(const char* from, const char* to);

  RunOptions options_;
  std::vector<std::string> names_;  // the arguments, for copies
  std::vector<int> person_cells_;
  ColumnList list_;
  ContactsFormattedReport report_;  // the layout, kinds and default members
  size_t columns_ = 0;
  size_t first_label_ = 0;  // the first label column (the line's last run)
  // Each column's member when its cell is fixed ("null" for a suppressed
  // column, empty for one the input's table lacks, an empty label) or the
  // column's default, one after the other, then slack: a run of them is one
  // copy. jsonl: the member, its key first. csv: a comma (but for the first)
  // and the field. Column k's starts at member_at_[k] (one more entry: the
  // end), its value at value_at_[k].
  std::string members_;
  std::vector<size_t> member_at_, value_at_;
  std::vector<Source> sources_;   // the cells filled per line, in column order
  size_t columns_needed_ = 0;     // one past the last list column read
  size_t fixed_room_ = 0;         // a line's room but for its texts
  size_t line_room_ = 0;          // the line being written's room in all
  bool fits_ = false;             // the person cells are cells 3 to 31
  std::vector<int64_t> starts_;   // scratch: each field's start
  // Scratch: where the fields' bytes end in the buffer, and the bytes from
  // the first field's start to 16 past that end when the window holds them.
  int64_t fields_end_ = 0;
  const uint8_t* fields_ = nullptr;
  std::string_view prefix_cells_[3];
  LineBuffer line_;  // WithLabels' line being written
  LineBuffer scratch_, field_;
  JsonlLine jsonl_;                 // its "_raw" members
  std::string labelled_;            // WithLabels' line
  std::string detailed_;            // WithDetails' line
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_PERSON_LINE_WRITER_H_
