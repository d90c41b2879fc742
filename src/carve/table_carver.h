// The carver of a known table: every record of the input that fits the
// table's definition (record_fit.h), whole cells found at every byte position
// and freed cells rebuilt in the free regions of every page image
// (freed_cell.h, page_images.h), with their overflow chains read from the
// input's database (database_image.h). Records are delivered in offset order.
//
// Which table a record belongs to: a record in a page that a live table's
// b-tree holds (in the database, or as its WAL frame or journal image) is that
// table's, and is not reported under another. Elsewhere it is reported under
// the table asked for, unless another table of the catalog fits it too and
// more of that table's live records share its shape.
//
// Cost: one pass over the input (on `threads` workers, in bounded chunks), plus
// one read of each page image with free space. Memory: the live rows' index and
// the rebuilt cells of the input; chunks in flight are bounded.
// Hostile structure never crashes or hangs: chains carry visited sets, every
// length is checked against its page. Not thread-safe; one carve at a time.
#ifndef QUARROW_CARVE_TABLE_CARVER_H_
#define QUARROW_CARVE_TABLE_CARVER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "carve/database_image.h"
#include "carve/live_rows.h"
#include "carve/record_fit.h"
#include "carve/record_state.h"
#include "engine/buffer.h"
#include "engine/ports.h"

namespace quarrow {

// One recovered record.
struct CarvedRecord {
  int64_t offset = 0;                // the header-length byte in the input
  std::optional<int64_t> rowid;      // nothing when destroyed
  uint64_t payload_size = 0;
  uint64_t header_size = 0;
  std::vector<uint64_t> types;       // one per stored column
  // Per stored column: 1 when its value was lost, 2 when a text or blob was
  // cut short (its first bytes kept).
  std::vector<uint8_t> lost;
  std::string record;                // header and body as recovered (lost bytes zero)
  Recovery recovery = Recovery::kIntact;
  // What the carve's preparer made of the record on a worker (see
  // TableCarver::Carve); as the carver leaves them when there is none.
  bool wanted = true;
  RecordState state = RecordState::kUnknown;
  std::string text;
};

// Work on one record that needs no other (its state, its report line), done
// on the scan's workers so that the sink, which gets records in offset order
// on one thread, is left with little. Made once per chunk of the input, so
// that it may keep scratch space; it must only read what it shares.
using RecordPreparer = std::function<void(CarvedRecord&)>;
using PreparerFactory = std::function<RecordPreparer()>;

// A table to carve: its rule, and what the catalog knows of its b-tree.
struct CarveTarget {
  FitTable table;
  uint32_t root_page = 0;  // 0: not known
  bool live = false;       // a table of the database as it stands
  // Non-empty: every record of the table wanted holds these bytes within
  // kMarkerReach bytes after its header (the schema table's rows of tables
  // begin their body with "table"), so only places near them are searched.
  std::string marker;
};

constexpr int64_t kMarkerReach = 64;

class TableCarver {
 public:
  // Prepares to carve `input_path`: its page images, its database (for
  // overflow chains and which table owns which page) and the live rows.
  // `others` are the catalog's other tables, for the ownership test. Throws
  // Error when the input cannot be opened.
  TableCarver(const std::string& input_path, int threads);
  // The same over bytes already open: `input`, whose database is `image`
  // (tests and fuzzing).
  TableCarver(std::shared_ptr<const ByteSource> input, std::unique_ptr<DatabaseImage> image,
              int threads);
  ~TableCarver();
  TableCarver(const TableCarver&) = delete;
  TableCarver& operator=(const TableCarver&) = delete;

  const DatabaseImage& image() const { return *image_; }
  const LiveRows& live_rows() const { return live_; }
  const ByteSource& input() const { return *input_; }

  // Carves `target`, calling `sink` once per record in offset order (one call
  // at a time, from whichever thread has the records in line); `others`
  // are the rest of the catalog. Only records at offsets [first, end) are
  // wanted: the input is read from a page before `first` to `end` (the sink
  // may get a few records outside; it keeps what it wants). `prepare`, when
  // given, makes the preparer that each record goes through on a worker
  // before the sink gets it. Returns false when `progress` cancelled.
  bool Carve(const CarveTarget& target, const std::vector<CarveTarget>& others,
             const std::function<void(const CarvedRecord&)>& sink,
             ProgressSink* progress = nullptr, int64_t first = 0,
             int64_t end = INT64_MAX, const PreparerFactory& prepare = nullptr);

 private:
  class Run;
  std::shared_ptr<const ByteSource> input_;
  std::unique_ptr<DatabaseImage> image_;
  LiveRows live_;
  int threads_ = 1;
  // Page number -> root page of the live b-tree holding it.
  std::map<uint32_t, uint32_t> page_owner_;
  std::set<uint32_t> free_trunks_;
  std::set<uint32_t> live_overflow_;  // pages of live cells' overflow chains
};

}  // namespace quarrow

#endif  // QUARROW_CARVE_TABLE_CARVER_H_
