#include "engine/tsv_line.h"

#include <algorithm>

#include "engine/values.h"

namespace quarrow {

TsvLineWriter::TsvLineWriter(const ColumnList& columns) : starts_(columns.size()) {
  fixed_room_ = columns.size();
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

char* TsvLineWriter::WriteFields(const Match& match, const ColumnList& columns, size_t tail) {
  const BufferView& view = *match.view;
  const TERM* const column = columns.data();
  const size_t width = columns.size();
  FieldStarts(view, match.body_start, columns, width, starts_.data());
  size_t room = match.prefix.size() + fixed_room_ + tail;
  for (size_t k : sized_) room += RenderedSizeBound(column[k]);
  char* out = CopyBytes(match.prefix, scratch_.Room(room));
  for (size_t k = 0; k < width; ++k) {
    out = column[k].off ? std::copy_n("null", 4, out)
                        : WriteColumnValue(view, starts_[k], column[k], out);
    *out++ = '\t';
  }
  return out;
}

void TsvLineWriter::Append(const Match& match, const ColumnList& columns, std::string& line) {
  char* out = WriteFields(match, columns, 2);
  *out++ = '\r';
  *out++ = '\n';
  line.append(scratch_.data(), out);
}

void TsvLineWriter::AppendHead(const Match& match, const ColumnList& columns, int64_t offset,
                               std::string& line, std::string_view tail) {
  constexpr size_t kOffsetRoom = 21 + 1;  // a signed decimal and its TAB
  char* out = WriteFields(match, columns, kOffsetRoom + tail.size());
  out = offset >= 0 ? offsets_.Write(static_cast<uint64_t>(offset), out)
                    : WriteSignedDecimal(offset, out);
  *out++ = '\t';
  if (!tail.empty()) out = CopyPadded(tail, out);
  line.append(scratch_.data(), out);
}

}  // namespace quarrow
