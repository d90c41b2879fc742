#include "contacts/person_row_writer.h"

#include <algorithm>

#include "contacts/contacts_schema.h"
#include "engine/values.h"

namespace quarrow {

PersonRowWriter::PersonRowWriter(const std::vector<int>& person_cells,
                                 const ColumnList& columns) {
  fixed_room_ = person_cells.empty() ? 0 : person_cells.size() - 1;
  for (int cell : person_cells) {
    if (cell == ContactsSchema::kNullCell) {
      cells_.push_back(kNull);
      fixed_room_ += 4;
    } else if (cell >= 0 && static_cast<size_t>(cell) < columns.size()) {
      cells_.push_back(cell);
      columns_needed_ = std::max(columns_needed_, static_cast<size_t>(cell) + 1);
      const int32_t kind = columns[cell].tp;
      if (kind == kText || kind == kAny) {
        sized_columns_.push_back(cell);
      } else {
        fixed_room_ += RenderedSizeBound(columns[cell]);  // the same for every match
      }
    } else {
      cells_.push_back(kEmpty);
    }
  }
  starts_.resize(columns_needed_);
}

void PersonRowWriter::Append(const Match& match, const ColumnList& columns, std::string& row) {
  const BufferView& view = *match.view;
  const TERM* const column = columns.data();
  FieldStarts(view, match.body_start, columns, columns_needed_, starts_.data());
  // The row is sized once for its longest rendering and filled in place.
  size_t room = match.prefix.size() + fixed_room_;
  for (int32_t k : sized_columns_) room += RenderedSizeBound(column[k]);
  const size_t old_size = row.size();
  row.resize(old_size + room);
  char* out = std::copy(match.prefix.begin(), match.prefix.end(), row.data() + old_size);
  bool first = true;
  for (int32_t cell : cells_) {
    if (!first) *out++ = '\t';
    first = false;
    if (cell >= 0) {
      out = WriteColumnValue(view, starts_[cell], column[cell], out);
    } else if (cell == kNull) {
      out = std::copy_n("null", 4, out);
    }
  }
  row.resize(static_cast<size_t>(out - row.data()));
}

}  // namespace quarrow
