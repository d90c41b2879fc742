#include "engine/columns.h"

#include "text_rule/text_rule.h"

namespace quarrow {

std::vector<std::string> SplitSchema(std::string_view schema) {
  std::vector<std::string> lines;
  std::string rest(schema);
  while (!rest.empty()) {
    std::string piece = CutToken(rest, ",");
    lines.emplace_back(Trim(piece));
  }
  return lines;
}

namespace {

int32_t KindOfLine(std::string_view line) {
  // Plain substring tests, in this order: a line naming both INTEGER and TEXT is
  // an INTEGER column.
  if (line.find("INTEGER") != std::string_view::npos) return kInteger;
  if (line.find("BLOB") != std::string_view::npos) return kBlob;
  if (line.find("TEXT") != std::string_view::npos) return kText;
  // A whole word, so that no line that meant kNone before now means kAny
  // merely because a longer word holds these letters.
  size_t space = line.find(' ');
  while (space != std::string_view::npos) {
    size_t start = space + 1;
    space = line.find(' ', start);
    if (line.substr(start, space - start) == "ANY") return kAny;
  }
  return kNone;
}

}  // namespace

ColumnList LoadColumns(const std::vector<std::string>& lines) {
  ColumnList columns(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    TERM& column = columns[i];
    column.tp = KindOfLine(lines[i]);
    column.off = lines[i].find('*') != std::string::npos;
    std::string line = lines[i];
    column.name = CutToken(line, " ");
  }
  return columns;
}

}  // namespace quarrow
