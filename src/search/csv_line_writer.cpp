#include "search/csv_line_writer.h"

#include <algorithm>

#include "engine/values.h"
#include "report/csv_writer.h"

namespace quarrow {

CsvLineWriter::CsvLineWriter(const ColumnList& columns)
    : starts_(columns.size()), quoted_(columns.size()) {
  fixed_room_ = columns.size() + 2;
  for (size_t k = 0; k < columns.size(); ++k) {
    const TERM& column = columns[k];
    // Integers, "BLOB" and "null" never need quotes: digits, signs, a
    // double's point and exponent, letters.
    quoted_[k] = !column.off && (column.tp == kText || column.tp == kAny);
    if (!quoted_[k]) fixed_room_ += column.off ? 4 : RenderedSizeBound(column);
  }
}

void CsvLineWriter::Append(const Match& match, const ColumnList& columns, std::string& line) {
  const BufferView& view = *match.view;
  const TERM* const column = columns.data();
  const size_t width = columns.size();
  FieldStarts(view, match.body_start, columns, width, starts_.data());
  size_t room = match.prefix.size() + 3 + fixed_room_;
  for (size_t k = 0; k < width; ++k) {
    if (quoted_[k]) room += CsvLine::RoomFor(RenderedSizeBound(column[k]));
  }
  char* const begin = line_.Room(room);
  char* out = begin;
  // The prefix's three numbers, each followed by a TAB there (a missing one
  // is empty): digits alone, written as they are.
  std::string_view prefix = match.prefix;
  for (int k = 0; k < 3; ++k) {
    if (k > 0) *out++ = ',';
    const size_t tab = std::min(prefix.find('\t'), prefix.size());
    out = std::copy_n(prefix.data(), tab, out);
    prefix.remove_prefix(tab == prefix.size() ? tab : tab + 1);
  }
  for (size_t k = 0; k < width; ++k) {
    if (quoted_[k]) {
      char* const text = text_.Room(RenderedSizeBound(column[k]));
      const char* const end = WriteColumnValue(view, starts_[k], column[k], text);
      out = CsvLine::WriteField(std::string_view(text, static_cast<size_t>(end - text)), out);
      continue;
    }
    *out++ = ',';
    out = column[k].off ? std::copy_n("null", 4, out)
                        : WriteColumnValue(view, starts_[k], column[k], out);
  }
  *out++ = '\r';
  *out++ = '\n';
  line.append(begin, out);
}

}  // namespace quarrow
