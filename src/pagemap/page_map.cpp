#include "pagemap/page_map.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>

#include "engine/database_starts.h"
#include "engine/file_io.h"
#include "pagemap/overwritten_copy.h"
#include "pagemap/sqlite_format.h"
#include "pagemap/segment_list.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

constexpr int64_t kBoundary = kDatabaseSector;
constexpr size_t kScanChunk = size_t{1} << 20;

std::shared_ptr<const ByteSource> OpenCompanion(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(SystemPath(path), error)) return nullptr;
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

// The part of a window of bytes from `start` on that is the file's: bytes past
// the file's end are the caller's (zeros), not the file's.
std::string_view FileBytesOf(std::string_view bytes, int64_t start, int64_t file_size) {
  return bytes.substr(0, static_cast<size_t>(std::clamp<int64_t>(
                             file_size - start, 0, static_cast<int64_t>(bytes.size()))));
}

// The input, read from bytes the caller holds where they cover a read.
class WindowedSource : public ByteSource {
 public:
  WindowedSource(const ByteSource& file, int64_t start, std::string_view bytes)
      : file_(file), start_(start), bytes_(FileBytesOf(bytes, start, file.size())) {}
  int64_t size() const override { return file_.size(); }
  size_t ReadAt(int64_t offset, size_t length, char* out) const override {
    const int64_t into = offset - start_;
    if (into >= 0 && into + static_cast<int64_t>(length) <= static_cast<int64_t>(bytes_.size())) {
      std::memcpy(out, bytes_.data() + into, length);
      return length;
    }
    return file_.ReadAt(offset, length, out);
  }

 private:
  const ByteSource& file_;
  int64_t start_;
  std::string_view bytes_;
};

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
  // Honest layouts read each page about once and need a kind byte per page;
  // the slack covers small inputs. Past a budget, what is left stays unmapped.
  const int64_t total =
      input_->size() + SizeOf(companions.wal) + SizeOf(companions.database);
  budget_.read_bytes = 4 * total + (int64_t{16} << 20);
  budget_.kind_bytes = 2 * (total / kBoundary) + 65536;
  // One copy-test entry (8 bytes) per 128 input bytes covers live rows that
  // average 128 bytes or more; past it, copies are kept as possibly deleted.
  budget_.cell_hashes = total / 128 + 65536;
  // Sites cost 16 bytes: half as many, so that memory stays a small share.
  budget_.cell_sites = total / 256 + 65536;
  Build(companions);
}

PageMap::~PageMap() = default;

void PageMap::Build(const PageMapCompanions& companions) {
  uint8_t head[32] = {};
  const size_t got = input_->ReadAt(0, sizeof head, reinterpret_cast<char*>(head));
  if (got >= sqlite_format::kDatabaseMagicSize && sqlite_format::IsDatabaseMagic(head)) {
    summary_.input = PageMapSummary::Input::kDatabase;
    own_wal_ = companions.wal;
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
  summary_.live_cells = cell_keys_.size();
  summary_.live_cell_sites = cell_sites_.size();
  summary_.bytes_read = budget_.read_total;
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
    AssignSegment(0, input_->size(), Segment{.type = RegionType::kWal});
  if (options_.copy_index) {
    // With no database beside it, one living in its log alone is still read.
    const MemorySource empty{std::string()};
    MapCompanionDatabase(companions.database ? *companions.database : empty, input_.get());
  }
}

void PageMap::MapJournalInput(const PageMapCompanions& companions) {
  journal_ = ReadJournalIndex(*input_, companions.input_named_journal);
  if (!journal_.records.empty())
    AssignSegment(journal_.records.front().first, journal_.End(),
                  Segment{.type = RegionType::kJournal});
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
  if (!mapped.body_hashes.empty()) body_keys_.Add(mapped.body_hashes);
  if (!as_region) return true;
  // Sites are read again from the input, or from its own WAL for the
  // database at offset 0 (no other database of the input has one).
  if (request.wal == nullptr || request.wal == own_wal_.get()) {
    cell_sites_.Add(mapped.cell_sites);
    summary_.live_cell_sites = cell_sites_.size();
  }
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
  region.page_shift = std::countr_zero(mapped.page_size);
  region.usable_size = mapped.usable_size;
  region.kinds = std::move(mapped.kinds);
  databases_.push_back(std::move(region));
  AssignSegment(request.base, end,
                Segment{.type = RegionType::kDatabase,
                        .index = static_cast<uint32_t>(databases_.size() - 1)});
  ++summary_.databases;
  return true;
}

void PageMap::AddCellHashes(std::vector<uint64_t>& hashes, uint32_t usable_size) {
  if (hashes.empty()) return;
  if (std::find(usable_sizes_.begin(), usable_sizes_.end(), usable_size) ==
      usable_sizes_.end())
    usable_sizes_.push_back(usable_size);
  cell_keys_.Add(hashes);
  summary_.live_cells = cell_keys_.size();
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
      AddDatabaseAt(start);
    }
  }
}

bool PageMap::AddDatabaseAt(int64_t offset, int64_t window_start, std::string_view window) {
  if (offset < 0 || offset >= input_->size() || offset % kBoundary != 0) return false;
  // Each boundary is tried once: a bit per 512 bytes of input.
  if (tried_boundaries_.empty())
    tried_boundaries_.resize(static_cast<size_t>(input_->size() / kBoundary + 1));
  const auto block = static_cast<size_t>(offset / kBoundary);
  if (tried_boundaries_[block] || (offset == 0 && summary_.databases > 0 &&
                                   databases_.front().start == 0))
    return false;
  tried_boundaries_[block] = true;
  const WindowedSource source(*input_, window_start, window);
  MapDatabaseRequest request;
  request.file = &source;
  request.base = offset;
  request.whole_file = false;
  request.read_leaves = options_.copy_index;
  request.held = FileBytesOf(window, window_start, input_->size());
  request.held_start = window_start;
  const bool mapped = AddDatabase(request, /*as_region=*/true);
  summary_.bytes_read = budget_.read_total;
  return mapped;
}

void PageMap::AssignSegment(int64_t start, int64_t end, Segment segment) {
  quarrow::AssignSegment(segments_, start, end, segment);
  ++generation_;
}

std::vector<PageMap::Segment>::const_iterator PageMap::SegmentAfter(int64_t offset) const {
  return std::upper_bound(segments_.begin(), segments_.end(), offset,
                          [](int64_t o, const Segment& s) { return o < s.start; });
}

PageStatus PageMap::StatusAt(int64_t offset) {
  if (!cursor_) cursor_ = std::make_unique<StatusCursor>(*this);
  return cursor_->StatusAt(offset);
}

void PageMap::SetWindow(int64_t start, std::string_view bytes) {
  if (!cursor_) cursor_ = std::make_unique<StatusCursor>(*this);
  cursor_->SetWindow(start, bytes);
}

bool PageMap::IsCopyOfLiveCell(int64_t rowid, uint64_t payload_size,
                               std::string_view payload) const {
  if (cell_keys_.size() == 0) return false;
  for (uint32_t usable_size : usable_sizes_) {
    const uint64_t local = sqlite_format::LocalPayloadSize(payload_size, usable_size, true);
    if (local > payload.size()) continue;
    const uint64_t key = CellHash(rowid, payload_size, payload.substr(0, local));
    if (cell_keys_.Contains(key)) return true;
  }
  return false;
}

bool PageMap::IsCopyOfLiveBody(uint64_t payload_size, std::string_view body) const {
  if (body_keys_.size() == 0 || payload_size == 0) return false;
  for (uint32_t usable_size : usable_sizes_) {
    const uint64_t local = sqlite_format::LocalPayloadSize(payload_size, usable_size, true);
    if (local == 0 || local - 1 > body.size()) continue;
    if (body_keys_.Contains(CellHash(kBodyKeyRowid, payload_size, body.substr(0, local - 1))))
      return true;
  }
  return false;
}

bool PageMap::LocateDatabasePage(int64_t offset, int64_t& page_start,
                                 const DatabaseRegion*& region) const {
  auto it = SegmentAfter(offset);
  if (it == segments_.begin()) return false;
  const Segment& segment = *std::prev(it);
  const int64_t segment_start = segment.start;
  if (offset >= segment.end || segment.type != RegionType::kDatabase) return false;
  region = &databases_[segment.index];
  const int64_t page_index = (offset - region->start) >> region->page_shift;
  if (page_index >= static_cast<int64_t>(region->kinds.size())) return false;
  const uint8_t kind = region->kinds[static_cast<size_t>(page_index)];
  // A page in use is read as what it is now; a superseded one as the file's
  // image of it, a page of the database as it stood before the WAL.
  const uint8_t role = kind & kKindMask;
  if ((kind & kSupersededBit) == 0 && role != kTableTreePage && role != kIndexTreePage)
    return false;
  page_start = region->start + (page_index << region->page_shift);
  return page_start >= segment_start && page_start + region->page_size <= segment.end;
}

bool PageMap::LiveCellMatches(const CellSite& site, std::optional<int64_t> rowid,
                              uint64_t record_size,
                              std::string_view record, std::span<const uint8_t> foreign,
                              uint64_t header_size, int64_t offset) const {
  const ByteSource* source = (site.where & 1) != 0 ? own_wal_.get() : input_.get();
  const auto at = static_cast<int64_t>(site.where >> 1);
  if (source == nullptr) return false;
  std::string cell(18 + record.size(), '\0');
  cell.resize(source->ReadAt(at, cell.size(), cell.data()));
  const auto* p = reinterpret_cast<const uint8_t*>(cell.data());
  const uint8_t* end = p + cell.size();
  uint64_t payload_size = 0, live_rowid = 0;
  const int size_length = sqlite_format::GetVarint(p, end, payload_size);
  if (size_length == 0 || payload_size != record_size) return false;
  const int rowid_length = sqlite_format::GetVarint(p + size_length, end, live_rowid);
  if (rowid_length == 0 || (rowid && static_cast<int64_t>(live_rowid) != *rowid)) return false;
  const size_t payload_at = static_cast<size_t>(size_length + rowid_length);
  // The record itself is no live cell (the caller's status says so); a site
  // there would be a stale one.
  if (source == input_.get() && at + static_cast<int64_t>(payload_at) == offset) return false;
  if (cell.size() < payload_at + record.size()) return false;
  return OwnBytesMatch(record, std::string_view(cell).substr(payload_at, record.size()), foreign,
                       header_size);
}

bool PageMap::IsOverwrittenCopyOfLiveCell(int64_t offset, std::string_view record,
                                          uint64_t record_size_hint) const {
  if (cell_sites_.size() == 0) return false;
  RecordHeader header;
  if (!ReadRecordHeader(record, record_size_hint, header)) return false;
  int64_t page_start = 0;
  const DatabaseRegion* region = nullptr;
  if (!LocateDatabasePage(offset, page_start, region)) return false;
  const auto record_start = static_cast<uint32_t>(offset - page_start);
  const uint64_t local =
      sqlite_format::LocalPayloadSize(header.record_size, region->usable_size, true);
  // An overflowing record keeps as many bytes on its page as the live cell
  // only when both databases share the usable size.
  if (local < header.record_size &&
      (usable_sizes_.size() != 1 || usable_sizes_.front() != region->usable_size))
    return false;
  if (local < header.bytes.size() || record_start + local > region->usable_size) return false;
  // The lead bytes must be the record's own and equal: they pick the live
  // cells to compare with, with no read for the many records that have none.
  const uint64_t lead_size = LeadSize(header.bytes.size(), local);
  if (record.size() < lead_size) return false;
  const std::string lead = header.bytes + std::string(record.substr(header.bytes.size(),
                                                                    lead_size - header.bytes.size()));
  const uint64_t key = SiteKey(header.record_size, lead);
  if (!cell_sites_.HasKey(key)) return false;
  try {
    std::string page(region->page_size, '\0');
    // The cell prefix first: most records have no live cell to compare with.
    constexpr uint32_t kPrefixRoom = 18;
    const uint32_t room = std::min(record_start, kPrefixRoom);
    if (input_->ReadAt(offset - room, room, page.data() + record_start - room) != room)
      return false;
    uint32_t begin = record_start;
    std::optional<int64_t> rowid;
    if (!header.length_restored)
      rowid = CellPrefixRowid(page, record_start - room, record_start, header.record_size, begin);
    // With its prefix, only cells of its rowid match; without, any rowid.
    constexpr size_t kMaxCandidates = 16;
    std::vector<CellSite> candidates;
    cell_sites_.Find(key, kMaxCandidates, candidates);
    if (candidates.empty()) return false;

    if (input_->ReadAt(page_start, page.size(), page.data()) != page.size()) return false;
    std::string here = page.substr(record_start, local);
    if (here.compare(1, header.bytes.size() - 1, header.bytes, 1) != 0) return false;
    std::vector<uint8_t> foreign;
    if (!ForeignBytesOfRecord(page, page_start, *region, begin, record_start, local, foreign))
      return false;
    if (header.length_restored) {
      // Its value follows from the serial types: compared as if intact.
      here[0] = header.bytes[0];
      foreign[0] = 0;
    }
    for (const CellSite& site : candidates) {
      if (LiveCellMatches(site, rowid, header.record_size, here, foreign, header.bytes.size(),
                          offset))
        return true;
    }
  } catch (const Error&) {
    // An unreadable page says nothing: the record is kept.
  }
  return false;
}

bool PageMap::ForeignBytesOfRecord(const std::string& page, int64_t page_start,
                                   const DatabaseRegion& region, uint32_t begin,
                                   uint32_t record_start, uint64_t local,
                                   std::vector<uint8_t>& foreign) const {
  const uint32_t header_offset = page_start == region.start ? 100 : 0;
  const auto this_page =
      static_cast<uint32_t>(((page_start - region.start) >> region.page_shift) + 1);
  const auto is_btree_page = [&region, this_page](uint32_t number) {
    if (number < 2 || number == this_page || number > region.kinds.size()) return false;
    const uint8_t role = region.kinds[number - 1] & kKindMask;
    return role == kTableTreePage || role == kIndexTreePage;
  };
  if (!MarkForeignBytes(page, header_offset, region.usable_size, begin, record_start,
                        static_cast<uint32_t>(record_start + local), is_btree_page, foreign))
    return false;
  // The prefix that gave the rowid must be the record's own too.
  const auto prefix = static_cast<std::ptrdiff_t>(record_start - begin);
  if (std::find(foreign.begin(), foreign.begin() + prefix, 1) != foreign.begin() + prefix)
    return false;
  foreign.erase(foreign.begin(), foreign.begin() + prefix);
  return true;
}

// --- StatusCursor -------------------------------------------------------------

StatusCursor::StatusCursor(const PageMap& map) : map_(map) {}

void StatusCursor::SetWindow(int64_t start, std::string_view bytes) {
  window_start_ = start;
  window_ = FileBytesOf(bytes, start, map_.input_->size());
  if (in_btree_page_ && page_in_window_) range_end_ = range_begin_;  // its bytes go away
}

void StatusCursor::SetRange(int64_t begin, int64_t end, PageStatus status) {
  range_begin_ = begin;
  range_end_ = end;
  range_status_ = status;
  in_btree_page_ = false;
}

void StatusCursor::Refresh(int64_t offset) {
  generation_ = map_.generation_;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (offset < 0) return SetRange(kMin, 0, {});
  const auto& segments = map_.segments_;
  auto it = map_.SegmentAfter(offset);
  const int64_t next_start = it == segments.end() ? kMax : it->start;
  if (it == segments.begin()) return SetRange(0, next_start, {});
  const PageMap::Segment& segment = *std::prev(it);
  const int64_t start = segment.start;
  if (offset >= segment.end) return SetRange(segment.end, next_start, {});
  switch (segment.type) {
    case PageMap::RegionType::kDatabase:
      return RefreshInDatabase(offset, start, segment.end, segment.index);
    case PageMap::RegionType::kWal: {
      const int64_t frames_at = map_.wal_start_ + kWalHeaderSize;
      if (offset < frames_at) return SetRange(start, frames_at, {});
      const int64_t frame_size = kWalFrameHeaderSize + int64_t{map_.wal_.page_size};
      const int64_t frame = (offset - frames_at) / frame_size + 1;
      if (frame > map_.wal_.frame_slots) return SetRange(offset, segment.end, {});
      const int64_t begin = frames_at + (frame - 1) * frame_size;
      return SetRange(begin, std::min(begin + frame_size, segment.end), {Status::kWal, frame});
    }
    case PageMap::RegionType::kJournal:
      return RefreshInJournal(offset, start, segment.end);
  }
}

void StatusCursor::RefreshInJournal(int64_t offset, int64_t segment_start,
                                    int64_t segment_end) {
  const auto& records = map_.journal_.records;
  auto it = std::upper_bound(records.begin(), records.end(), offset,
                             [](int64_t o, const auto& r) { return o < r.first; });
  const int64_t gap_end = it == records.end() ? segment_end : std::min(it->first, segment_end);
  if (it == records.begin()) return SetRange(segment_start, gap_end, {});
  const auto& [first, end] = *std::prev(it);
  if (offset < end) return SetRange(std::max(first, segment_start), std::min(end, segment_end),
                                    {Status::kJournal, 0});
  SetRange(std::max(end, segment_start), gap_end, {});
}

void StatusCursor::RefreshInDatabase(int64_t offset, int64_t segment_start,
                                     int64_t segment_end, uint32_t region_index) {
  const PageMap::DatabaseRegion& region = map_.databases_[region_index];
  const int64_t page_index = (offset - region.start) >> region.page_shift;
  const int64_t page_start = region.start + (page_index << region.page_shift);
  // A later database may cut the page short.
  const int64_t begin = std::max(page_start, segment_start);
  const int64_t end = std::min(page_start + region.page_size, segment_end);
  if (page_index >= static_cast<int64_t>(region.kinds.size())) return SetRange(begin, end, {});
  const uint8_t kind = region.kinds[static_cast<size_t>(page_index)];
  if ((kind & kSupersededBit) != 0) return SetRange(begin, end, {Status::kSuperseded, 0});
  switch (kind & kKindMask) {
    case kFreelistTrunkPage:
    case kFreelistLeafPage:
      return SetRange(begin, end, {Status::kFreelist, 0});
    case kOverflowPage:
      return SetRange(begin, end, {Status::kLive, 0});
    case kTableTreePage:
    case kIndexTreePage:
      SetRange(begin, end, {});
      in_btree_page_ = LoadBtreePage(region, page_start, kind);
      return;
    default:
      return SetRange(begin, end, {});
  }
}

bool StatusCursor::LoadBtreePage(const PageMap::DatabaseRegion& region, int64_t page_start,
                                 uint8_t kind) {
  const uint32_t size = region.page_size;
  page_start_ = page_start;
  usable_size_ = region.usable_size;
  extent_of_ = 0;
  const int64_t into_window = page_start - window_start_;
  page_in_window_ = into_window >= 0 &&
                    into_window + size <= static_cast<int64_t>(window_.size());
  if (page_in_window_) {
    page_ = window_.substr(static_cast<size_t>(into_window), size);
  } else {
    // Only the bytes the file lacks are zeroed: a page is read per page change.
    page_buffer_.resize(size);
    const size_t got = map_.input_->ReadAt(page_start, size, page_buffer_.data());
    std::fill(page_buffer_.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(got, size)),
              page_buffer_.end(), '\0');
    page_ = page_buffer_;
  }
  sqlite_format::BtreePageHeader header;
  const uint32_t header_offset = page_start == region.start ? 100 : 0;
  if (!sqlite_format::ParseBtreePageHeader(page_, header_offset, usable_size_, header))
    return false;
  const bool table = sqlite_format::IsTablePage(header.type);
  if (table != ((kind & kKindMask) == kTableTreePage)) return false;
  page_type_ = static_cast<uint8_t>(header.type);
  pointers_begin_ = header.pointers_begin;
  pointers_end_ = header.pointers_end;
  cell_starts_.Reset(page_, pointers_begin_, pointers_end_, usable_size_);
  return true;
}

}  // namespace quarrow
