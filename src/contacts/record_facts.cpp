#include "contacts/record_facts.h"

namespace quarrow {

bool KeptAsDeletedData(MatchStatus& status, int64_t position, const PageStatus& where,
                       RecordState state, const RecordFacts& facts, std::string_view rowid,
                       std::string_view payload_size) {
  if (!KeptAsDeleted(state)) return false;
  if (state == RecordState::kDeleted) return true;
  return !facts.equals_live &&
         !status.IsLiveData(position, where, rowid, payload_size, facts.record_size);
}

}  // namespace quarrow
