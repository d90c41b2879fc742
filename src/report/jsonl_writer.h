// The jsonl report: one JSON object per record, on one line ended by LF.
// Keys are the column names in column order, after the meta fields the caller
// puts first (the record's "offset" in the input, later its "status"). An
// integer column's decimal integers are JSON numbers; other fields are
// strings, with invalid UTF-8 replaced by U+FFFD; a field with no value is
// null. When a field's bytes were replaced, the object ends with "_raw": an
// object from those fields' keys to their original bytes in lowercase hex.
//
// Written by hand, not with a JSON library: a report writes the same keys on
// every line (made once here, copied whole), its texts must become valid
// UTF-8 with their raw bytes kept (a library refuses or passes invalid UTF-8),
// and most fields are empty or null. On the contacts rows of a sample address
// book, Debian's RapidJSON Writer took about 1.8 times as long as this writer
// for the same lines, with the cells handed to it already split and without
// any UTF-8 check at all.
#ifndef QUARROW_REPORT_JSONL_WRITER_H_
#define QUARROW_REPORT_JSONL_WRITER_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report/byte_scan.h"
#include "engine/line_buffer.h"
#include "report/report_fields.h"

namespace quarrow {

// Appends `bytes` as a JSON string (quotes included): escapes for quote,
// backslash and bytes below 0x20; U+FFFD for invalid UTF-8. Returns false iff
// something was replaced.
bool AppendJsonString(std::string_view bytes, std::string& out);

// A report's columns with the JSON text of their members made once: records
// are written by the million, and their keys are the same every time.
class JsonlColumns {
 public:
  explicit JsonlColumns(std::vector<ReportColumn> report_columns);
  const std::vector<ReportColumn>& columns() const { return columns_; }
  size_t size() const { return columns_.size(); }
  // Column `index`'s member up to its value: ',' then the name as a JSON
  // string, then ':'. Like the two below, it is followed in memory by at
  // least LineBuffer::kSlack readable bytes, for CopyPadded.
  std::string_view key(size_t index) const {
    return {text_.data() + members_[index].empty_at, members_[index].key_size};
  }
  // The whole member when its value is null, or an empty text.
  std::string_view null_member(size_t index) const {
    return {text_.data() + members_[index].null_at, members_[index].key_size + 4};
  }
  std::string_view empty_member(size_t index) const {
    return {text_.data() + members_[index].empty_at, members_[index].key_size + 2};
  }
  // The most bytes column `index`'s member takes with a value of
  // `value_size` bytes (6 for an escaped byte, quotes around).
  size_t RoomFor(size_t index, size_t value_size) const {
    return members_[index].key_size + 4 + 6 * value_size;
  }
  // The same for all the columns, with `value_size` bytes of values in all.
  size_t RoomForAll(size_t value_size) const { return keys_size_ + 4 * size() + 6 * value_size; }

 private:
  struct Member {
    size_t null_at = 0, empty_at = 0;  // where its texts start in text_
    size_t key_size = 0;
  };
  std::vector<ReportColumn> columns_;
  std::string text_;  // every member's texts, one after the other, then slack
  std::vector<Member> members_;
  size_t keys_size_ = 0;  // of all the keys
};

// Builds one object at a time in a buffer it keeps, so that a record costs no
// allocation: Begin, the members in order, then Finish. Not thread-safe; one
// per thread.
class JsonlLine {
 public:
  void Begin();
  // Members keyed by a plain name (ASCII that needs no escape): the meta
  // fields.
  void Integer(std::string_view name, int64_t value);
  void Text(std::string_view name, std::string_view bytes);
  // Column `index` of `layout` with no value, with a text, or with `text` as a
  // number when it is a decimal integer (a text otherwise).
  void Null(const JsonlColumns& layout, size_t index) {
    Commit(WriteNull(layout, index, MakeRoom(layout.RoomFor(index, 0))));
  }
  void Text(const JsonlColumns& layout, size_t index, std::string_view bytes) {
    Commit(WriteText(layout, index, bytes, MakeRoom(layout.RoomFor(index, bytes.size()))));
  }
  void Integer(const JsonlColumns& layout, size_t index, std::string_view text);
  // Column `index` of `layout` from a record's field, as the header comment says.
  void Field(const JsonlColumns& layout, size_t index, const ReportField& field);

  // The same members for loops that write many: MakeRoom once for all of them
  // (JsonlColumns::RoomFor each), then each member is written at `out` and
  // returns its end, and Commit takes the last end. No check per member.
  char* MakeRoom(size_t bytes) { return line_.Room(bytes); }
  void Commit(const char* end) { line_.SetEnd(end); }
  static char* WriteNull(const JsonlColumns& layout, size_t index, char* out) {
    return CopyPadded(layout.null_member(index), out);
  }
  // `bytes` holds no byte that JsonPlainEnd stops at.
  static char* WritePlainText(const JsonlColumns& layout, size_t index, std::string_view bytes,
                              char* out) {
    if (bytes.empty()) return CopyPadded(layout.empty_member(index), out);
    out = CopyPadded(layout.key(index), out);
    *out++ = '"';
    out = CopyBytes(bytes, out);
    *out++ = '"';
    return out;
  }
  // `digits` is a decimal integer (IsDecimalInteger).
  static char* WriteNumber(const JsonlColumns& layout, size_t index, std::string_view digits,
                           char* out) {
    return CopyBytes(digits, CopyPadded(layout.key(index), out));
  }
  // The same two for `bytes` followed by LineBuffer::kSlack readable bytes:
  // copied in whole blocks.
  static char* WritePaddedPlainText(const JsonlColumns& layout, size_t index,
                                    std::string_view bytes, char* out) {
    out = CopyPadded(layout.key(index), out);
    *out++ = '"';
    out = CopyPadded(bytes, out);
    *out++ = '"';
    return out;
  }
  static char* WritePaddedNumber(const JsonlColumns& layout, size_t index,
                                 std::string_view digits, char* out) {
    return CopyPadded(digits, CopyPadded(layout.key(index), out));
  }
  // Any text: escaped, and replaced where it is not UTF-8 (kept for "_raw").
  char* WriteText(const JsonlColumns& layout, size_t index, std::string_view bytes, char* out) {
    if (JsonPlainEnd(bytes, 0) == bytes.size()) return WritePlainText(layout, index, bytes, out);
    return WriteEscapedText(layout.key(index), bytes, out);
  }
  // The same but for the key, which the caller wrote: only the JSON string,
  // for `bytes` followed by LineBuffer::kSlack readable bytes.
  char* WritePaddedTextValue(const JsonlColumns& layout, size_t index, std::string_view bytes,
                             char* out);

  // Adds "_raw" when needed and closes the object and the line. The line is
  // valid until the next Begin.
  std::string_view Finish();

  // For writers that put the line elsewhere (PersonLineWriter), with Begin
  // and WritePaddedTextValue: what Finish adds, written at `out` (which has
  // room for EndRoom() bytes); returns its end. raw(): the "_raw" object so
  // far without its closing brace, "" when nothing was replaced.
  size_t EndRoom() const { return raw_.size() + 16; }
  char* WriteEnd(char* out) const;
  std::string_view raw() const { return raw_; }

 private:
  // `key` is ',' then the JSON key and ':'; `out` has room for it and
  // 6 bytes per byte of `bytes`, quotes around.
  char* WriteEscapedText(std::string_view key, std::string_view bytes, char* out);
  // Adds the member of `key` (as above) with `bytes` in hex to "_raw".
  void AddRaw(std::string_view key, std::string_view bytes);

  LineBuffer line_;
  std::string raw_;  // the "_raw" object's members so far
};

// A whole record: the offset first, then `fields` under `layout`'s names.
void AppendJsonlRecord(const JsonlColumns& layout, std::span<const ReportField> fields,
                       int64_t offset, std::string& out);

}  // namespace quarrow

#endif  // QUARROW_REPORT_JSONL_WRITER_H_
