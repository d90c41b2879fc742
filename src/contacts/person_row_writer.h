// A person row written straight from a match's bytes: the match's cell prefix
// (payload length, rowid and header length, each followed by a TAB), then the
// report's person cells joined by TABs: a column's value as AppendColumnValue
// renders it, "null" for a suppressed column, or nothing for a column the
// input's table lacks. Which column fills which cell, and what each cell may
// cost, is worked out once per column list instead of once per row: a person
// pass writes millions of rows per GiB. One per scan worker (it keeps
// scratch); copyable.
#ifndef QUARROW_CONTACTS_PERSON_ROW_WRITER_H_
#define QUARROW_CONTACTS_PERSON_ROW_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/columns.h"
#include "engine/scan.h"

namespace quarrow {

class PersonRowWriter {
 public:
  // `person_cells` as ContactsSchema holds them; `columns` the person list
  // the matches will fit (only its kinds are read).
  PersonRowWriter(const std::vector<int>& person_cells, const ColumnList& columns);

  // Appends the row of `match` to `row`; `columns` are the list as matched
  // (their seg and serial), the one the writer was made for.
  void Append(const Match& match, const ColumnList& columns, std::string& row);

 private:
  static constexpr int32_t kNull = -1, kEmpty = -2;
  std::vector<int32_t> cells_;          // a column index, kNull or kEmpty
  std::vector<int32_t> sized_columns_;  // shown columns whose room depends on the match
  size_t fixed_room_ = 0;               // TABs, "null"s, integers' and blobs' room
  size_t columns_needed_ = 0;           // one past the last column shown
  std::vector<int64_t> starts_;         // scratch: each field's start
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_PERSON_ROW_WRITER_H_
