// A find report's tab-separated line written straight from a match's bytes:
// the cell prefix, each column's value ("null" for a suppressed one), each
// followed by a TAB, then CR LF. The values are rendered in place into the
// line, sized once for its longest rendering, instead of into the columns'
// values and copied from there: with short records that copy is most of a
// line's cost. Byte for byte the line the rendered values would give.
// One writer per scan worker (it keeps scratch); not thread-safe.
#ifndef QUARROW_ENGINE_TSV_LINE_H_
#define QUARROW_ENGINE_TSV_LINE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/columns.h"
#include "engine/line_buffer.h"
#include "engine/scan.h"

namespace quarrow {

class TsvLineWriter {
 public:
  // A writer for matches of `columns` (their kinds and which are suppressed).
  explicit TsvLineWriter(const ColumnList& columns);
  // A copy (each scan worker's formatter is one) has scratch of its own.
  TsvLineWriter(const TsvLineWriter& other)
      : starts_(other.starts_), sized_(other.sized_), fixed_room_(other.fixed_room_) {}
  TsvLineWriter& operator=(const TsvLineWriter&) = delete;

  // Appends the line of `match` to `line`. Needs the match's view and body
  // start (Match::view set) and the columns' seg and serial as the header
  // test left them, for the list given at construction; the columns' values
  // are not read.
  void Append(const Match& match, const ColumnList& columns, std::string& line);
  // The same line with `offset` in decimal and a TAB in place of its CR LF,
  // then `tail`: the head of a line whose last fields (a details line's
  // status) and end the caller adds later, or gives as `tail` (followed by
  // LineBuffer::kSlack readable bytes: it is copied in whole blocks).
  void AppendHead(const Match& match, const ColumnList& columns, int64_t offset,
                  std::string& line, std::string_view tail = {});

 private:
  // Writes the prefix and the fields with their TABs into the scratch, with
  // `tail` bytes of room after them; returns where they end.
  char* WriteFields(const Match& match, const ColumnList& columns, size_t tail);

  std::vector<int64_t> starts_;      // where each column's field starts
  std::vector<size_t> sized_;        // the columns whose room depends on the match
  size_t fixed_room_ = 0;            // the room of the others and the TABs
  LineBuffer scratch_;               // the line, filled without zeroing it first
  NearbyDecimals offsets_;           // a page's offsets share their high digits
};

}  // namespace quarrow

#endif  // QUARROW_ENGINE_TSV_LINE_H_
