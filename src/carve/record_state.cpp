#include "carve/record_state.h"

namespace quarrow {

std::string_view RecordStateText(RecordState state) {
  switch (state) {
    case RecordState::kLive: return "live";
    case RecordState::kPrior: return "prior";
    case RecordState::kDeleted: return "deleted";
    case RecordState::kUnknown: return "unknown";
  }
  return "unknown";
}

std::string_view RecoveryText(Recovery recovery) {
  switch (recovery) {
    case Recovery::kIntact: return "intact";
    case Recovery::kRebuilt: return "rebuilt";
    case Recovery::kPartial: return "partial";
  }
  return "partial";
}

}  // namespace quarrow
