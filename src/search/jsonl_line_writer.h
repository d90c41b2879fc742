// A find report's jsonl object written straight from a match's bytes: its
// "offset", the cell prefix's three numbers, then each column's value, under
// the report's keys, as report/jsonl_writer.h writes fields (suppressed
// columns and NULL fields null, integers as numbers). The values are rendered
// into one scratch each, not into the columns' values and read back from
// there; plain integers go to the line as digits at once. Byte for byte the
// object the rendered values would give. One writer per scan worker (it
// keeps scratch); not thread-safe.
#ifndef QUARROW_SEARCH_JSONL_LINE_WRITER_H_
#define QUARROW_SEARCH_JSONL_LINE_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/columns.h"
#include "engine/line_buffer.h"
#include "engine/scan.h"
#include "report/jsonl_writer.h"

namespace quarrow {

class JsonlLineWriter {
 public:
  // A writer for matches of `columns`, under `layout`'s keys: the three
  // prefix numbers' and then the columns' (kept by the caller while the
  // writer is used).
  JsonlLineWriter(const ColumnList& columns, const JsonlColumns& layout);
  // A copy (each scan worker's formatter is one) has scratch of its own.
  JsonlLineWriter(const JsonlLineWriter& other)
      : layout_(other.layout_), starts_(other.starts_) {}
  JsonlLineWriter& operator=(const JsonlLineWriter&) = delete;

  // Appends the object of `match`, whose header lies at `offset` in the
  // input, to `line`. Needs what TsvLineWriter::Append needs.
  void Append(const Match& match, const ColumnList& columns, int64_t offset, std::string& line);

 private:
  void AppendColumn(const BufferView& view, const TERM& column, int64_t field_start,
                    size_t index);

  const JsonlColumns& layout_;
  std::vector<int64_t> starts_;  // where each column's field starts
  JsonlLine json_;
  LineBuffer value_;  // a value rendered before it is written as a member
};

}  // namespace quarrow

#endif  // QUARROW_SEARCH_JSONL_LINE_WRITER_H_
