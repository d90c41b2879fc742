// The values of a carved record, decoded by serial type as SQLite stores them.
// Pure functions; views point into the record's bytes.
#ifndef QUARROW_CARVE_RECORD_VALUES_H_
#define QUARROW_CARVE_RECORD_VALUES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "carve/table_carver.h"

namespace quarrow {

struct RecordValue {
  enum class Kind { kNull, kInteger, kReal, kText, kBlob, kLost };
  Kind kind = Kind::kNull;
  int64_t integer = 0;
  double real = 0;
  std::string_view bytes;  // text or blob
};

// One value per column of `table`: stored values by their serial types, the
// rowid for the rowid column (lost when the rowid was destroyed), a column
// the record is too old to hold as its DEFAULT (or NULL), lost values as lost.
std::vector<RecordValue> DecodeRecord(const CarvedRecord& record, const FitTable& table,
                                      std::vector<std::string>& scratch);
// The same into `values` (resized, its storage reused): for reports, which
// decode records by the million.
void DecodeRecordInto(const CarvedRecord& record, const FitTable& table,
                      std::vector<RecordValue>& values);

}  // namespace quarrow

#endif  // QUARROW_CARVE_RECORD_VALUES_H_
