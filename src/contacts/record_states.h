// What the records contacts recovery finds are (carve/record_state.h): live,
// prior, deleted or unknown, told from the live rows of their table in the
// database the input holds or lies beside, with its WAL applied
// (carve/live_rows.h). A record's rowid is taken from its cell only when the
// cell's payload length, in front of it, is the record's own size: SQLite
// overwrites both with a freeblock header when it frees the cell, and a rowid
// read from those bytes is no rowid (the record is then unknown).
//
// Built only when a report asks for states (--details, --deleted-only): the
// live rows cost a read of the database. Records that lie past the database at
// the input's start (in a disk image holding more than it) are unknown; a WAL
// or journal input's records belong to the database beside it.
//
// Immutable once built; const methods are thread-safe (the scan's workers
// call them).
#ifndef QUARROW_CONTACTS_RECORD_STATES_H_
#define QUARROW_CONTACTS_RECORD_STATES_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "carve/database_image.h"
#include "carve/live_rows.h"
#include "carve/record_state.h"
#include "contacts/record_shape.h"
#include "engine/buffer.h"
#include "engine/run_options.h"

namespace quarrow {

class RecordStates {
 public:
  // Judges nothing: every record is unknown.
  RecordStates() = default;
  // The states for the input at `input_path` when `options` asks for details
  // or deleted data only; else the same as the default. Throws Error only when
  // the input cannot be opened.
  static std::unique_ptr<RecordStates> ForInput(const std::string& input_path,
                                                const RunOptions& options);
  RecordStates(const RecordStates&) = delete;
  RecordStates& operator=(const RecordStates&) = delete;

  bool enabled() const { return enabled_; }
  // True iff the report keeps deleted data only: unknown records are then
  // tested for copies of live rows (EqualsLive).
  bool judges_copies() const { return copies_; }

  // The state of the record of `table` whose header-length byte lies at
  // buffer position `position` of `view`, input offset `offset`.
  RecordState StateOf(std::string_view table, const BufferView& view, int64_t position,
                      int64_t offset) const;
  // For an unknown record: true iff its body (its values' bytes, after its
  // header) is a live row's, of the same size. `lost_header_sizes` are what
  // its serial types give, for when its own header length is lost.
  bool EqualsLive(std::string_view table, const BufferView& view, int64_t position,
                  int64_t offset, const RecordSizes& lost_header_sizes) const;

  // The live rows judged against (for tests and measures).
  const LiveRows& live_rows() const { return rows_; }

 private:
  // Appends the record's bytes past `local` (its overflow chain, whose first
  // page number lies at `pointer_at`) to `record`. False when it is not there.
  bool AppendOverflow(const BufferView& view, int64_t pointer_at, uint64_t need,
                      std::string& record) const;

  bool enabled_ = false;
  bool copies_ = false;
  std::unique_ptr<DatabaseImage> image_;
  LiveRows rows_;
  // Input offsets from here on lie past the database the input starts with.
  int64_t database_end_ = INT64_MAX;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_RECORD_STATES_H_
