// The contacts report: the result table written as tab-separated UTF-8 text
// with a byte-order mark, one line per row from 0 to LastRow() (the default);
// or as csv or jsonl (see report/), one record per row from 1 on.
#ifndef QUARROW_CONTACTS_CONTACTS_REPORT_H_
#define QUARROW_CONTACTS_CONTACTS_REPORT_H_

#include <array>
#include <cstring>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/result_table.h"
#include "engine/ports.h"
#include "engine/run_options.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "engine/line_buffer.h"
#include "report/report_fields.h"

namespace quarrow {

// Every line holds the cells of columns 0 to 45, each followed by a TAB.
inline constexpr int kReportColumns = 46;
inline constexpr int kFirstLabelColumn = 32;

// Header names of the label columns 32 to 45.
inline constexpr std::array<std::string_view, 14> LabelNames = {
    "MOBILE",       "IPHONE",       "HOME",          "OTHER",
    "WORK",         "WORKFAX",      "Unknown",       "EMAIL_MOBILE",
    "EMAIL_IPHONE", "EMAIL_HOME",   "EMAIL_OTHER",   "EMAIL_WORK",
    "EMAIL_WORKFAX", "EMAIL_Unknown"};

// Names header cells 0 to 2 ("NUM_0", "NUM_1", "NUM_2") and 32 to 45.
void NameReportColumns(ResultTable& table);

// Appends row `row`'s report line to `out`: the byte-order mark first for row
// 0, then the 46 fields each followed by a TAB, then CR LF.
void AppendReportLine(const ResultTable& table, int64_t row, std::string& out);

// The csv and jsonl forms of the contacts report, row by row, for whichever
// code writes its rows (tsv, the specified report, is written as it always
// was). Columns are named by the report's 46 header names; NUM_0 to NUM_2 and
// the person schema's INTEGER columns are integer columns: jsonl writes their
// integers as numbers and their "null" or empty cells as null; the "null" of a
// column the person schema suppresses is null too. csv: a header
// row of the names (a byte-order mark first with `options.bom`), then one row
// per record, the cells as they are. jsonl: one object per row, "offset" (the
// record's byte position in the input) first, then the cells by name. With
// `options.details` both add the row's "offset", "status", "state" and
// "links" (csv as the last four columns, jsonl "status", "state" and "links"
// after "offset").
class ContactsFormattedReport {
 public:
  ContactsFormattedReport(const RunOptions& options, const std::vector<std::string>& names);
  // What the report holds before its first row.
  std::string Head() const;
  // One row of 46 cells (fewer are taken as empty, more are left out). The
  // line is valid until the next row.
  std::string_view Row(std::span<const std::string_view> cells, int64_t offset,
                       std::string_view status, std::string_view state,
                       std::string_view links = {});
  // The same for a row given as its first cells joined by TABs (no TAB at the
  // end) and its last cells apart, as person rows and label cells come.
  std::string_view Row(std::string_view joined_cells,
                       std::span<const std::string_view> more_cells, int64_t offset,
                       std::string_view status, std::string_view state,
                       std::string_view links = {});

  // How a column's cells are written: kInteger's integers are numbers and its
  // "null" or empty cell is null; kSuppressed's "null" is null.
  enum class Kind : uint8_t { kText, kSuppressed, kInteger };
  // What a writer that makes the same lines by other means (PersonLineWriter)
  // needs: the columns' JSON texts, each column's kind, and its jsonl member
  // for a default cell (see defaults_), which starts with its key.
  const JsonlColumns& layout() const { return layout_; }
  Kind kind(size_t col) const { return kinds_[col]; }
  std::string_view default_member(size_t col) const {
    return std::string_view(defaults_).substr(default_at_[col],
                                              default_at_[col + 1] - default_at_[col]);
  }

 private:
  // Copies a row given as Row takes it into row_ (joined_, more_, empty_) and
  // marks its TABs (tab_bits_), the bytes that the format's plain scan stops
  // at (special_bits_, TABs included; `marks`, see byte_scan.h) and for csv
  // its spaces (space_bits_).
  template <typename Marks>
  void TakeJoinedRow(std::string_view joined_cells, std::span<const std::string_view> more_cells,
                     Marks marks);
  // Lists the row's cell ends (ends_ from 1: its TABs, then its end;
  // ends_count_ of them; ends_[0] is -1 as uint32_t, the TAB before the first
  // cell) and its special bytes other than TABs (specials_, then a position
  // past any).
  void ListCells();
  // For a row of at most 64 columns: which of its first `count` joined cells
  // are not their column's default, as bits (bit k for cell k). Judged from
  // the cells' lengths in one tight pass; only cells of 4 bytes are read.
  uint64_t WrittenJoinedCells(size_t count) const;
  // The csv line of the row taken, when its joined cells fit the columns: the
  // row as it is but for TABs made commas, and the cells that need care (a
  // special byte, a space at either end) written apart.
  std::string_view CsvLineOfJoined(int64_t offset, std::string_view status,
                                   std::string_view state);
  // Ends a csv line whose cells are written: the offset, status and state fields
  // when details are asked for, then the line end.
  std::string_view FinishCsvLine(int64_t offset, std::string_view status,
                                 std::string_view state);
  // The position of the last TAB before `at` in the row (its first cell's
  // start, -1, when none), and of the first from `at` on (its size when none).
  int64_t TabBefore(size_t at) const;
  size_t TabFrom(size_t at) const;
  // Calls `write(col, cell, careful)` for each cell of the row taken that is
  // not its column's default, in column order; `careful` is false when the
  // cell holds no byte that the format's plain scan (CsvPlainEnd,
  // JsonPlainEnd) stops at. The cells are in row_, padded.
  // Inlined, as the writes are: they are most of a row's work.
  template <typename Write>
  [[gnu::always_inline]] inline void ForEachWrittenJoinedCell(Write&& write) const;
  // The same for cells_, all taken as careful.
  template <typename Write>
  [[gnu::always_inline]] inline void ForEachWrittenCell(Write&& write) const;
  // What a cell is, as far as defaults go: empty, "null", or neither (0).
  // Without a branch, for the cells are any mix: `cell` is in row_, padded.
  static constexpr uint8_t kEmptyCell = 1, kNullCell = 2;
  static uint8_t DefaultsOf(std::string_view cell) {
    uint32_t head, null;
    std::memcpy(&head, cell.data(), 4);
    std::memcpy(&null, "null", 4);
    return static_cast<uint8_t>(cell.empty() | ((cell.size() == 4 && head == null) << 1));
  }
  // The row's cells are copied into row_, with zeroed LineBuffer::kSlack
  // bytes after them: StartCopy with their size in all, KeepCopy each, EndCopy.
  char* StartCopy(size_t size);
  static std::string_view KeepCopy(std::string_view cell, char*& at);
  void EndCopy(char* at);
  // The line of the cells that `for_each_written` (one of the ForEach above,
  // taking the write) gives, with the row's offset and status.
  template <typename ForEach>
  std::string_view CsvLineOf(ForEach&& for_each_written, int64_t offset, std::string_view status,
                             std::string_view state);
  template <typename ForEach>
  std::string_view JsonlLineOf(ForEach&& for_each_written, int64_t offset,
                               std::string_view status, std::string_view state);

  RunOptions options_;
  std::string_view links_;  // the row's LINKS, while Row writes it
  JsonlColumns layout_;
  std::vector<Kind> kinds_;  // by column
  size_t columns_ = 0;                   // layout_.size()
  std::vector<std::string_view> cells_;  // a row given as its cells, by column
  // A row given joined: the joined cells, the more cells and an empty cell,
  // copied; where its special bytes are, then a position past any.
  std::string_view joined_, empty_;
  std::vector<std::string_view> more_;
  // Both grown, never shrunk: resizing up would zero the entries first.
  std::vector<uint32_t> ends_, specials_;
  size_t ends_count_ = 0;
  // One bit per byte of joined_ (see MarkBits): its TABs, its special bytes
  // and (for csv) its spaces.
  std::vector<uint64_t> tab_bits_, special_bits_, space_bits_;
  size_t tabs_ = 0;  // how many
  size_t cells_size_ = 0;  // the row's bytes in all
  LineBuffer row_;         // where the row's copies are
  // Each column's jsonl member for a default cell (an empty one, or "null"
  // where that is null), one after the other, so that a run of default cells
  // -- most cells are -- is copied in one go;
  // column k's starts at default_at_[k] (one more entry for the end).
  std::string defaults_;
  std::vector<size_t> default_at_;
  std::vector<size_t> key_ends_;  // by column: where its key, the start of its member, ends
  // By column: the DefaultsOf its default cells (csv: the empty cell only).
  std::vector<uint8_t> default_cells_;
  // The same for the first 64 columns as bits: where an empty cell is the
  // default, where "null" is.
  uint64_t empty_defaults_ = 0, null_defaults_ = 0;
  std::string commas_;  // csv's default cells: a comma each, then slack
  JsonlLine jsonl_;
  CsvLine csv_;
};

// Clears `view`, names the header cells, writes the report to `output_path`
// (truncated in place; "-" is standard output) in `options.format` and loads
// the file into `view`. tsv: rows 0 to LastRow() as AppendReportLine gives
// them; csv and jsonl: as ContactsFormattedReport gives rows 1 to LastRow()
// (the table keeps no input positions: their offset is -1). Throws Error when
// the file cannot be created or written; the file is closed on every path.
void WriteContactsReport(ResultTable& table, const std::string& output_path,
                         OutputView& view, const RunOptions& options = {});

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_REPORT_H_
