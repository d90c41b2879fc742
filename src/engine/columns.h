// The column list that drives every search: one TERM per DDL line. Built from
// DDL lines by LoadColumns; schema texts become DDL lines through SplitSchema.
// A column list belongs to one command run (or to one scan worker).
#ifndef QUARROW_ENGINE_COLUMNS_H_
#define QUARROW_ENGINE_COLUMNS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow {

// Column kinds, as declared by a DDL line and as given by a serial type.
// kAny fits every serial type: a column declared with no type holds whatever
// was stored in it. Only a DDL line holding the word ANY declares it.
enum ColumnKind : int32_t { kNone = 0, kInteger = 1, kBlob = 2, kText = 3, kAny = 4 };

// The column descriptor.
struct TERM {
  int32_t tp = kNone;     // declared kind
  int64_t seg = 0;        // content size of this column's field in the record examined
  std::string value;      // rendered value of the record last matched
  bool off = false;       // suppressed: the DDL line holds "*"; results print "null"
  std::string name;       // text of the DDL line before its first space
  uint64_t serial = 0;    // serial type found for this column (0 is NULL)
};

using ColumnList = std::vector<TERM>;

// Splits a schema text at its commas into trimmed DDL lines. A comma at the very
// end adds no empty line; two adjacent commas give an empty line.
std::vector<std::string> SplitSchema(std::string_view schema);

// Builds the column list, one column per line, in line order. A line's kind is
// INTEGER, BLOB or TEXT when it holds that text (tested in this order), else
// kAny when a word after the name is ANY, else kNone (fits only NULL).
ColumnList LoadColumns(const std::vector<std::string>& lines);

}  // namespace quarrow

#endif  // QUARROW_ENGINE_COLUMNS_H_
