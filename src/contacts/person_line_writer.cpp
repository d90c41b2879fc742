#include "contacts/person_line_writer.h"

#include <algorithm>
#include <bit>
#include <charconv>
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

bool IsNull(std::string_view cell) { return cell.size() == 4 && std::memcmp(cell.data(), "null", 4) == 0; }

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
  const JsonlColumns& layout = report_.layout();
  columns_ = layout.size();
  first_label_ = std::min<size_t>(kFirstLabelColumn, columns_);
  for (size_t col = 0; col < columns_; ++col) {
    default_at_.push_back(defaults_.size());
    defaults_ += report_.default_member(col);
    key_end_.push_back(default_at_.back() + layout.key(col).size());
  }
  default_at_.push_back(defaults_.size());
  defaults_.append(LineBuffer::kSlack, '\0');
  commas_.assign(columns_ + LineBuffer::kSlack, ',');
  fits_ = kPrefixCells + person_cells.size() == first_label_;
  if (!fits_) return;
  for (size_t col = 0; col < kPrefixCells; ++col) {
    Source source;
    source.col = col;
    source.prefix_cell = static_cast<int32_t>(col);
    if (report_.kind(col) == Kind::kInteger) source.op = Op::kPrefixInteger;
    sources_.push_back(source);
    fixed_room_ += kMaxPrefixCell + 2;
  }
  for (size_t k = 0; k < person_cells.size(); ++k) {
    Source source;
    source.col = kPrefixCells + k;
    const int cell = person_cells[k];
    if (cell >= 0 && static_cast<size_t>(cell) < columns.size()) {
      source.column = cell;
      columns_needed_ = std::max(columns_needed_, static_cast<size_t>(cell) + 1);
      const int32_t kind = columns[cell].tp;
      const Kind report_kind = report_.kind(source.col);
      if (kind == kText && report_kind == Kind::kText) source.op = Op::kText;
      if (kind == kInteger && report_kind == Kind::kInteger) source.op = Op::kInteger;
      if (kind == kText || kind == kAny) sized_.push_back(cell);
      else fixed_room_ += RenderedSizeBound(columns[cell]) + 2;  // the same for every match
    } else {
      // As PersonRowWriter fills it; left out when it is the column's default.
      source.text = cell == ContactsSchema::kNullCell ? "null" : "";
      const Kind kind = report_.kind(source.col);
      const bool is_default = options_.format == ReportFormat::kCsv ? source.text.empty()
                              : kind == Kind::kInteger ? true
                              : kind == Kind::kSuppressed ? IsNull(source.text)
                                                          : source.text.empty();
      if (is_default) continue;
      fixed_room_ += source.text.size() + 2;
    }
    sources_.push_back(std::move(source));
  }
  starts_.resize(columns_needed_);
}

size_t PersonLineWriter::FixedRoom() const {
  // The offset member, the defaults or commas, the sources' values and quotes.
  const size_t runs = options_.format == ReportFormat::kCsv ? commas_.size() : defaults_.size();
  return 10 + 20 + runs + fixed_room_ + kRoomSlack;
}

void PersonLineWriter::Ensure(Cursor& cursor, size_t bytes) const {
  std::string& line = *cursor.line;
  const size_t at = static_cast<size_t>(cursor.out - line.data());
  const size_t needed = bytes + line_room_ + kRoomSlack;
  if (line.size() - at >= needed) return;
  line.resize(at + needed);
  cursor.out = line.data() + at;
}

std::string_view PersonLineWriter::Scratch(const char* from, const char* to) {
  const size_t size = static_cast<size_t>(to - from);
  scratch_.Clear();
  char* at = scratch_.Room(size);
  std::memcpy(at, from, size);
  scratch_.SetEnd(at + size);
  return scratch_.view();
}

char* PersonLineWriter::Render(const Source& source, const Match& match,
                               const ColumnList& columns, char* at) {
  if (source.column >= 0)
    return WriteColumnValue(*match.view, starts_[source.column], columns[source.column], at);
  if (source.prefix_cell >= 0) return CopyBytes(prefix_cells_[source.prefix_cell], at);
  return CopyBytes(source.text, at);
}

char* PersonLineWriter::FinishMember(size_t col, char* value, char* end, Cursor& cursor,
                                     const char*& run) {
  const std::string_view cell(value, static_cast<size_t>(end - value));
  const Kind kind = report_.kind(col);
  const bool integer = kind == Kind::kInteger;
  char* const key_end = integer ? value : value - 1;
  const bool is_default = integer                     ? cell.empty() || IsNull(cell)
                          : kind == Kind::kSuppressed ? IsNull(cell)
                                                      : cell.empty();
  if (is_default) {
    // The default member's key is written: its value follows in the run.
    run = defaults_.data() + key_end_[col];
    return key_end;
  }
  run = defaults_.data() + default_at_[col + 1];
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
  const std::string_view copy = Scratch(value, end);
  cursor.out = key_end;
  Ensure(cursor, 6 * copy.size() + 2);
  return jsonl_.WritePaddedTextValue(report_.layout(), col, copy, cursor.out);
}

char* PersonLineWriter::FinishField(char* value, char* end, Cursor& cursor) {
  const std::string_view cell(value, static_cast<size_t>(end - value));
  if (cell.empty() || CsvStandsAsIs(cell)) return end;
  // The careful writer writes the field after its comma: written apart, as
  // the first field has no comma.
  const std::string_view copy = Scratch(value, end);
  field_.Clear();
  char* field = field_.Room(CsvLine::RoomFor(copy.size()) + 1);
  const size_t size = static_cast<size_t>(CsvLine::WritePaddedField(copy, field) - field) - 1;
  cursor.out = value;
  Ensure(cursor, size);
  std::memcpy(cursor.out, field + 1, size);
  return cursor.out + size;
}

std::optional<size_t> PersonLineWriter::Append(const Match& match, const ColumnList& columns,
                                               int64_t offset, std::string& out) {
  // The prefix's cells, each followed by a TAB.
  const std::string_view prefix = match.prefix;
  size_t from = 0, cells = 0;
  for (size_t at = 0; at < prefix.size(); ++at) {
    if (prefix[at] != '\t') continue;
    if (cells == kPrefixCells) return std::nullopt;
    prefix_cells_[cells++] = prefix.substr(from, at - from);
    from = at + 1;
  }
  if (!fits_ || cells != kPrefixCells || from != prefix.size()) return std::nullopt;
  FieldStarts(*match.view, match.body_start, columns, columns_needed_, starts_.data());
  line_room_ = FixedRoom();
  for (int32_t k : sized_) line_room_ += RenderedSizeBound(columns[k]) + 2;
  return options_.format == ReportFormat::kCsv ? AppendCsv(match, columns, out)
                                               : AppendJsonl(match, columns, offset, out);
}

char* PersonLineWriter::CarefulMember(size_t col, char* value, char* end, Cursor& cursor) {
  const std::string_view copy = Scratch(value, end);
  cursor.out = value - 1;  // the opening quote's place
  Ensure(cursor, 6 * copy.size() + 2);
  return jsonl_.WritePaddedTextValue(report_.layout(), col, copy, cursor.out);
}

size_t PersonLineWriter::AppendJsonl(const Match& match, const ColumnList& columns,
                                     int64_t offset, std::string& line) {
  jsonl_.Begin();
  const size_t start = line.size();
  line.resize(start + line_room_);
  Cursor cursor{&line, line.data() + start};
  char* out = CopyPadded({kPaddedOffsetKey, 10}, cursor.out);
  out = WriteDecimal(static_cast<uint64_t>(offset), out);
  const BufferView& view = *match.view;
  const char* const defaults = defaults_.data();
  const size_t* const key_end = key_end_.data();
  const size_t* const default_at = default_at_.data();
  const char* run = defaults;  // the run of default members not written yet
  // A column's key starts its default member: one copy takes the run before
  // it and the key. A default cell is left in the run.
  auto open_member = [&](size_t col) __attribute__((always_inline)) {
    out = CopyPadded({run, static_cast<size_t>(defaults + key_end[col] - run)}, out);
    run = defaults + default_at[col + 1];
  };
  for (const Source& source : sources_) {
    const size_t col = source.col;
    switch (source.op) {
      case Op::kText: {
        const int64_t size = std::min(columns[source.column].seg, kMaxTextBytes);
        if (size <= 0) continue;
        const uint8_t* bytes = BlockSpan(view, starts_[source.column], size);
        if (bytes == nullptr) break;
        open_member(col);
        char* value = out + 1;
        char* end = value + size;
        if (CopyTextBlocks<byte_scan::JsonNotPlain>(bytes, static_cast<size_t>(size), value) &&
            !JsonStandsAsIs({value, static_cast<size_t>(size)})) {
          cursor.out = out;
          out = CarefulMember(col, value, end, cursor);
          continue;
        }
        *out = '"';
        *end = '"';
        out = end + 1;
        continue;
      }
      case Op::kInteger: {
        int64_t number;
        if (!ReadIntegerValue(view, starts_[source.column], columns[source.column], number)) break;
        open_member(col);
        out = std::to_chars(out, out + kMaxIntegerText, number).ptr;
        continue;
      }
      case Op::kPrefixInteger: {
        const std::string_view cell = prefix_cells_[source.prefix_cell];
        if (cell.empty()) continue;  // null
        if (!IsDecimalInteger(cell)) break;
        open_member(col);
        out = CopyBytes(cell, out);
        continue;
      }
      case Op::kGeneric:
        break;
    }
    // Rendered as the person row has it, then judged.
    out = CopyPadded({run, static_cast<size_t>(defaults + key_end[col] - run)}, out);
    char* value = report_.kind(col) == Kind::kInteger ? out : out + 1;
    char* end = Render(source, match, columns, value);
    cursor.out = out;
    out = FinishMember(col, value, end, cursor, run);
  }
  const size_t labels_at = static_cast<size_t>(out - line.data()) - start +
                           (default_at_[first_label_] - static_cast<size_t>(run - defaults));
  out = CopyPadded({run, static_cast<size_t>(defaults + default_at_[columns_] - run)}, out);
  cursor.out = out;
  Ensure(cursor, jsonl_.EndRoom());
  out = jsonl_.WriteEnd(cursor.out);
  line.resize(static_cast<size_t>(out - line.data()));
  return labels_at;
}

size_t PersonLineWriter::AppendCsv(const Match& match, const ColumnList& columns,
                                   std::string& line) {
  const size_t start = line.size();
  line.resize(start + line_room_);
  Cursor cursor{&line, line.data() + start};
  char* out = cursor.out;
  const BufferView& view = *match.view;
  const char* const commas = commas_.data();
  size_t separators = 0;  // the commas written: field k follows the k-th
  auto open_field = [&](size_t col) __attribute__((always_inline)) {
    out = CopyPadded({commas, col - separators}, out);
    separators = col;
  };
  for (const Source& source : sources_) {
    const size_t col = source.col;
    switch (source.op) {
      case Op::kText: {
        const int64_t size = std::min(columns[source.column].seg, kMaxTextBytes);
        if (size <= 0) continue;
        const uint8_t* bytes = BlockSpan(view, starts_[source.column], size);
        if (bytes == nullptr) break;
        open_field(col);
        char* end = out + size;
        if ((CopyTextBlocks<byte_scan::CsvNotPlain>(bytes, static_cast<size_t>(size), out) ||
             *out == ' ' || end[-1] == ' ') &&
            !CsvStandsAsIs({out, static_cast<size_t>(size)})) {
          cursor.out = out;
          out = FinishField(out, end, cursor);
          continue;
        }
        out = end;
        continue;
      }
      case Op::kInteger: {
        int64_t number;
        if (!ReadIntegerValue(view, starts_[source.column], columns[source.column], number)) break;
        open_field(col);
        out = std::to_chars(out, out + kMaxIntegerText, number).ptr;
        continue;
      }
      case Op::kPrefixInteger: {
        const std::string_view cell = prefix_cells_[source.prefix_cell];
        if (!IsDecimalInteger(cell)) break;
        open_field(col);
        out = CopyBytes(cell, out);
        continue;
      }
      case Op::kGeneric:
        break;
    }
    open_field(col);
    char* end = Render(source, match, columns, out);
    cursor.out = out;
    out = FinishField(out, end, cursor);
  }
  // Label fields start at the comma before the first.
  const size_t labels_at = static_cast<size_t>(out - line.data()) - start +
                           (first_label_ - 1 - separators);
  out = CopyPadded({commas, columns_ - 1 - separators}, out);
  std::memcpy(out, "\r\n", 2);
  line.resize(static_cast<size_t>(out + 2 - line.data()));
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
  line_room_ = defaults_.size() + kRoomSlack;
  for (size_t k = 0; k < count; ++k) line_room_ += labels[k].size() + 2;
  labelled_.resize(labels_at + line_room_);
  Cursor cursor{&labelled_, labelled_.data() + labels_at};
  char* out = cursor.out;
  const char* const defaults = defaults_.data();
  const char* run = defaults + default_at_[first_label_];
  for (size_t k = 0; k < count; ++k) {
    const size_t col = first_label_ + k;
    out = CopyPadded({run, static_cast<size_t>(defaults + key_end_[col] - run)}, out);
    char* value = report_.kind(col) == Kind::kInteger ? out : out + 1;
    char* end = CopyBytes(labels[k], value);
    cursor.out = out;
    out = FinishMember(col, value, end, cursor, run);
  }
  out = CopyPadded({run, static_cast<size_t>(defaults + default_at_[columns_] - run)}, out);
  labelled_.resize(static_cast<size_t>(out - labelled_.data()));
  // The line's end: "}\n", or its "_raw" object first; the labels' "_raw"
  // members go after the row's.
  const std::string_view end =
      line.substr(labels_at + default_at_[columns_] - default_at_[first_label_]);
  const std::string_view raw = jsonl_.raw();
  if (raw.empty()) {
    labelled_ += end;
  } else if (end.size() == 2) {
    const size_t at = labelled_.size();
    labelled_.resize(at + jsonl_.EndRoom());
    labelled_.resize(static_cast<size_t>(jsonl_.WriteEnd(labelled_.data() + at) - labelled_.data()));
  } else {
    labelled_ += end.substr(0, end.size() - 3);  // without "}}\n"
    labelled_ += ',';
    labelled_ += raw.substr(1);
    labelled_ += "}}\n";
  }
  return labelled_;
}

}  // namespace quarrow
