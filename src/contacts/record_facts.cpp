#include "contacts/record_facts.h"

#include <cstring>

namespace quarrow {

RecordFacts FindRecordFacts(const RecordStates& states, std::string_view table,
                            const Match& match, int64_t offset, const RecordSizes& sizes) {
  RecordFacts facts;
  facts.record_size = sizes.record_size;
  const RecordStates::Judged judged =
      states.Judge(table, *match.view, match.position, offset, sizes);
  facts.state = static_cast<uint8_t>(judged.state);
  facts.equals_live = judged.equals_live ? 1 : 0;
  return facts;
}

void AppendRecordFacts(const RecordFacts& facts, std::string& out) {
  out.append(reinterpret_cast<const char*>(&facts), sizeof facts);
}

RecordFacts TakeRecordFacts(std::string_view& formatted) {
  RecordFacts facts;
  std::memcpy(&facts, formatted.data() + formatted.size() - sizeof facts, sizeof facts);
  formatted.remove_suffix(sizeof facts);
  return facts;
}

RecordState StateAt(const PageStatus& where, const RecordFacts& facts) {
  if (where.status == Status::kLive) return RecordState::kLive;
  return static_cast<RecordState>(facts.state);
}

bool KeptAsDeletedData(MatchStatus& status, int64_t position, const PageStatus& where,
                       RecordState state, const RecordFacts& facts, std::string_view rowid,
                       std::string_view payload_size) {
  if (!KeptAsDeleted(state)) return false;
  if (state == RecordState::kDeleted) return true;
  return !facts.equals_live &&
         !status.IsLiveData(position, where, rowid, payload_size, facts.record_size);
}

}  // namespace quarrow
