// What contacts recovery knows of one record for the details and deleted-only
// reports, in two halves: the facts a scan worker finds beside the record's
// row (its size, its state from the live rows), carried to the handler in the
// formatted bytes; and the verdict the handler adds from the page map, which
// only it may ask: the record's STATE, and whether `--deleted-only` keeps it.
// Plain values and functions; the handler's half is not thread-safe (the page
// map's answers come in position order).
#ifndef QUARROW_CONTACTS_RECORD_FACTS_H_
#define QUARROW_CONTACTS_RECORD_FACTS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "carve/record_state.h"
#include "contacts/record_shape.h"
#include "contacts/record_states.h"
#include "engine/scan.h"
#include "pagemap/match_status.h"
#include "pagemap/page_status.h"

namespace quarrow {

// The table names the two passes judge records against.
inline constexpr std::string_view kPersonTable = "ABPerson";
inline constexpr std::string_view kMultiValueTable = "ABMultiValue";

struct RecordFacts {
  uint64_t record_size = 0;  // as its serial types give it (for the copy tests)
  uint8_t state = static_cast<uint8_t>(RecordState::kUnknown);
  uint8_t equals_live = 0;   // an unknown record whose values are a live row's
};

// On a worker: the facts of the record of `table` matched at `match` (its
// input offset `offset`), whose serial types give `sizes`.
RecordFacts FindRecordFacts(const RecordStates& states, std::string_view table,
                            const Match& match, int64_t offset, const RecordSizes& sizes);

// Appends `facts` to `out`; TakeRecordFacts reads them back from the end of
// `formatted` and drops them from it.
void AppendRecordFacts(const RecordFacts& facts, std::string& out);
RecordFacts TakeRecordFacts(std::string_view& formatted);

// In the handler: the record's STATE where it lies: live in a live cell of the
// database as it stands (whatever the live rows say), else as the facts say.
RecordState StateAt(const PageStatus& where, const RecordFacts& facts);

// True iff `--deleted-only` keeps the record matched at buffer position
// `position` (its status `where`, its state `state`): a deleted record always;
// an unknown one unless it equals a live row on every byte that survives
// (the live rows' body test, or the page map's copy tests: `rowid` and
// `payload_size` are its cell prefix's texts, empty when it has none).
bool KeptAsDeletedData(MatchStatus& status, int64_t position, const PageStatus& where,
                       RecordState state, const RecordFacts& facts, std::string_view rowid,
                       std::string_view payload_size);

// Where the first value of a record id lay, and what it was: the row of a
// person found only by its values reports these.
struct ValueOrigin {
  PageStatus where;
  RecordState state = RecordState::kUnknown;
  bool kept_as_deleted = true;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_RECORD_FACTS_H_
