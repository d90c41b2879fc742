#include "pagemap/match_status.h"

#include <algorithm>

#include "pagemap/page_map.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

// No page holds more of a record than this; the copy test needs no more.
constexpr uint64_t kMaxLocalPayload = 65536;
// Enough for the header of a record whose size the caller does not know.
constexpr uint64_t kMinHeaderRead = 512;

}  // namespace

bool ParsePrefixNumber(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

MatchStatus::MatchStatus(const std::string& input_path, const Buffer& buffer,
                         const RunOptions& options)
    : buffer_(buffer), start_offset_(buffer.start_offset()) {
  if (!options.details && !options.deleted_only) return;
  PageMapOptions map_options;
  map_options.copy_index = options.deleted_only;
  map_options.embedded = EmbeddedDatabases::kReportedByCaller;
  try {
    map_ = std::make_unique<PageMap>(input_path, map_options);
  } catch (const Error&) {
    // The scan opens the input itself and reports why it cannot.
  }
}

MatchStatus::~MatchStatus() = default;

void MatchStatus::Attach(ScanParams& params) {
  if (!map_) return;
  // Pages the scan holds in memory are read from there, not from the file.
  params.page_window = [this](int64_t position, std::string_view bytes) {
    window_start_ = Offset(position);
    window_ = bytes;
    map_->SetWindow(window_start_, bytes);
  };
  params.database_start = [this](int64_t position) {
    map_->AddDatabaseAt(Offset(position), window_start_, window_);
  };
}

void MatchStatus::MapDatabasesBefore(int64_t end, int threads) {
  if (!map_) return;
  ReportDatabaseStarts(
      buffer_, 0, end, [this](int64_t position) { map_->AddDatabaseAt(Offset(position)); },
      threads);
}

PageStatus MatchStatus::At(int64_t position) {
  return map_ ? map_->StatusAt(Offset(position)) : PageStatus{};
}

bool MatchStatus::IsLiveData(int64_t position, const PageStatus& status,
                             std::string_view rowid, std::string_view payload_size,
                             uint64_t record_size) {
  if (status.status == Status::kLive) return true;
  if (!map_) return false;
  uint64_t id = 0, size = 0;
  if (ParsePrefixNumber(rowid, id) && id <= static_cast<uint64_t>(INT64_MAX)) {
    // The walk back to the payload length may take in bytes of what lies
    // before the cell; the size the serial types give is then the true one.
    for (uint64_t candidate : {ParsePrefixNumber(payload_size, size) ? size : 0, record_size}) {
      if (candidate == 0) continue;
      buffer_.Read(position, static_cast<size_t>(std::min(candidate, kMaxLocalPayload)),
                   payload_);
      if (map_->IsCopyOfLiveCell(static_cast<int64_t>(id), candidate, payload_)) return true;
    }
  }
  // One read serves both tests below: the record from its header length on.
  buffer_.Read(position,
               static_cast<size_t>(std::clamp<uint64_t>(record_size + 1, kMinHeaderRead,
                                                        kMaxLocalPayload + 1)),
               payload_);
  const std::string_view record = payload_;
  // A freed copy has lost its first bytes to a freeblock header, perhaps long
  // before its page was freed or copied into a journal or a WAL frame.
  if (record_size != 0 &&
      map_->IsCopyOfLiveBody(record_size,
                             record.substr(1, std::min(record_size, kMaxLocalPayload))))
    return true;
  // A copy in a page that was reused since has lost its last bytes to the
  // page's new content; only a page the map holds can tell which.
  if (status.status != Status::kFreeblock && status.status != Status::kSuperseded) return false;
  return map_->IsOverwrittenCopyOfLiveCell(Offset(position), record, record_size);
}

uint64_t RecordSizeOf(const ColumnList& columns) {
  uint64_t size = 1;  // a one-byte header length
  for (const TERM& column : columns) {
    uint64_t serial = column.serial;
    do {
      ++size;
      serial >>= 7;
    } while (serial != 0);
    size += static_cast<uint64_t>(column.seg);
  }
  return size;
}

}  // namespace quarrow
