// What a recovered record is, beside where it lies (pagemap/page_status.h):
// its STATE, told from the live rows of its table (live_rows.h), and how it
// was recovered. Plain values; thread-safe.
#ifndef QUARROW_CARVE_RECORD_STATE_H_
#define QUARROW_CARVE_RECORD_STATE_H_

#include <string_view>

namespace quarrow {

enum class RecordState {
  kLive,     // a live row of the database as it stands (its WAL applied), or its exact image
  kPrior,    // its rowid is live in its table, but its bytes differ: an older version
  kDeleted,  // its rowid is not live in its table
  kUnknown,  // its rowid was destroyed, or no live table to compare with
};

enum class Recovery {
  kIntact,   // the whole cell as SQLite wrote it
  kRebuilt,  // leading bytes a freeblock header overwrote were inferred
  kPartial,  // some values were lost (shown empty)
};

// "live", "prior", "deleted", "unknown".
std::string_view RecordStateText(RecordState state);
// "intact", "rebuilt", "partial".
std::string_view RecoveryText(Recovery recovery);

// What `--deleted-only` keeps: deleted and unknown records. (An unknown record
// that equals a live row is dropped by the caller, which knows the bytes.)
inline bool KeptAsDeleted(RecordState state) {
  return state == RecordState::kDeleted || state == RecordState::kUnknown;
}

}  // namespace quarrow

#endif  // QUARROW_CARVE_RECORD_STATE_H_
