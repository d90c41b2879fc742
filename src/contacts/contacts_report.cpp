#include "contacts/contacts_report.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <set>
#include <vector>

#include "contacts/person_pass.h"
#include "contacts/report_writer.h"
#include "engine/byte_classes.h"
#include "engine/columns.h"
#include "engine/file_io.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "engine/line_buffer.h"

namespace quarrow {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::array<std::string_view, 3> kPrefixNames = {"NUM_0", "NUM_1", "NUM_2"};

// The jsonl "offset" member up to its value, with the slack CopyPadded reads.
constexpr char kPaddedOffsetKey[10 + LineBuffer::kSlack] = ",\"offset\":";
constexpr std::string_view kOffsetKey(kPaddedOffsetKey, 10);

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
  if (details) {
    reserved.push_back("status");
    reserved.push_back("state");
    reserved.push_back("links");
  }
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
  for (size_t col = 0; col < layout_.size(); ++col) {
    default_at_.push_back(defaults_.size());
    const bool integer = layout_.columns()[col].integer;
    const bool null = integer || suppressed.count(names[col]) > 0;
    defaults_ += null ? layout_.null_member(col) : layout_.empty_member(col);
    key_ends_.push_back(default_at_.back() + layout_.key(col).size());
    // The cells whose member that is: see Kind. csv writes every cell as it
    // is: only an empty one is a default.
    const bool csv = options_.format == ReportFormat::kCsv;
    default_cells_.push_back(csv       ? kEmptyCell
                             : integer ? kEmptyCell | kNullCell
                             : null    ? kNullCell
                                       : kEmptyCell);
  }
  default_at_.push_back(defaults_.size());
  defaults_.append(LineBuffer::kSlack, '\0');
  commas_.assign(layout_.size() + LineBuffer::kSlack, ',');
  columns_ = layout_.size();
  for (size_t col = 0; col < columns_ && col < 64; ++col) {
    empty_defaults_ |= static_cast<uint64_t>((default_cells_[col] & kEmptyCell) != 0) << col;
    null_defaults_ |= static_cast<uint64_t>((default_cells_[col] & kNullCell) != 0) << col;
  }
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
    columns.push_back({"state", false});
    columns.push_back({"links", false});
  }
  AppendCsvHeader(columns, head);
  return head;
}

std::string_view ContactsFormattedReport::FinishCsvLine(int64_t offset, std::string_view status,
                                                       std::string_view state) {
  if (options_.details) {
    char digits[24];
    csv_.Field(std::string_view(digits, std::to_chars(digits, digits + sizeof digits, offset).ptr));
    csv_.Field(status);
    csv_.Field(state);
    csv_.Field(links_);
  }
  return csv_.Finish();
}

template <typename ForEach>
std::string_view ContactsFormattedReport::CsvLineOf(ForEach&& for_each_written, int64_t offset,
                                                    std::string_view status,
                                                    std::string_view state) {
  csv_.Begin();
  // Room for the whole row at once, and cells copied in whole blocks from
  // their padded copies, as for jsonl. A run of empty cells is its commas.
  char* out = csv_.MakeRoom(CsvLine::RoomFor(cells_size_) + 3 * columns_);
  const char* commas = commas_.data();
  size_t run = 0;  // the first column of the run of empty cells not written yet
  for_each_written([&](size_t col, std::string_view cell, bool careful) {
    out = CopyPadded({commas, col - run}, out);
    run = col + 1;
    // Only a space at either end asks a plain cell for quotes.
    if (!careful && cell.front() != ' ' && cell.back() != ' ') {
      *out = ',';
      out = CopyPadded(cell, out + 1);
    } else {
      out = CsvLine::WritePaddedField(cell, out);
    }
  });
  out = CopyPadded({commas, columns_ - run}, out);
  csv_.Commit(out);
  return FinishCsvLine(offset, status, state);
}

template <typename ForEach>
std::string_view ContactsFormattedReport::JsonlLineOf(ForEach&& for_each_written, int64_t offset,
                                                      std::string_view status,
                                                      std::string_view state) {
  jsonl_.Begin();
  char* out = jsonl_.MakeRoom(kOffsetKey.size() + 20);
  if (offset >= 0) out = WriteDecimal(static_cast<uint64_t>(offset), CopyPadded(kOffsetKey, out));
  jsonl_.Commit(out);
  if (options_.details) {
    jsonl_.Text("status", status);
    jsonl_.Text("state", state);
    jsonl_.Text("links", links_);
  }
  // Room for the whole row at once: no check per cell. The writes go through
  // locals: every byte written could alias a member, locals it cannot.
  out = jsonl_.MakeRoom(layout_.RoomForAll(cells_size_));
  const JsonlColumns& layout = layout_;
  const Kind* kinds = kinds_.data();
  const char* defaults = defaults_.data();
  const size_t* default_at = default_at_.data();
  const size_t* key_ends = key_ends_.data();
  JsonlLine& line = jsonl_;
  const char* run = defaults;  // the run of default members not written yet
  for_each_written([&](size_t col, std::string_view cell, bool careful)
                       __attribute__((always_inline)) {
    // A column's key starts its default member: one copy takes the run of
    // default members before the cell and the cell's key.
    out = CopyPadded({run, static_cast<size_t>(defaults + key_ends[col] - run)}, out);
    run = defaults + default_at[col + 1];
    // Cells are read from row_, padded: whole blocks may be read past them.
    if (kinds[col] == Kind::kInteger && IsDecimalIntegerPadded(cell)) {
      out = CopyPadded(cell, out);
    } else if (!careful) {
      *out++ = '"';
      out = CopyPadded(cell, out);
      *out++ = '"';
    } else {
      out = line.WritePaddedTextValue(layout, col, cell, out);
    }
  });
  out = CopyPadded({run, static_cast<size_t>(defaults + default_at[columns_] - run)}, out);
  jsonl_.Commit(out);
  return jsonl_.Finish();
}

template <typename Write>
void ContactsFormattedReport::ForEachWrittenCell(Write&& write) const {
  const uint8_t* defaults_by = default_cells_.data();
  for (size_t col = 0; col < columns_; ++col)
    if (!(defaults_by[col] & DefaultsOf(cells_[col]))) write(col, cells_[col], true);
}

template <typename Write>
void ContactsFormattedReport::ForEachWrittenJoinedCell(Write&& write) const {
  // Through locals, as the line writers do.
  const size_t columns = columns_;
  const uint8_t* defaults_by = default_cells_.data();
  const char* joined = joined_.data();
  const uint32_t* ends = ends_.data() + 1;     // ends[-1] is the TAB before the first cell
  const uint32_t* special = specials_.data();  // the first not behind the cell
  const size_t count = std::min(ends_count_, columns);
  auto write_cell = [&](size_t col) __attribute__((always_inline)) {
    const uint32_t start = ends[col - 1] + 1, end = ends[col];
    while (*special < start) ++special;
    write(col, std::string_view(joined + start, end - start), *special < end);
  };
  if (columns <= 64) {
    // Most cells are defaults: only the others are visited.
    for (uint64_t bits = WrittenJoinedCells(count); bits != 0; bits &= bits - 1)
      write_cell(static_cast<size_t>(std::countr_zero(bits)));
  } else {
    for (size_t col = 0; col < count; ++col) {
      const uint32_t start = ends[col - 1] + 1;
      if (!(defaults_by[col] & DefaultsOf({joined + start, ends[col] - start}))) write_cell(col);
    }
  }
  size_t col = count;
  for (size_t k = 0; k < more_.size() && col < columns; ++k, ++col)
    if (!(defaults_by[col] & DefaultsOf(more_[k]))) write(col, more_[k], !more_[k].empty());
  if (columns <= 64) {
    const uint64_t rest = col == 64 ? 0 : ~uint64_t{0} << col;
    const uint64_t all = columns == 64 ? ~uint64_t{0} : (uint64_t{1} << columns) - 1;
    for (uint64_t bits = rest & all & ~empty_defaults_; bits != 0; bits &= bits - 1)
      write(static_cast<size_t>(std::countr_zero(bits)), empty_, false);
    return;
  }
  for (; col < columns; ++col)
    if (!(defaults_by[col] & kEmptyCell)) write(col, empty_, false);
}

uint64_t ContactsFormattedReport::WrittenJoinedCells(size_t count) const {
  const uint32_t* ends = ends_.data() + 1;
  // Cell k is empty when its end follows the TAB before it, 4 bytes long when
  // it ends 5 bytes after it. ends_ has room for the blocks read past `count`;
  // the cells past it are dropped at the end.
  uint64_t empty = 0, four = 0;
#if defined(__SSE2__)
  const __m128i one = _mm_set1_epi32(1), five = _mm_set1_epi32(5);
  for (size_t k = 0; k < count; k += 4) {
    const __m128i end = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ends + k));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ends + k - 1));
    const __m128i length_and_one = _mm_sub_epi32(end, before);
    empty |= static_cast<uint64_t>(
                 _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(length_and_one, one))))
             << k;
    four |= static_cast<uint64_t>(
                _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(length_and_one, five))))
            << k;
  }
#else
  for (size_t k = 0; k < count; ++k) {
    empty |= static_cast<uint64_t>(ends[k] - ends[k - 1] == 1) << k;
    four |= static_cast<uint64_t>(ends[k] - ends[k - 1] == 5) << k;
  }
#endif
  const uint64_t cells = count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
  uint64_t nulls = 0;
  uint32_t null;
  std::memcpy(&null, "null", 4);
  for (uint64_t bits = four & null_defaults_ & cells; bits != 0; bits &= bits - 1) {
    const size_t k = static_cast<size_t>(std::countr_zero(bits));
    uint32_t head;
    std::memcpy(&head, joined_.data() + static_cast<uint32_t>(ends[k - 1] + 1), 4);
    nulls |= static_cast<uint64_t>(head == null) << k;
  }
  return cells & ~(empty & empty_defaults_) & ~nulls;
}

std::string_view ContactsFormattedReport::Row(std::span<const std::string_view> cells,
                                              int64_t offset, std::string_view status,
                                              std::string_view state, std::string_view links) {
  links_ = links;
  cells_size_ = 0;
  for (std::string_view cell : cells) cells_size_ += cell.size();
  char* at = StartCopy(cells_size_);
  cells_.resize(columns_);
  for (size_t col = 0; col < columns_; ++col)
    cells_[col] = col < cells.size() ? KeepCopy(cells[col], at) : std::string_view(at, 0);
  EndCopy(at);
  auto for_each = [this](auto&& write)
                      __attribute__((always_inline)) { ForEachWrittenCell(write); };
  return options_.format == ReportFormat::kCsv ? CsvLineOf(for_each, offset, status, state)
                                               : JsonlLineOf(for_each, offset, status, state);
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
void ContactsFormattedReport::TakeJoinedRow(std::string_view joined_cells,
                                            std::span<const std::string_view> more_cells,
                                            Marks marks) {
  size_t more_size = 0;
  for (std::string_view cell : more_cells) more_size += cell.size();
  cells_size_ = joined_cells.size() + more_size;
  char* at = StartCopy(cells_size_);
  joined_ = KeepCopy(joined_cells, at);
  // Empty more cells are written as the cells past them are: no need to list
  // them (the person rows' label cells mostly are).
  more_.resize(more_size == 0 ? 0 : more_cells.size());
  for (size_t k = 0; k < more_.size(); ++k) more_[k] = KeepCopy(more_cells[k], at);
  empty_ = std::string_view(at, 0);
  EndCopy(at);
  using byte_scan::SpaceBytes, byte_scan::TabBytes;
  if (options_.format == ReportFormat::kCsv) {
    MarkBits(joined_, MarkSet<TabBytes>{{}, &tab_bits_}, MarkSet<Marks>{marks, &special_bits_},
             MarkSet<SpaceBytes>{{}, &space_bits_});
  } else {
    MarkBits(joined_, MarkSet<TabBytes>{{}, &tab_bits_}, MarkSet<Marks>{marks, &special_bits_});
  }
}

void ContactsFormattedReport::ListCells() {
  // Room for WrittenJoinedCells' last block too.
  if (ends_.size() < joined_.size() + 6) ends_.resize(joined_.size() + 6);
  if (specials_.size() < joined_.size() + 1) specials_.resize(joined_.size() + 1);
  ends_[0] = UINT32_MAX;
  uint32_t* end = ends_.data() + 1;
  uint32_t* special = specials_.data();
  for (size_t word = 0; word < tab_bits_.size(); ++word) {
    const uint64_t tabs = tab_bits_[word];
    const uint32_t base = static_cast<uint32_t>(word * 64);
    for (uint64_t bits = tabs; bits != 0; bits &= bits - 1)
      *end++ = base + static_cast<uint32_t>(std::countr_zero(bits));
    for (uint64_t bits = special_bits_[word] & ~tabs; bits != 0; bits &= bits - 1)
      *special++ = base + static_cast<uint32_t>(std::countr_zero(bits));
  }
  *end++ = static_cast<uint32_t>(joined_.size());
  ends_count_ = static_cast<size_t>(end - ends_.data()) - 1;
  *special = UINT32_MAX;
}

int64_t ContactsFormattedReport::TabBefore(size_t at) const {
  size_t word = at / 64;
  uint64_t bits = tab_bits_[word] & ((uint64_t{1} << (at % 64)) - 1);
  while (bits == 0 && word > 0) bits = tab_bits_[--word];
  return bits == 0 ? -1 : static_cast<int64_t>(word * 64 + 63 - std::countl_zero(bits));
}

size_t ContactsFormattedReport::TabFrom(size_t at) const {
  size_t word = at / 64;
  uint64_t bits = tab_bits_[word] & ~((uint64_t{1} << (at % 64)) - 1);
  while (bits == 0 && ++word < tab_bits_.size()) bits = tab_bits_[word];
  return bits == 0 ? joined_.size() : word * 64 + static_cast<size_t>(std::countr_zero(bits));
}

std::string_view ContactsFormattedReport::CsvLineOfJoined(int64_t offset,
                                                          std::string_view status,
                                                          std::string_view state) {
  const std::string_view joined = joined_;
  const size_t size = joined.size();
  const size_t words = tab_bits_.size();
  // The bytes that ask their cell for care: special ones, and spaces that
  // start or end a cell (after or before a TAB, or at either end of the row).
  for (size_t word = 0; word < words; ++word) {
    const uint64_t tabs = tab_bits_[word];
    const uint64_t starts = tabs << 1 | (word == 0 ? 1 : tab_bits_[word - 1] >> 63);
    uint64_t lasts = tabs >> 1 | (word + 1 < words ? tab_bits_[word + 1] << 63 : 0);
    if (word + 1 == words) lasts |= uint64_t{1} << ((size - 1) % 64);
    special_bits_[word] = (special_bits_[word] & ~tabs) | (space_bits_[word] & (starts | lasts));
  }
  csv_.Begin();
  char* out = csv_.MakeRoom(CsvLine::RoomFor(cells_size_) + 3 * columns_ + 1);
  // The fields are the row with a comma before each cell: a comma, then the
  // row with TABs made commas. `from` counts in those fields: 0 is the first
  // comma, k + 1 the row's byte k.
  size_t from = 0;
  auto copy_to = [&](size_t to) {
    if (from == 0 && to > 0) {
      *out++ = ',';
      from = 1;
    }
    if (to > from) out = CopyTabsAsCommas(joined.substr(from - 1, to - from), out);
    from = std::max(from, to);
  };
  for (size_t word = 0; word < words; ++word) {
    for (uint64_t bits = special_bits_[word]; bits != 0; bits &= bits - 1) {
      const size_t at = word * 64 + static_cast<size_t>(std::countr_zero(bits));
      if (at + 1 < from) continue;  // in a cell written already
      const size_t start = static_cast<size_t>(TabBefore(at) + 1), end = TabFrom(at);
      copy_to(start);  // up to the cell's comma, which WriteField writes
      out = CsvLine::WritePaddedField(joined.substr(start, end - start), out);
      from = end + 1;
    }
  }
  copy_to(size + 1);
  size_t col = tabs_ + 1;
  for (size_t k = 0; k < more_.size() && col < columns_; ++k, ++col) {
    if (more_[k].empty()) *out++ = ',';
    else out = CsvLine::WritePaddedField(more_[k], out);
  }
  out = CopyPadded({commas_.data(), columns_ - col}, out);
  csv_.Commit(out);
  return FinishCsvLine(offset, status, state);
}

std::string_view ContactsFormattedReport::Row(std::string_view joined_cells,
                                              std::span<const std::string_view> more_cells,
                                              int64_t offset, std::string_view status,
                                              std::string_view state, std::string_view links) {
  links_ = links;
  using namespace byte_scan;
  auto for_each = [this](auto&& write)
                      __attribute__((always_inline)) { ForEachWrittenJoinedCell(write); };
  if (options_.format == ReportFormat::kCsv) {
    TakeJoinedRow(joined_cells, more_cells, CsvNotPlain());
    tabs_ = 0;
    for (uint64_t bits : tab_bits_) tabs_ += static_cast<size_t>(CountBits(bits));
    if (tabs_ < columns_) return CsvLineOfJoined(offset, status, state);
    // More cells than columns: the ones past are left out.
    ListCells();
    return CsvLineOf(for_each, offset, status, state);
  }
  TakeJoinedRow(joined_cells, more_cells, JsonNotPlain());
  ListCells();
  return JsonlLineOf(for_each, offset, status, state);
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
    writer.Row(cells, -1, "", "");
  }
  writer.Close();
  view.LoadFile(output_path);
}

}  // namespace quarrow
