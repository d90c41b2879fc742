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
#include <cstring>
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
  uint8_t state = static_cast<uint8_t>(RecordState::kUnknown);
  // For deleted data only, of an unknown record: its values are a live row's,
  // and its size as its serial types give it (for the page map's copy tests).
  uint8_t equals_live = 0;
  uint64_t record_size = 0;
};

// On a worker: the facts of the record of `table` matched at `match` (its
// input offset `offset`); `sizes()` gives what its serial types say of its
// sizes, asked for only when the copy tests need them.
template <typename Sizes>
RecordFacts FindRecordFacts(const RecordStates& states, std::string_view table,
                            const Match& match, int64_t offset, Sizes&& sizes) {
  RecordFacts facts;
  const RecordState state = states.StateOf(table, *match.view, match.position, offset);
  facts.state = static_cast<uint8_t>(state);
  if (state == RecordState::kUnknown && states.judges_copies()) {
    const RecordSizes record = sizes();
    facts.record_size = record.record_size;
    facts.equals_live = states.EqualsLive(table, *match.view, match.position, offset, record);
  }
  return facts;
}

inline void AppendRecordFacts(const RecordFacts& facts, std::string& out);

// A pass's formatter on the workers when its records may be of a grown table
// or are judged: each match is read as its own header says (when `shaper`
// shapes), its row made by `row` (which returns false to drop it), then, when
// `judged`, its facts appended. Both passes use it, so that they shape and
// judge alike.
template <typename Row>
MatchFormatter ShapedJudgedFormatter(Row row, std::string_view table, const RecordShaper& shaper,
                                     const RecordStates& states, bool judged,
                                     int64_t start_offset) {
  return [row, table, &shaper, &states, judged, start_offset, shaped = ColumnList()](
             const Match& match, const ColumnList& found, std::string& out) mutable {
    Match record_match = match;
    const ColumnList* record = &found;
    ShapedRecord shape;
    if (shaper.shapes()) {
      if (!shaper.Shape(match, found, shaped, shape)) return false;
      record_match.body_start = shape.body_start;
      record = &shaped;
    }
    if (!row(record_match, *record, out)) return false;
    if (judged) {
      auto sizes = [&] { return shaper.shapes() ? shape.sizes : SizesOf(found); };
      AppendRecordFacts(FindRecordFacts(states, table, match, start_offset + match.position, sizes),
                        out);
    }
    return true;
  };
}

// Appends `facts` to `out`; TakeRecordFacts reads them back from the end of
// `formatted` and drops them from it.
inline void AppendRecordFacts(const RecordFacts& facts, std::string& out) {
  out.append(reinterpret_cast<const char*>(&facts), sizeof facts);
}
inline RecordFacts TakeRecordFacts(std::string_view& formatted) {
  RecordFacts facts;
  std::memcpy(&facts, formatted.data() + formatted.size() - sizeof facts, sizeof facts);
  formatted.remove_suffix(sizeof facts);
  return facts;
}

// In the handler: the record's STATE where it lies: live in a live cell of the
// database as it stands (whatever the live rows say), else as the facts say.
inline RecordState StateAt(const PageStatus& where, const RecordFacts& facts) {
  if (where.status == Status::kLive) return RecordState::kLive;
  return static_cast<RecordState>(facts.state);
}

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
