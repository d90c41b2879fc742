#include "search/jsonl_line_writer.h"

#include <algorithm>

#include "engine/header.h"
#include "engine/values.h"

namespace quarrow {

namespace {

constexpr size_t kPrefixNumbers = 3;

}  // namespace

JsonlLineWriter::JsonlLineWriter(const ColumnList& columns, const JsonlColumns& layout)
    : layout_(layout), starts_(columns.size()) {}

void JsonlLineWriter::Append(const Match& match, const ColumnList& columns, int64_t offset,
                             std::string& line) {
  json_.Begin();
  json_.Integer("offset", offset);
  // The prefix's numbers, each followed by a TAB there; a missing one is null.
  std::string_view prefix = match.prefix;
  for (size_t k = 0; k < kPrefixNumbers && k < layout_.size(); ++k) {
    const size_t tab = std::min(prefix.find('\t'), prefix.size());
    const std::string_view number = prefix.substr(0, tab);
    if (number.empty()) {
      json_.Null(layout_, k);
    } else {
      json_.Integer(layout_, k, number);
    }
    prefix.remove_prefix(tab == prefix.size() ? tab : tab + 1);
  }
  const size_t width =
      std::min(columns.size(), layout_.size() - std::min(layout_.size(), kPrefixNumbers));
  FieldStarts(*match.view, match.body_start, columns, width, starts_.data());
  for (size_t k = 0; k < width; ++k)
    AppendColumn(*match.view, columns[k], starts_[k], kPrefixNumbers + k);
  line += json_.Finish();
}

void JsonlLineWriter::AppendColumn(const BufferView& view, const TERM& column,
                                   int64_t field_start, size_t index) {
  if (column.off || column.serial == 0) {
    json_.Null(layout_, index);
    return;
  }
  // A plain integer goes to its member as digits at once: its decimal is
  // always a JSON number.
  int64_t number;
  if (column.tp == kInteger && column.serial != 7 &&
      ReadIntegerValue(view, field_start, column, number)) {
    char* out = json_.MakeRoom(layout_.RoomFor(index, kMaxIntegerText));
    json_.Commit(WriteSignedDecimal(number, CopyPadded(layout_.key(index), out)));
    return;
  }
  char* const text = value_.Room(std::max(RenderedSizeBound(column), kMaxIntegerText));
  const std::string_view value(
      text, static_cast<size_t>(WriteColumnValue(view, field_start, column, text) - text));
  // An integer's rendering is a number when it is a plain decimal (not a
  // double's); whatever else renders is a text.
  if (column.tp == kInteger || SerialTypeKind(column.serial).kind == kInteger) {
    json_.Integer(layout_, index, value);
    return;
  }
  // The value lies in scratch with slack after it: its string is judged and
  // copied in blocks, in one pass.
  char* out = CopyPadded(layout_.key(index), json_.MakeRoom(layout_.RoomFor(index, value.size())));
  json_.Commit(json_.WritePaddedTextValue(layout_, index, value, out));
}

}  // namespace quarrow
