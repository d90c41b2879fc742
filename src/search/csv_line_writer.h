// A find report's csv record written straight from a match's bytes: the
// three numbers of the cell prefix, then each column's value ("null" for a
// suppressed one), as report/csv_writer.h quotes them, ended by CR LF. As
// with the tsv line, the values are rendered in place instead of into the
// columns' values first; only texts, which may need quotes, go through a
// scratch copy. Byte for byte the record the rendered values would give.
// One writer per scan worker (it keeps scratch); not thread-safe.
#ifndef QUARROW_SEARCH_CSV_LINE_WRITER_H_
#define QUARROW_SEARCH_CSV_LINE_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/columns.h"
#include "engine/line_buffer.h"
#include "engine/scan.h"

namespace quarrow {

class CsvLineWriter {
 public:
  // A writer for matches of `columns` (their kinds and which are suppressed).
  explicit CsvLineWriter(const ColumnList& columns);
  // A copy (each scan worker's formatter is one) has scratch of its own.
  CsvLineWriter(const CsvLineWriter& other)
      : starts_(other.starts_), quoted_(other.quoted_), fixed_room_(other.fixed_room_) {}
  CsvLineWriter& operator=(const CsvLineWriter&) = delete;

  // Appends the record of `match` to `line`. Needs what TsvLineWriter::Append
  // needs: the match's view and body start and the columns' seg and serial.
  void Append(const Match& match, const ColumnList& columns, std::string& line);

 private:
  std::vector<int64_t> starts_;  // where each column's field starts
  std::vector<uint8_t> quoted_;  // by column: its value may need quotes (a text)
  size_t fixed_room_ = 0;        // the room of the plain values, commas and CR LF
  LineBuffer line_;              // the record, filled without zeroing it first
  LineBuffer text_;              // a text value before it is quoted
};

}  // namespace quarrow

#endif  // QUARROW_SEARCH_CSV_LINE_WRITER_H_
