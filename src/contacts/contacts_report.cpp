#include "contacts/contacts_report.h"

#include <charconv>
#include <cstring>
#include <set>
#include <vector>

#include "contacts/person_pass.h"
#include "contacts/report_writer.h"
#include "engine/columns.h"
#include "engine/file_io.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "report/line_buffer.h"

namespace quarrow {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::array<std::string_view, 3> kPrefixNames = {"NUM_0", "NUM_1", "NUM_2"};

}  // namespace

void NameReportColumns(ResultTable& table) {
  for (int k = 0; k < static_cast<int>(kPrefixNames.size()); ++k) {
    table.SetCell(0, k, kPrefixNames[k]);
  }
  for (int k = 0; k < static_cast<int>(LabelNames.size()); ++k) {
    table.SetCell(0, kFirstLabelColumn + k, LabelNames[k]);
  }
}

void AppendReportLine(const ResultTable& table, int64_t row, std::string& out) {
  if (row == 0) out += kByteOrderMark;
  table.AppendCells(row, kReportColumns, out);
  out += "\r\n";
}

namespace {

// The csv and jsonl columns: the header names; integers are the three numbers
// and the person schema's INTEGER columns.
std::vector<ReportColumn> ReportColumns(const std::vector<std::string>& names,
                                        bool details) {
  std::set<std::string> integer_names(kPrefixNames.begin(), kPrefixNames.end());
  for (const TERM& column : LoadColumns(SplitSchema(PersonSchema)))
    if (column.tp == kInteger) integer_names.insert(column.name);
  std::vector<ReportColumn> columns;
  for (const std::string& name : names) columns.push_back({name, integer_names.count(name) > 0});
  std::vector<std::string> reserved = {"_raw", "offset"};
  if (details) reserved.push_back("status");
  return UniqueColumnNames(std::move(columns), reserved);
}

}  // namespace

ContactsFormattedReport::ContactsFormattedReport(const RunOptions& options,
                                                 const std::vector<std::string>& names)
    : options_(options), layout_(ReportColumns(names, options.details)) {
  // The built-in schema's suppressed ("*") columns print "null" for any value.
  std::set<std::string> suppressed;
  for (const TERM& column : LoadColumns(SplitSchema(PersonSchema)))
    if (column.off) suppressed.insert(column.name);
  cells_.resize(layout_.size());
  for (size_t col = 0; col < layout_.size(); ++col) {
    default_at_.push_back(defaults_.size());
    const bool integer = layout_.columns()[col].integer;
    const bool null = integer || suppressed.count(names[col]) > 0;
    defaults_ += null ? layout_.null_member(col) : layout_.empty_member(col);
    // The cells whose member that is: see Kind.
    default_cells_.push_back(integer ? kEmptyCell | kNullCell : null ? kNullCell : kEmptyCell);
  }
  default_at_.push_back(defaults_.size());
  defaults_.append(LineBuffer::kSlack, '\0');
  for (size_t col = 0; col < layout_.size(); ++col) {
    kinds_.push_back(layout_.columns()[col].integer ? Kind::kInteger
                     : suppressed.count(names[col]) ? Kind::kSuppressed
                                                    : Kind::kText);
  }
}

std::string ContactsFormattedReport::Head() const {
  std::string head;
  if (options_.format != ReportFormat::kCsv) return head;
  if (options_.bom) head += kUtf8ByteOrderMark;
  std::vector<ReportColumn> columns = layout_.columns();
  if (options_.details) {
    columns.push_back({"offset", true});
    columns.push_back({"status", false});
  }
  AppendCsvHeader(columns, head);
  return head;
}

std::string_view ContactsFormattedReport::CsvLineOfCells(int64_t offset,
                                                         std::string_view status) {
  csv_.Begin();
  // Room for the whole row at once, and cells copied in whole blocks from
  // their padded copies, as for jsonl.
  char* out = csv_.MakeRoom(CsvLine::RoomFor(cells_size_) + 3 * cells_.size());
  for (const Cell& cell : cells_) {
    const std::string_view text = cell.text;
    // Only a space at either end asks a plain cell for quotes.
    if (cell.plain && (text.empty() || (text.front() != ' ' && text.back() != ' '))) {
      *out = ',';
      out = CopyPadded(text, out + 1);
    } else {
      out = CsvLine::WriteField(text, out);
    }
  }
  csv_.Commit(out);
  if (options_.details) {
    char digits[24];
    csv_.Field(std::string_view(digits, std::to_chars(digits, digits + sizeof digits, offset).ptr));
    csv_.Field(status);
  }
  return csv_.Finish();
}

std::string_view ContactsFormattedReport::JsonlLineOfCells(int64_t offset,
                                                           std::string_view status) {
  jsonl_.Begin();
  if (offset >= 0) jsonl_.Integer("offset", offset);
  if (options_.details) jsonl_.Text("status", status);
  // Room for the whole row at once: no check per cell. The loop reads through
  // locals: every byte written could alias a member, locals it cannot.
  char* out = jsonl_.MakeRoom(layout_.RoomForAll(cells_size_));
  const JsonlColumns& layout = layout_;
  const Cell* cells = cells_.data();
  const Kind* kinds = kinds_.data();
  const char* defaults = defaults_.data();
  const size_t* default_at = default_at_.data();
  const uint8_t* defaults_by = default_cells_.data();
  size_t run = 0;  // the first column of the run of default cells not written yet
  const size_t columns = cells_.size();
  for (size_t col = 0; col < columns; ++col) {
    const std::string_view cell = cells[col].text;
    const Kind kind = kinds[col];
    if (defaults_by[col] & DefaultsOf(cell)) continue;
    out = CopyPadded({defaults + default_at[run], default_at[col] - default_at[run]}, out);
    run = col + 1;
    // Cells are read from row_, padded: whole blocks may be read past them.
    if (kind == Kind::kInteger && IsDecimalIntegerPadded(cell)) {
      out = JsonlLine::WritePaddedNumber(layout, col, cell, out);
    } else if (cells[col].plain) {
      out = JsonlLine::WritePaddedPlainText(layout, col, cell, out);
    } else {
      out = jsonl_.WriteText(layout, col, cell, out);
    }
  }
  out = CopyPadded({defaults + default_at[run], default_at[columns] - default_at[run]}, out);
  jsonl_.Commit(out);
  return jsonl_.Finish();
}

std::string_view ContactsFormattedReport::Row(std::span<const std::string_view> cells,
                                              int64_t offset, std::string_view status) {
  cells_size_ = 0;
  for (std::string_view cell : cells) cells_size_ += cell.size();
  char* at = StartCopy(cells_size_);
  for (size_t col = 0; col < cells_.size(); ++col)
    cells_[col] = {col < cells.size() ? KeepCopy(cells[col], at) : std::string_view(at, 0), false};
  EndCopy(at);
  return options_.format == ReportFormat::kCsv ? CsvLineOfCells(offset, status)
                                               : JsonlLineOfCells(offset, status);
}

char* ContactsFormattedReport::StartCopy(size_t size) {
  row_.Clear();
  return row_.Room(size);
}

std::string_view ContactsFormattedReport::KeepCopy(std::string_view cell, char*& at) {
  const std::string_view copy(at, cell.size());
  at = CopyBytes(cell, at);
  return copy;
}

void ContactsFormattedReport::EndCopy(char* at) {
  std::memset(at, 0, LineBuffer::kSlack);
  row_.SetEnd(at);
}

template <typename Marks>
void ContactsFormattedReport::SplitCells(std::string_view joined_cells,
                                         std::span<const std::string_view> more_cells,
                                         const std::array<bool, 256>& plain_bytes, Marks marks) {
  cells_size_ = joined_cells.size();
  for (std::string_view cell : more_cells) cells_size_ += cell.size();
  char* at = StartCopy(cells_size_);
  const std::string_view joined = KeepCopy(joined_cells, at);
  const size_t columns = cells_.size();
  Cell* cells = cells_.data();
  size_t col = 0, start = 0;
  bool plain = true;
  // One pass over the joined cells finds both the TABs between them and the
  // bytes that keep a cell from being copied as it is.
  // Without a branch on what the byte is: the cell is stored either way and
  // kept only at a TAB.
  ForEachMarked(joined, plain_bytes, marks, [&](size_t at_byte) {
    const bool tab = joined[at_byte] == '\t';
    if (col < columns) cells[col] = {{joined.data() + start, at_byte - start}, plain};
    col += tab;
    start = tab ? at_byte + 1 : start;
    plain = tab;
  });
  if (col < columns) cells[col++] = {joined.substr(start), plain};
  for (size_t k = 0; k < more_cells.size() && col < columns; ++k, ++col)
    cells[col] = {KeepCopy(more_cells[k], at), more_cells[k].empty()};
  for (; col < columns; ++col) cells[col] = {std::string_view(at, 0), true};
  EndCopy(at);
}

std::string_view ContactsFormattedReport::Row(std::string_view joined_cells,
                                              std::span<const std::string_view> more_cells,
                                              int64_t offset, std::string_view status) {
  using namespace byte_scan;
  if (options_.format == ReportFormat::kCsv) {
    SplitCells(joined_cells, more_cells, kCsvPlain, CsvNotPlain());
    return CsvLineOfCells(offset, status);
  }
  SplitCells(joined_cells, more_cells, kJsonPlain, JsonNotPlain());
  return JsonlLineOfCells(offset, status);
}

void WriteContactsReport(ResultTable& table, const std::string& output_path,
                         OutputView& view, const RunOptions& options) {
  view.Clear();
  NameReportColumns(table);
  std::vector<std::string> names;
  for (int col = 0; col < kReportColumns; ++col) names.emplace_back(table.Cell(0, col));
  ContactsReportWriter writer(output_path, options, names);
  std::vector<std::string_view> cells(kReportColumns);
  for (int64_t row = 1; row <= table.LastRow(); ++row) {
    for (int col = 0; col < kReportColumns; ++col) cells[col] = table.Cell(row, col);
    writer.Row(cells, -1, "");
  }
  writer.Close();
  view.LoadFile(output_path);
}

}  // namespace quarrow
