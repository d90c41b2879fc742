#include "engine/tsv_line.h"

#include <algorithm>

#include "engine/values.h"

namespace quarrow {

TsvLineWriter::TsvLineWriter(const ColumnList& columns) : starts_(columns.size()) {
  fixed_room_ = columns.size() + 2;
  for (size_t k = 0; k < columns.size(); ++k) {
    const TERM& column = columns[k];
    if (column.off) {
      fixed_room_ += 4;
    } else if (column.tp == kText || column.tp == kAny) {
      sized_.push_back(k);
    } else {
      fixed_room_ += RenderedSizeBound(column);  // whatever the match
    }
  }
}

void TsvLineWriter::Append(const Match& match, const ColumnList& columns, std::string& line) {
  const BufferView& view = *match.view;
  const TERM* const column = columns.data();
  const size_t width = columns.size();
  FieldStarts(view, match.body_start, columns, width, starts_.data());
  size_t room = match.prefix.size() + fixed_room_;
  for (size_t k : sized_) room += RenderedSizeBound(column[k]);
  char* const begin = scratch_.Room(room);
  char* out = CopyBytes(match.prefix, begin);
  for (size_t k = 0; k < width; ++k) {
    out = column[k].off ? std::copy_n("null", 4, out)
                        : WriteColumnValue(view, starts_[k], column[k], out);
    *out++ = '\t';
  }
  *out++ = '\r';
  *out++ = '\n';
  line.append(begin, out);
}

}  // namespace quarrow
