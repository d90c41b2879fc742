#include "contacts/person_line_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "contacts/contacts_schema.h"
#include "contacts/person_pass.h"
#include "engine/values.h"
#include "report/byte_scan.h"
#include "report/csv_writer.h"
#include "report/report_fields.h"

namespace quarrow {

namespace {

// Room past every write: CopyPadded writes, and the checks below read, whole
// blocks past a fragment's end.
constexpr size_t kRoomSlack = 2 * LineBuffer::kSlack;
constexpr size_t kPrefixCells = 3;
constexpr size_t kMaxPrefixCell = 21;  // a 64-bit decimal and its sign
constexpr char kPaddedOffsetKey[10 + LineBuffer::kSlack] = "{\"offset\":";

bool IsNull(std::string_view cell) {
  return cell.size() == 4 && std::memcmp(cell.data(), "null", 4) == 0;
}

// Whether `cell` is the default of a jsonl column of `kind` (written as the
// column's default member): empty or "null" for an integer column, "null"
// for a suppressed one, empty for a text one.
bool IsDefaultCell(ContactsFormattedReport::Kind kind, std::string_view cell) {
  using Kind = ContactsFormattedReport::Kind;
  return kind == Kind::kInteger      ? cell.empty() || IsNull(cell)
         : kind == Kind::kSuppressed ? IsNull(cell)
                                     : cell.empty();
}

// Whether `cell` (followed by 16 readable bytes) is written as it stands:
// every byte that `Marks` marks is one that `plain_ascii` accepts or starts a
// valid UTF-8 sequence. Most cells have no marked byte at all.
template <typename Marks, typename PlainAscii>
bool StandsAsIs(std::string_view cell, PlainAscii plain_ascii) {
  const size_t size = cell.size();
  size_t next = 0;  // the first byte not judged yet: past a valid sequence
  auto judge = [&](size_t at) {
    if (at < next) return true;
    if (static_cast<uint8_t>(cell[at]) < 0x80) return plain_ascii(cell[at]);
    const Utf8Step step = NextUtf8Step(cell.substr(at));
    next = at + step.length;
    return step.valid;
  };
#if defined(__SSE2__)
  for (size_t block = 0; block < size; block += 16) {
    uint32_t bits = Marks()(byte_scan::LoadBlock(cell.data() + block));
    if (size - block < 16) bits &= (uint32_t{1} << (size - block)) - 1;
    for (; bits != 0; bits &= bits - 1)
      if (!judge(block + static_cast<size_t>(std::countr_zero(bits)))) return false;
  }
#else
  for (size_t at = 0; at < size; ++at)
    if (Marks()(cell[at]) && !judge(at)) return false;
#endif
  return true;
}

// A JSON string holds the cell as it stands: no escape, nothing replaced.
bool JsonStandsAsIs(std::string_view cell) {
  return StandsAsIs<byte_scan::JsonNotPlain>(cell, [](char) { return false; });
}

// A csv field holds the cell as it stands: no quotes, nothing replaced.
// Control bytes but CR and LF need no quotes.
bool CsvStandsAsIs(std::string_view cell) {
  if (cell.front() == ' ' || cell.back() == ' ') return false;
  return StandsAsIs<byte_scan::CsvNotPlain>(cell, [](char c) {
    return c != ',' && c != '"' && c != '\r' && c != '\n';
  });
}

// Copies a text field of `size` bytes at `from` (followed by readable bytes
// up to a multiple of 16) to `out` as CopyText does, control bytes made
// spaces, sixteen at a time; returns whether any byte copied is one that
// `Marks` marks. `out` needs 16 bytes of slack.
template <typename Marks>
bool CopyTextBlocks(const uint8_t* from, size_t size, char* out) {
#if defined(__SSE2__)
  const __m128i below_space = _mm_set1_epi8(0x1F), space = _mm_set1_epi8(' ');
  uint32_t marked = 0;
  size_t at = 0;
  for (; at + 16 <= size; at += 16) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(block, below_space), block);
    block = _mm_or_si128(_mm_andnot_si128(control, block), _mm_and_si128(control, space));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), block);
    marked |= Marks()(block);
  }
  if (at < size) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(block, below_space), block);
    block = _mm_or_si128(_mm_andnot_si128(control, block), _mm_and_si128(control, space));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), block);
    marked |= Marks()(block) & ((uint32_t{1} << (size - at)) - 1);
  }
  return marked != 0;
#else
  CopyText(from, size, out);
  bool marked = false;
  for (size_t at = 0; at < size; ++at) marked |= Marks()(out[at]);
  return marked;
#endif
}

// Writes `text` as a JSON string at `out` (room for twice its size and the
// quotes) when it is ASCII whose only bytes that need care are quotes and
// backslashes (a quoted tag, most often): each gets a backslash. Returns its
// end, or nullptr for any other text.
char* WriteBackslashed(std::string_view text, char* out) {
  if (text.size() > 64) return nullptr;
  char* at = out;
  *at++ = '"';
  for (char c : text) {
    if (static_cast<uint8_t>(c) < 0x20 || static_cast<uint8_t>(c) >= 0x80) return nullptr;
    if (c == '"' || c == '\\') *at++ = '\\';
    *at++ = c;
  }
  *at++ = '"';
  return at;
}

// Writes `text` as a quoted csv field at `out` (room for twice its size and
// the quotes) when it is ASCII without control bytes: its quotes doubled.
// Returns its end, or nullptr for any other text.
char* WriteQuoted(std::string_view text, char* out) {
  if (text.size() > 64) return nullptr;
  char* at = out;
  *at++ = '"';
  for (char c : text) {
    if (static_cast<uint8_t>(c) < 0x20 || static_cast<uint8_t>(c) >= 0x80) return nullptr;
    if (c == '"') *at++ = '"';
    *at++ = c;
  }
  *at++ = '"';
  return at;
}

// ReadIntegerValue for an integer column, its common stored sizes (1 to 4
// and 6 bytes) read as one big-endian word from `word` (8 readable bytes at
// the field, or nullptr: then from the view when its window holds them).
bool ReadInteger(const uint8_t* word, const BufferView& view, int64_t from, const TERM& column,
                 int64_t& value) {
  if (column.serial >= 1 && column.serial <= 5 && column.seg >= 1 && column.seg <= 6) {
    if (word == nullptr) word = view.Span(from, 8);
    if (word != nullptr) {
      uint64_t bits;
      std::memcpy(&bits, word, 8);
      if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap64(bits);
      const int shift = 64 - 8 * static_cast<int>(column.seg);
      value = static_cast<int64_t>(bits) >> shift;
      return true;
    }
  }
  return ReadIntegerValue(view, from, column, value);
}

// Where `size` bytes from `from` in the view can be read in whole blocks of
// 16; nullptr when the window does not hold the last block.
const uint8_t* BlockSpan(const BufferView& view, int64_t from, int64_t size) {
  return view.Span(from, (size + 15) & ~int64_t{15});
}

}  // namespace

PersonLineWriter::PersonLineWriter(const RunOptions& options,
                                   const std::vector<std::string>& names,
                                   const std::vector<int>& person_cells, const ColumnList& columns)
    : options_(options),
      names_(names),
      person_cells_(person_cells),
      list_(columns),
      report_(options, names) {
  const bool csv = options_.format == ReportFormat::kCsv;
  const JsonlColumns& layout = report_.layout();
  columns_ = layout.size();
  first_label_ = std::min<size_t>(kFirstLabelColumn, columns_);
  fits_ = kPrefixCells + person_cells.size() == first_label_;
  // The fixed cells: "null" for a suppressed column, empty for one the
  // input's table lacks, empty labels; a BLOB column's value is always
  // "BLOB", a column of no type's always empty.
  std::vector<const char*> fixed(columns_, "");
  for (size_t k = 0; fits_ && k < person_cells.size(); ++k) {
    const int cell = person_cells[k];
    if (cell >= 0 && static_cast<size_t>(cell) < columns.size()) {
      const int32_t kind = columns[cell].tp;
      fixed[kPrefixCells + k] = kind == kBlob ? "BLOB" : kind == kNone ? "" : nullptr;
    } else if (cell == ContactsSchema::kNullCell) {
      fixed[kPrefixCells + k] = "null";
    }
  }
  for (size_t col = 0; col < kPrefixCells && fits_; ++col) fixed[col] = nullptr;
  for (size_t col = 0; col < columns_; ++col) {
    member_at_.push_back(members_.size());
    // A cell filled per line has its column's default member here: written
    // when the line's cell is the default.
    const std::string_view text = fixed[col] ? fixed[col] : "";
    if (csv) {
      if (col > 0) members_ += ',';
      value_at_.push_back(members_.size());
      members_ += text;  // "null", "BLOB" and "" need no quotes
      continue;
    }
    value_at_.push_back(members_.size() + layout.key(col).size());
    if (!fixed[col] || IsDefaultCell(report_.kind(col), text)) {
      members_ += report_.default_member(col);
    } else {
      members_ += layout.key(col);
      members_ += '"';
      members_ += text;  // "null", "BLOB" or "": nothing to escape
      members_ += '"';
    }
  }
  member_at_.push_back(members_.size());
  members_.append(LineBuffer::kSlack, '\0');
  if (!fits_) return;
  fixed_room_ = 10 + 20 + members_.size() + kRoomSlack;  // the offset, the members
  for (size_t col = 0; col < first_label_; ++col) {
    if (fixed[col]) continue;
    Source source;
    source.col = col;
    const Kind report_kind = report_.kind(col);
    if (col < kPrefixCells) {
      source.prefix_cell = static_cast<int32_t>(col);
      if (csv || report_kind == Kind::kInteger) source.op = Op::kPrefixInteger;
      fixed_room_ += kMaxPrefixCell + 2;
      sources_.push_back(source);
      continue;
    }
    const int cell = person_cells[col - kPrefixCells];
    source.column = cell;
    columns_needed_ = std::max(columns_needed_, static_cast<size_t>(cell) + 1);
    const int32_t kind = columns[cell].tp;
    if (kind == kText && (csv || report_kind == Kind::kText)) source.op = Op::kText;
    if (kind == kInteger && (csv || report_kind == Kind::kInteger)) source.op = Op::kInteger;
    // A text's room is its field's size: counted per line, for all at once.
    fixed_room_ += kind == kText   ? 2
                   : kind == kAny ? kMaxIntegerText + 2
                                  : RenderedSizeBound(columns[cell]) + 2;
    sources_.push_back(source);
  }
  starts_.resize(columns_needed_);
}

void PersonLineWriter::Ensure(Cursor& cursor, size_t bytes) const {
  // Room() keeps the bytes up to the end set, and gives the place after them.
  cursor.line->SetEnd(cursor.out);
  cursor.out = cursor.line->Room(bytes + line_room_ + kRoomSlack);
}

std::string_view PersonLineWriter::Scratch(const char* from, const char* to) {
  scratch_.Clear();
  scratch_.Append({from, static_cast<size_t>(to - from)});
  return scratch_.view();
}

char* PersonLineWriter::Render(const Source& source, const Match& match,
                               const ColumnList& columns, char* at) {
  if (source.column >= 0)
    return WriteColumnValue(*match.view, starts_[source.column], columns[source.column], at);
  return CopyBytes(prefix_cells_[source.prefix_cell], at);
}

char* PersonLineWriter::FinishMember(size_t col, char* value, char* end, Cursor& cursor,
                                     const char*& run) {
  const std::string_view cell(value, static_cast<size_t>(end - value));
  const Kind kind = report_.kind(col);
  const bool integer = kind == Kind::kInteger;
  char* const key_end = integer ? value : value - 1;
  if (IsDefaultCell(kind, cell)) {
    // The default member's key is written: its value follows in the run.
    run = members_.data() + value_at_[col];
    return key_end;
  }
  run = members_.data() + member_at_[col + 1];
  if (integer && IsDecimalIntegerPadded(cell)) return end;
  if (JsonStandsAsIs(cell)) {
    if (integer) {  // a text after all: room for its opening quote
      std::memmove(value + 1, value, cell.size());
      ++end;
    }
    *key_end = '"';
    *end = '"';
    return end + 1;
  }
  cursor.out = key_end + 1;
  return CarefulMember(col, value, end, cursor);
}

char* PersonLineWriter::CarefulMember(size_t col, char* value, char* end, Cursor& cursor) {
  const std::string_view copy = Scratch(value, end);
  cursor.out -= 1;  // the opening quote's place
  Ensure(cursor, 6 * copy.size() + 2);
  if (char* escaped = WriteBackslashed(copy, cursor.out)) return escaped;
  return jsonl_.WritePaddedTextValue(report_.layout(), col, copy, cursor.out);
}

char* PersonLineWriter::FinishField(char* value, char* end, Cursor& cursor) {
  const std::string_view cell(value, static_cast<size_t>(end - value));
  if (cell.empty() || CsvStandsAsIs(cell)) return end;
  // The careful writer writes the field after its comma: written apart, as
  // the first field has no comma.
  const std::string_view copy = Scratch(value, end);
  cursor.out = value;
  Ensure(cursor, 2 * copy.size() + 2);
  if (char* quoted = WriteQuoted(copy, cursor.out)) return quoted;
  field_.Clear();
  char* field = field_.Room(CsvLine::RoomFor(copy.size()) + 1);
  const size_t size = static_cast<size_t>(CsvLine::WritePaddedField(copy, field) - field) - 1;
  Ensure(cursor, size);
  std::memcpy(cursor.out, field + 1, size);
  return cursor.out + size;
}

std::optional<size_t> PersonLineWriter::Append(const Match& match, const ColumnList& columns,
                                               int64_t offset, LineBuffer& out) {
  // The prefix's cells, each followed by a TAB.
  std::string_view prefix = match.prefix;
  for (std::string_view& cell : prefix_cells_) {
    const size_t tab = CellEnd(prefix, 0);
    if (tab == std::string_view::npos) return std::nullopt;
    cell = prefix.substr(0, tab);
    prefix.remove_prefix(tab + 1);
  }
  if (!fits_ || !prefix.empty()) return std::nullopt;
  const BufferView& view = *match.view;
  line_room_ = fixed_room_;
  fields_ = nullptr;
  if (columns_needed_ > 0) {
    FieldStarts(view, match.body_start, columns, columns_needed_, starts_.data());
    // A text renders at most its field's bytes (a field cut by the buffer's
    // end, the bytes there): the fields' span bounds them all.
    const size_t last = columns_needed_ - 1;
    fields_end_ = NextFieldStart(starts_[last], columns[last].seg, view.size());
    line_room_ += static_cast<size_t>(fields_end_ - starts_[0]);
    // The fields read in whole blocks, found once for all when the window
    // holds them and a block past them.
    fields_ = view.Span(starts_[0], fields_end_ - starts_[0] + 16);
  }
  return options_.format == ReportFormat::kCsv ? AppendLine<false>(match, columns, offset, out)
                                               : AppendLine<true>(match, columns, offset, out);
}


template <bool kJson>
size_t PersonLineWriter::AppendLine(const Match& match, const ColumnList& columns,
                                    int64_t offset, LineBuffer& line) {
  if (kJson) jsonl_.Begin();
  const size_t line_start = line.size();
  Cursor cursor{&line, line.Room(line_room_)};
  char* out = cursor.out;
  if (kJson) {
    out = WriteDecimal(static_cast<uint64_t>(offset), CopyPadded({kPaddedOffsetKey, 10}, out));
  }
  const BufferView& view = *match.view;
  const char* const members = members_.data();
  const size_t* const value_at = value_at_.data();
  const size_t* const member_at = member_at_.data();
  const char* run = members;  // the run of fixed and default members not written yet
  // A column's member starts with its key (jsonl) or its comma (csv): one
  // copy takes the run before it and that. A default cell is left in the run.
  auto open_member = [&](size_t col) __attribute__((always_inline)) {
    out = CopyPadded({run, static_cast<size_t>(members + value_at[col] - run)}, out);
    run = members + member_at[col + 1];
  };
  for (const Source& source : sources_) {
    const size_t col = source.col;
    switch (source.op) {
      case Op::kText: {
        const int64_t size = std::min(columns[source.column].seg, kMaxTextBytes);
        if (size <= 0) continue;
        const int64_t start = starts_[source.column];
        const uint8_t* bytes = fields_ != nullptr && start + size <= fields_end_
                                   ? fields_ + (start - starts_[0])
                                   : BlockSpan(view, start, size);
        if (bytes == nullptr) break;
        open_member(col);
        char* value = kJson ? out + 1 : out;
        char* end = value + size;
        const std::string_view cell(value, static_cast<size_t>(size));
        if (kJson) {
          if (CopyTextBlocks<byte_scan::JsonNotPlain>(bytes, cell.size(), value) &&
              !JsonStandsAsIs(cell)) {
            cursor.out = value;
            out = CarefulMember(col, value, end, cursor);
            continue;
          }
          *out = '"';
          *end = '"';
          out = end + 1;
        } else {
          if ((CopyTextBlocks<byte_scan::CsvNotPlain>(bytes, cell.size(), value) ||
               cell.front() == ' ' || cell.back() == ' ') &&
              !CsvStandsAsIs(cell)) {
            cursor.out = value;
            out = FinishField(value, end, cursor);
            continue;
          }
          out = end;
        }
        continue;
      }
      case Op::kInteger: {
        int64_t number;
        const TERM& column = columns[source.column];
        const int64_t start = starts_[source.column];
        const uint8_t* word = fields_ != nullptr && start + column.seg <= fields_end_
                                  ? fields_ + (start - starts_[0])
                                  : nullptr;
        if (!ReadInteger(word, view, start, column, number)) break;
        open_member(col);
        out = WriteSignedDecimal(number, out);
        continue;
      }
      case Op::kPrefixInteger: {
        const std::string_view cell = prefix_cells_[source.prefix_cell];
        if (cell.empty()) continue;  // null, or an empty field
        if (!IsDecimalInteger(cell)) break;
        open_member(col);
        out = CopyBytes(cell, out);
        continue;
      }
      case Op::kGeneric:
        break;
    }
    // Rendered as the person row has it, then judged.
    open_member(col);
    if (kJson) {
      char* value = report_.kind(col) == Kind::kInteger ? out : out + 1;
      char* end = Render(source, match, columns, value);
      cursor.out = out;
      out = FinishMember(col, value, end, cursor, run);
    } else {
      char* end = Render(source, match, columns, out);
      cursor.out = out;
      out = FinishField(out, end, cursor);
    }
  }
  // The label cells start with their first member.
  const size_t labels_at = static_cast<size_t>(out - (line.data() + line_start)) +
                           (member_at_[first_label_] - static_cast<size_t>(run - members));
  out = CopyPadded({run, static_cast<size_t>(members + member_at_[columns_] - run)}, out);
  if (kJson && !jsonl_.raw().empty()) {
    cursor.out = out;
    Ensure(cursor, jsonl_.EndRoom());
    out = jsonl_.WriteEnd(cursor.out);
  } else {
    // The room's slack holds the line end.
    std::memcpy(out, kJson ? "}\n" : "\r\n", 2);
    out += 2;
  }
  line.SetEnd(out);
  return labels_at;
}

std::string_view PersonLineWriter::WithLabels(std::string_view line, size_t labels_at,
                                              std::span<const std::string_view> labels) {
  const size_t count = std::min(labels.size(), columns_ - first_label_);
  labelled_.assign(line.substr(0, labels_at));
  if (options_.format == ReportFormat::kCsv) {
    for (size_t col = first_label_; col < columns_; ++col) {
      labelled_ += ',';
      if (col - first_label_ < count) AppendCsvField(labels[col - first_label_], labelled_);
    }
    labelled_ += "\r\n";
    return labelled_;
  }
  jsonl_.Begin();
  line_room_ = members_.size() + kRoomSlack;
  for (size_t k = 0; k < count; ++k) line_room_ += labels[k].size() + 2;
  line_.Clear();
  Cursor cursor{&line_, line_.Room(line_room_)};
  char* out = cursor.out;
  const char* const members = members_.data();
  const char* run = members + member_at_[first_label_];
  for (size_t k = 0; k < count; ++k) {
    const size_t col = first_label_ + k;
    out = CopyPadded({run, static_cast<size_t>(members + value_at_[col] - run)}, out);
    char* value = report_.kind(col) == Kind::kInteger ? out : out + 1;
    char* end = CopyBytes(labels[k], value);
    cursor.out = out;
    out = FinishMember(col, value, end, cursor, run);
  }
  out = CopyPadded({run, static_cast<size_t>(members + member_at_[columns_] - run)}, out);
  labelled_.append(line_.data(), static_cast<size_t>(out - line_.data()));
  // The line's end: "}\n", or its "_raw" object first; the labels' "_raw"
  // members go after the row's.
  const std::string_view end =
      line.substr(labels_at + member_at_[columns_] - member_at_[first_label_]);
  const std::string_view raw = jsonl_.raw();
  if (raw.empty()) {
    labelled_ += end;
  } else if (end.size() == 2) {
    const size_t at = labelled_.size();
    labelled_.resize(at + jsonl_.EndRoom());
    const char* finished = jsonl_.WriteEnd(labelled_.data() + at);
    labelled_.resize(static_cast<size_t>(finished - labelled_.data()));
  } else {
    labelled_ += end.substr(0, end.size() - 3);  // without "}}\n"
    labelled_ += ',';
    labelled_ += raw.substr(1);
    labelled_ += "}}\n";
  }
  return labelled_;
}

std::string_view PersonLineWriter::WithDetails(std::string_view line, int64_t offset,
                                               std::string_view status, std::string_view state,
                                               std::string_view links) {
  char digits[24];
  const std::string_view offset_text(digits, WriteDecimal(static_cast<uint64_t>(offset), digits));
  if (options_.format == ReportFormat::kCsv) {
    detailed_.assign(line.substr(0, line.size() - 2));  // without CR LF
    detailed_ += ',';
    detailed_ += offset_text;
    detailed_ += ',';
    AppendCsvField(status, detailed_);
    detailed_ += ',';
    AppendCsvField(state, detailed_);
    detailed_ += ',';
    AppendCsvField(links, detailed_);
    detailed_ += "\r\n";
    return detailed_;
  }
  // The status, state and links members follow the offset's, which opens the line.
  constexpr std::string_view kOffsetKey = "{\"offset\":";
  const size_t offset_end = kOffsetKey.size() + offset_text.size();
  jsonl_.Begin();
  jsonl_.Text("status", status);
  jsonl_.Text("state", state);
  jsonl_.Text("links", links);
  const std::string_view member = jsonl_.Finish();  // {"status":...,"state":...} and a line end
  detailed_.assign(line.substr(0, offset_end));
  detailed_ += ',';
  const std::string_view raw = jsonl_.raw();
  const std::string_view rest = line.substr(offset_end);
  if (raw.empty()) {
    detailed_ += member.substr(1, member.size() - 3);
    detailed_ += rest;
    return detailed_;
  }
  // Replaced bytes in the status or state: their raw bytes lead the "_raw" object.
  constexpr std::string_view kRawKey = ",\"_raw\":{";
  const std::string_view status_member = member.substr(1, member.find(kRawKey) - 1);
  detailed_ += status_member;
  const size_t raw_at = rest.rfind(kRawKey);
  detailed_ += rest.substr(0, raw_at == std::string_view::npos ? rest.size() - 2 : raw_at);
  detailed_ += kRawKey;
  detailed_ += raw.substr(1);
  if (raw_at != std::string_view::npos) {
    detailed_ += ',';
    detailed_ += rest.substr(raw_at + kRawKey.size());
  } else {
    detailed_ += "}}\n";
  }
  return detailed_;
}

}  // namespace quarrow
