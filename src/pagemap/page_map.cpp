#include "pagemap/page_map.h"

#include <algorithm>
#include <filesystem>
#include <limits>

#include "pagemap/sqlite_format.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

constexpr int64_t kBoundary = 512;
constexpr size_t kScanChunk = size_t{1} << 20;

// An empty file: the database beside a WAL input when there is none, so that a
// database living in its log alone is still read.
const MemorySource& EmptySource() {
  static const MemorySource empty{std::string()};
  return empty;
}

std::shared_ptr<const ByteSource> OpenCompanion(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return nullptr;
  try {
    return std::make_shared<FileSource>(path);
  } catch (const Error&) {
    return nullptr;  // the map is optional; the scan goes on without it
  }
}

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() > suffix.size() &&
         std::string_view(text).substr(text.size() - suffix.size()) == suffix;
}

PageMapCompanions FindCompanions(const std::string& path) {
  PageMapCompanions companions;
  for (std::string_view suffix : {"-wal", "-journal"}) {
    if (EndsWith(path, suffix)) {
      companions.input_named_journal = suffix == "-journal";
      companions.database = OpenCompanion(path.substr(0, path.size() - suffix.size()));
      return companions;
    }
  }
  companions.wal = OpenCompanion(path + "-wal");
  return companions;
}

int64_t SizeOf(const std::shared_ptr<const ByteSource>& source) {
  return source ? source->size() : 0;
}

}  // namespace

PageMap::PageMap(const std::string& input_path, const PageMapOptions& options)
    : PageMap(std::make_shared<FileSource>(input_path), FindCompanions(input_path),
              options) {}

PageMap::PageMap(std::shared_ptr<const ByteSource> input,
                 const PageMapCompanions& companions, const PageMapOptions& options)
    : input_(std::move(input)), options_(options) {
  // Two page reads and two kind bytes per 512 input bytes cover every honest
  // layout with room to spare.
  const int64_t blocks =
      (input_->size() + SizeOf(companions.wal) + SizeOf(companions.database)) / kBoundary;
  budget_.page_reads = 2 * blocks + 65536;
  budget_.kind_bytes = 2 * blocks + 65536;
  Build(companions);
}

PageMap::~PageMap() = default;

void PageMap::Build(const PageMapCompanions& companions) {
  uint8_t head[32] = {};
  const size_t got = input_->ReadAt(0, sizeof head, reinterpret_cast<char*>(head));
  if (got >= sqlite_format::kDatabaseMagicSize && sqlite_format::IsDatabaseMagic(head)) {
    summary_.input = PageMapSummary::Input::kDatabase;
    MapOwnDatabase(companions.wal.get());
  } else if (got >= 8 && IsWalMagic(head)) {
    summary_.input = PageMapSummary::Input::kWal;
    MapWalInput(companions);
  } else if (got >= 8 && (IsJournalMagic(head) || (companions.input_named_journal &&
                                                     IsBlankJournalMagic(head)))) {
    summary_.input = PageMapSummary::Input::kJournal;
    MapJournalInput(companions);
  }
  if (options_.embedded == EmbeddedDatabases::kScanInput) ScanForDatabases();
  std::sort(cell_hashes_.begin(), cell_hashes_.end());
  cell_hashes_.erase(std::unique(cell_hashes_.begin(), cell_hashes_.end()),
                     cell_hashes_.end());
  summary_.live_cells = cell_hashes_.size();
}

void PageMap::MapOwnDatabase(const ByteSource* wal) {
  MapDatabaseRequest request;
  request.file = input_.get();
  request.wal = wal;
  request.read_leaves = options_.copy_index;
  AddDatabase(request, /*as_region=*/true);
}

void PageMap::MapWalInput(const PageMapCompanions& companions) {
  wal_ = ReadWalIndex(*input_);
  summary_.wal_committed_frames = wal_.committed_frames;
  if (wal_.frames_known && input_->size() > kWalHeaderSize)
    AssignSegment(0, input_->size(), Segment{0, RegionType::kWal, 0});
  if (options_.copy_index) {
    const ByteSource& database =
        companions.database ? *companions.database : EmptySource();
    MapCompanionDatabase(database, input_.get());
  }
}

void PageMap::MapJournalInput(const PageMapCompanions& companions) {
  journal_ = ReadJournalIndex(*input_, companions.input_named_journal);
  if (!journal_.records.empty())
    AssignSegment(journal_.records.front().first, journal_.End(),
                  Segment{0, RegionType::kJournal, 0});
  if (options_.copy_index && companions.database)
    MapCompanionDatabase(*companions.database, nullptr);
}

void PageMap::MapCompanionDatabase(const ByteSource& database, const ByteSource* wal) {
  MapDatabaseRequest request;
  request.file = &database;
  request.wal = wal;
  request.read_leaves = true;
  summary_.companion_database = AddDatabase(request, /*as_region=*/false);
}

bool PageMap::AddDatabase(const MapDatabaseRequest& request, bool as_region) {
  MappedDatabase mapped;
  if (!MapDatabase(request, budget_, mapped)) return false;
  AddCellHashes(mapped.cell_hashes, mapped.usable_size);
  if (!as_region) return true;
  if (request.file == input_.get() && request.wal != nullptr) {
    summary_.wal_applied = mapped.wal_applied;
    summary_.wal_committed_frames = mapped.wal_committed_frames;
  }
  const int64_t end = std::min<int64_t>(
      input_->size(),
      request.base + static_cast<int64_t>(mapped.kinds.size()) * mapped.page_size);
  if (end <= request.base) return true;
  DatabaseRegion region;
  region.start = request.base;
  region.page_size = mapped.page_size;
  region.usable_size = mapped.usable_size;
  region.kinds = std::move(mapped.kinds);
  databases_.push_back(std::move(region));
  AssignSegment(request.base, end,
                Segment{0, RegionType::kDatabase, static_cast<uint32_t>(databases_.size() - 1)});
  ++summary_.databases;
  return true;
}

void PageMap::AddCellHashes(std::vector<uint64_t>& hashes, uint32_t usable_size) {
  if (hashes.empty()) return;
  if (std::find(usable_sizes_.begin(), usable_sizes_.end(), usable_size) ==
      usable_sizes_.end())
    usable_sizes_.push_back(usable_size);
  cell_hashes_.insert(cell_hashes_.end(), hashes.begin(), hashes.end());
}

void PageMap::ScanForDatabases() {
  std::string chunk;
  std::vector<int64_t> starts;
  for (int64_t at = 0; at < input_->size(); at += kScanChunk) {
    chunk.resize(kScanChunk);
    chunk.resize(input_->ReadAt(at, kScanChunk, chunk.data()));
    if (chunk.empty()) break;
    starts.clear();
    FindDatabaseStarts(at, chunk, starts);
    for (int64_t start : starts) {
      if (start != 0) AddDatabaseAt(start);
    }
  }
}

bool PageMap::AddDatabaseAt(int64_t offset) {
  if (offset < 0 || offset >= input_->size()) return false;
  for (const DatabaseRegion& region : databases_) {
    if (region.start == offset) return false;
  }
  const size_t hashes_before = cell_hashes_.size();
  MapDatabaseRequest request;
  request.file = input_.get();
  request.base = offset;
  request.whole_file = false;
  request.read_leaves = options_.copy_index;
  const bool mapped = AddDatabase(request, /*as_region=*/true);
  if (cell_hashes_.size() != hashes_before && summary_.live_cells != 0) {
    // Called after the build: keep the index sorted and distinct.
    std::sort(cell_hashes_.begin() + static_cast<ptrdiff_t>(hashes_before), cell_hashes_.end());
    std::inplace_merge(cell_hashes_.begin(),
                       cell_hashes_.begin() + static_cast<ptrdiff_t>(hashes_before),
                       cell_hashes_.end());
    cell_hashes_.erase(std::unique(cell_hashes_.begin(), cell_hashes_.end()),
                       cell_hashes_.end());
    summary_.live_cells = cell_hashes_.size();
  }
  return mapped;
}

void PageMap::AssignSegment(int64_t start, int64_t end, Segment segment) {
  segment.end = end;
  auto it = segments_.lower_bound(start);
  if (it != segments_.begin()) {
    auto before = std::prev(it);
    if (before->second.end > start) {
      const Segment old = before->second;
      before->second.end = start;
      if (old.end > end) segments_[end] = old;
    }
  }
  it = segments_.lower_bound(start);
  while (it != segments_.end() && it->first < end) {
    if (it->second.end > end) {
      const Segment rest = it->second;
      segments_.erase(it);
      segments_[end] = rest;
      break;
    }
    it = segments_.erase(it);
  }
  segments_[start] = segment;
  ++generation_;
}

PageStatus PageMap::StatusAt(int64_t offset) {
  if (!cursor_) cursor_ = std::make_unique<StatusCursor>(*this);
  return cursor_->StatusAt(offset);
}

bool PageMap::IsCopyOfLiveCell(int64_t rowid, uint64_t payload_size,
                               std::string_view payload) const {
  if (cell_hashes_.empty()) return false;
  for (uint32_t usable_size : usable_sizes_) {
    const uint64_t local = sqlite_format::LocalPayloadSize(payload_size, usable_size, true);
    if (local > payload.size()) continue;
    const uint64_t key = CellHash(rowid, payload_size, payload.substr(0, local));
    if (std::binary_search(cell_hashes_.begin(), cell_hashes_.end(), key)) return true;
  }
  return false;
}

bool PageMap::IsDatabaseMagicAt(const uint8_t* p) {
  return sqlite_format::IsDatabaseMagic(p);
}

void PageMap::FindDatabaseStarts(int64_t window_start, std::string_view window,
                                 std::vector<int64_t>& starts) {
  const int64_t window_end = window_start + static_cast<int64_t>(window.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(window.data());
  for (int64_t at = (window_start + kBoundary - 1) / kBoundary * kBoundary;
       at + sqlite_format::kDatabaseMagicSize <= window_end; at += kBoundary) {
    const uint8_t* p = bytes + (at - window_start);
    if (p[0] == 'S' && sqlite_format::IsDatabaseMagic(p)) starts.push_back(at);
  }
}

// --- StatusCursor -------------------------------------------------------------

StatusCursor::StatusCursor(const PageMap& map) : map_(map) {}

void StatusCursor::SetWindow(int64_t start, std::string_view bytes) {
  window_start_ = start;
  window_ = bytes;
  if (page_in_window_) page_loaded_ = false;
}

bool StatusCursor::FindSegment(int64_t offset) {
  if (generation_ == map_.generation_ && offset >= segment_start_ && offset < segment_end_)
    return segment_mapped_;
  generation_ = map_.generation_;
  const auto& segments = map_.segments_;
  auto it = segments.upper_bound(offset);
  segment_end_ = it == segments.end() ? std::numeric_limits<int64_t>::max() : it->first;
  segment_start_ = std::numeric_limits<int64_t>::min();
  segment_mapped_ = false;
  if (it != segments.begin()) {
    auto before = std::prev(it);
    if (offset < before->second.end) {
      segment_start_ = before->first;
      segment_end_ = before->second.end;
      segment_ = before->second;
      segment_mapped_ = true;
    } else {
      segment_start_ = before->second.end;
    }
  }
  return segment_mapped_;
}

PageStatus StatusCursor::StatusAt(int64_t offset) {
  if (offset < 0 || !FindSegment(offset)) return {};
  switch (segment_.type) {
    case PageMap::RegionType::kDatabase:
      return DatabaseStatus(offset);
    case PageMap::RegionType::kWal: {
      const int64_t into_frames = offset - map_.wal_start_ - kWalHeaderSize;
      if (into_frames < 0) return {};
      const int64_t frame =
          into_frames / (kWalFrameHeaderSize + int64_t{map_.wal_.page_size}) + 1;
      if (frame > map_.wal_.frame_slots) return {};
      return {Status::kWal, frame};
    }
    case PageMap::RegionType::kJournal:
      if (map_.journal_.InRecord(offset)) return {Status::kJournal, 0};
      return {};
  }
  return {};
}

PageStatus StatusCursor::DatabaseStatus(int64_t offset) {
  const PageMap::DatabaseRegion& region = map_.databases_[segment_.index];
  const int64_t page_index = (offset - region.start) / region.page_size;
  if (page_index >= static_cast<int64_t>(region.kinds.size())) return {};
  const uint8_t kind = region.kinds[static_cast<size_t>(page_index)];
  if ((kind & kSupersededBit) != 0) return {Status::kSuperseded, 0};
  switch (kind & kKindMask) {
    case kFreelistTrunkPage:
    case kFreelistLeafPage:
      return {Status::kFreelist, 0};
    case kOverflowPage:
      return {Status::kLive, 0};
    case kTableTreePage:
    case kIndexTreePage:
      return BtreeStatus(region, page_index, kind, offset);
    default:
      return {};
  }
}

PageStatus StatusCursor::BtreeStatus(const PageMap::DatabaseRegion& region,
                                     int64_t page_index, uint8_t kind, int64_t offset) {
  if (!page_loaded_ || page_region_ != segment_.index || page_index_ != page_index)
    LoadPage(region, page_index, kind);
  if (!page_valid_) return {};
  const int64_t in_page = offset - (region.start + page_index * region.page_size);
  if (in_page < pointers_end_ || in_page >= region.usable_size) return {};
  const auto at = static_cast<uint32_t>(in_page);
  auto it = std::upper_bound(cell_starts_.begin(), cell_starts_.end(), at);
  if (it == cell_starts_.begin()) return {Status::kFreeblock, 0};
  const uint32_t cell_start = *std::prev(it);
  sqlite_format::CellExtent cell;
  if (sqlite_format::ReadCellExtent(page_, region.usable_size,
                                    static_cast<sqlite_format::PageType>(page_type_),
                                    cell_start, cell) &&
      at < cell_start + cell.size)
    return {Status::kLive, 0};
  return {Status::kFreeblock, 0};
}

void StatusCursor::LoadPage(const PageMap::DatabaseRegion& region, int64_t page_index,
                            uint8_t kind) {
  page_loaded_ = true;
  page_valid_ = false;
  page_region_ = segment_.index;
  page_index_ = page_index;
  cell_starts_.clear();
  const uint32_t size = region.page_size;
  const int64_t page_start = region.start + page_index * size;
  const int64_t into_window = page_start - window_start_;
  page_in_window_ = into_window >= 0 &&
                    into_window + size <= static_cast<int64_t>(window_.size());
  if (page_in_window_) {
    page_ = window_.substr(static_cast<size_t>(into_window), size);
  } else {
    page_buffer_.assign(size, '\0');
    map_.input_->ReadAt(page_start, size, page_buffer_.data());
    page_ = page_buffer_;
  }
  sqlite_format::BtreePageHeader header;
  if (!sqlite_format::ParseBtreePageHeader(page_, page_index == 0 ? 100 : 0,
                                           region.usable_size, header))
    return;
  const bool table = sqlite_format::IsTablePage(header.type);
  if (table != ((kind & kKindMask) == kTableTreePage)) return;
  page_type_ = static_cast<uint8_t>(header.type);
  pointers_end_ = header.pointers_end;
  const auto* p = reinterpret_cast<const uint8_t*>(page_.data());
  for (uint32_t i = 0; i < header.cell_count; ++i) {
    const uint32_t start = sqlite_format::Get16(p + header.pointers_begin + 2 * i);
    if (start >= header.pointers_end && start < region.usable_size) cell_starts_.push_back(start);
  }
  // SQLite keeps the array in key order, which is usually descending by offset.
  if (!std::is_sorted(cell_starts_.begin(), cell_starts_.end())) {
    std::reverse(cell_starts_.begin(), cell_starts_.end());
    if (!std::is_sorted(cell_starts_.begin(), cell_starts_.end()))
      std::sort(cell_starts_.begin(), cell_starts_.end());
  }
  page_valid_ = true;
}

}  // namespace quarrow
