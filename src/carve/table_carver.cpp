#include "carve/table_carver.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <set>

#include "carve/freed_cell.h"
#include "carve/header_prefilter.h"
#include "carve/page_images.h"
#include "engine/file_io.h"
#include "engine/mapped_window.h"
#include "engine/ordered_work.h"
#include "pagemap/sqlite_format.h"
#include "text_rule/utf8.h"

namespace quarrow {

namespace sf = sqlite_format;

namespace {

// Bytes each pass-one chunk owns, and the bytes read around them: a cell's
// prefix before its header, its local payload after.
constexpr int64_t kChunkBytes = int64_t{8} << 20;
constexpr int64_t kLookBehind = 32;
constexpr int64_t kLookAhead = 65536 + 64;

void AppendVarint(uint64_t value, std::string& out) {
  uint8_t bytes[9];
  out.append(reinterpret_cast<const char*>(bytes), sf::PutVarint(value, bytes));
}

// An INTEGER column holds a double only when a value with a fraction was
// stored in it: where many live rows show none, a double there is taken for
// another table's bytes. A record may have fewer columns than the table when
// live rows that old remain.
void ShapeByLiveRows(const LiveRows& live, FitTable& table) {
  const size_t fewest = live.FewestColumns(table.name);
  table.min_columns = fewest ? fewest : table.columns.size();
  if (live.RowCount(table.name) < 20) return;
  for (size_t i = 0; i < table.columns.size(); ++i) {
    FitColumn& column = table.columns[i];
    if (column.affinity == Affinity::kInteger && !(live.ClassesSeen(table.name, i) & 4))
      column.small_types &= ~uint16_t{1u << 7};
  }
}

// SQLite never stores a NaN (it stores NULL) and real data holds no
// subnormal doubles: either is bytes of something else read as a double.
bool DoublesPlausible(const CarvedRecord& record) {
  uint64_t at = record.header_size;
  for (size_t i = 0; i < record.types.size(); ++i) {
    const uint64_t type = record.types[i];
    if (type == 7 && !record.lost[i] && at + 8 <= record.record.size()) {
      uint64_t bits = 0;
      for (int k = 0; k < 8; ++k) bits = (bits << 8) | static_cast<uint8_t>(record.record[at + k]);
      const uint64_t exponent = (bits >> 52) & 0x7FF, fraction = bits & ((uint64_t{1} << 52) - 1);
      if ((exponent == 0 && fraction != 0) || (exponent == 0x7FF && fraction != 0)) return false;
    }
    at += sf::SerialTypeSize(type);
  }
  return true;
}

bool ByOffset(const CarvedRecord& a, const CarvedRecord& b) { return a.offset < b.offset; }

// Bytes of the input in memory: `bytes` from input offset `offset` on.
struct InputBytes {
  std::string_view bytes;
  int64_t offset = 0;
};

// What one chunk of the input gave: whole cells whose header lies in it, and
// cells rebuilt in the page images that start in it, each by offset.
struct ChunkRecords {
  int64_t end = 0;
  std::vector<CarvedRecord> whole;
  std::vector<CarvedRecord> rebuilt;
};

// Where `marker` occurs in `bytes` from `from` on, in order.
std::vector<int64_t> MarkerHits(std::string_view bytes, int64_t from, std::string_view marker) {
  std::vector<int64_t> hits;
  for (size_t at = bytes.find(marker, static_cast<size_t>(from)); at != std::string_view::npos;
       at = bytes.find(marker, at + 1))
    hits.push_back(static_cast<int64_t>(at));
  return hits;
}

}  // namespace

// One carve of one table.
class TableCarver::Run {
 public:
  Run(TableCarver& carver, const CarveTarget& target, const std::vector<CarveTarget>& others,
      const PreparerFactory& prepare)
      : carver_(carver), target_(target), others_(others), table_(target.table), prepare_(prepare) {
    // Every table's rule as its live rows show it, the others' too: a table
    // that grew reads its older, shorter rows.
    ShapeByLiveRows(carver.live_, table_);
    for (CarveTarget& other : others_) ShapeByLiveRows(carver.live_, other.table);
    images_ = FindPageImages(*carver.input_,
                             carver.image_->valid() ? carver.image_->page_size() : 0);
    usable_ = carver.image_->valid() ? carver.image_->usable_size() : images_.usable_size;
    if (images_.kind == PageImages::Kind::kJournal && carver.image_->valid())
      for (const PageImage& image : images_.images)
        journal_pages_[image.page_number].push_back(image.offset);
    MapDroppedTables();
  }

  bool Deliver(const std::function<void(const CarvedRecord&)>& sink, ProgressSink* progress,
               int64_t first, int64_t last) {
    // Rebuilt cells of a chunk's page images may lie past its end (an image
    // that straddles it): they wait for the next chunk's whole cells.
    std::vector<CarvedRecord> pending;
    size_t next_pending = 0;
    auto flush_before = [&](int64_t offset) {
      while (next_pending < pending.size() && pending[next_pending].offset < offset)
        sink(pending[next_pending++]);
    };
    // A record lies at most a page (64 KiB) after its page image's start.
    const int64_t size = std::min(carver_.input_->size(), last);
    const int64_t from = std::max<int64_t>(0, first - 65536) / kChunkBytes * kChunkBytes;
    const int64_t chunks = size > from ? (size - from + kChunkBytes - 1) / kChunkBytes : 0;
    auto scan = [&](int64_t chunk) {
      const int64_t begin = from + chunk * kChunkBytes;
      return ScanChunk(begin, std::min(size, begin + kChunkBytes));
    };
    auto deliver = [&](int64_t, ChunkRecords& chunk) {
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(next_pending));
      next_pending = 0;
      const size_t kept = pending.size();
      for (CarvedRecord& record : chunk.rebuilt) pending.push_back(std::move(record));
      std::inplace_merge(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(kept),
                         pending.end(), ByOffset);
      for (const CarvedRecord& record : chunk.whole) {
        flush_before(record.offset);
        // A cell found whole is not reported again as rebuilt.
        if (next_pending < pending.size() && pending[next_pending].offset == record.offset)
          ++next_pending;
        sink(record);
      }
      flush_before(chunk.end);
      return !progress || progress->Update(chunk.end, size);
    };
    if (!RunInOrder<ChunkRecords>(chunks, carver_.threads_, scan, deliver)) return false;
    flush_before(std::numeric_limits<int64_t>::max());
    return true;
  }

 private:
  // The live table whose b-tree holds the page image at `offset`, 0 when none
  // (or the input has no page structure). Only an image SQLite reads the page
  // from is the live page: an older image of the same page (a frame the WAL
  // has since replaced, a journal's, a database page a frame supersedes) may
  // have been another table's before the page was freed and reused.
  uint32_t OwnerAt(int64_t offset) const {
    const PageImage* image = ImageAt(offset);
    return image && IsCurrent(*image) ? CurrentOwner(*image) : 0;
  }

  std::map<uint32_t, uint32_t> dropped_owner_;

  // The table that holds page `image.page_number` now: a live table, or a
  // dropped one whose old b-tree still reaches the page through freed pages.
  uint32_t CurrentOwner(const PageImage& image) const {
    auto owner = carver_.page_owner_.find(image.page_number);
    if (owner != carver_.page_owner_.end()) return owner->second;
    return DroppedOwner(image.page_number);
  }

  // The dropped table whose freed b-tree reaches page `number`, 0 when none.
  uint32_t DroppedOwner(uint32_t number) const {
    auto dropped = dropped_owner_.find(number);
    return dropped == dropped_owner_.end() ? 0 : dropped->second;
  }

  // The pages a dropped table's b-tree held, found from its root as the
  // freed pages still hold it (a page a live table took since is not one).
  void MapDroppedTables() {
    std::vector<const CarveTarget*> dropped = {&target_};
    for (const CarveTarget& other : others_) dropped.push_back(&other);
    for (const CarveTarget* table : dropped) {
      if (table->live || table->root_page == 0 || !carver_.image_->valid()) continue;
      std::vector<uint32_t> pages;
      carver_.image_->ForEachRow(table->root_page, [](int64_t, std::string_view) {}, &pages);
      for (uint32_t page : pages)
        if (!carver_.page_owner_.count(page)) dropped_owner_.emplace(page, table->root_page);
    }
  }

  bool IsCurrent(const PageImage& image) const {
    const int64_t latest = carver_.image_->LatestFrame(image.page_number);
    switch (images_.kind) {
      case PageImages::Kind::kDatabase: return latest == 0;
      case PageImages::Kind::kWal: return image.frame != 0 && image.frame == latest;
      default: return false;
    }
  }

  const PageImage* ImageAt(int64_t offset) const {
    if (images_.page_size == 0 || images_.images.empty()) return nullptr;
    auto it = std::upper_bound(images_.images.begin(), images_.images.end(), offset,
                               [](int64_t at, const PageImage& image) { return at < image.offset; });
    if (it == images_.images.begin()) return nullptr;
    --it;
    return offset < it->offset + images_.page_size ? &*it : nullptr;
  }

  // The bytes of page image `image`: in `near` when it holds them all, else
  // read into `read`. Empty when the input ends first.
  std::string_view PageBytes(const PageImage& image, const InputBytes& near,
                             std::string& read) const {
    const int64_t at = image.offset - near.offset;
    if (at >= 0 && at + images_.page_size <= static_cast<int64_t>(near.bytes.size()))
      return near.bytes.substr(static_cast<size_t>(at), images_.page_size);
    read.resize(images_.page_size);
    if (carver_.input_->ReadAt(image.offset, read.size(), read.data()) != read.size()) return {};
    return read;
  }

  // Whose cells a table-leaf page that no live b-tree holds (a freed page)
  // once held: every cell of a leaf is one table's. The table of which the
  // page holds the most exact copies of live rows wins, then the one that
  // fits the most of its cells, then the one whose live rows share the
  // shape of the most of them (tables of one shape of rule tell apart so,
  // when the deleted rows left no live copy). 1: the target's; 0: another's;
  // -1: no page to judge by, or a tie.
  int PageVerdict(const PageImage& image, const InputBytes& near) const {
    {
      std::lock_guard<std::mutex> lock(verdicts_mutex_);
      auto it = verdicts_.find(image.offset);
      if (it != verdicts_.end()) return it->second;
    }
    const int verdict = JudgePage(image, near);
    std::lock_guard<std::mutex> lock(verdicts_mutex_);
    verdicts_[image.offset] = verdict;
    return verdict;
  }

  int JudgePage(const PageImage& image, const InputBytes& near) const {
    std::string read;
    const std::string_view page = PageBytes(image, near, read);
    if (page.empty()) return -1;
    const uint32_t header_offset = image.page_number == 1 ? 100 : 0;
    sf::BtreePageHeader header;
    if (!sf::ParseBtreePageHeader(page, header_offset, images_.usable_size, header) ||
        header.type != sf::PageType::kTableLeaf || header.cell_count == 0)
      return -1;
    const auto* p = reinterpret_cast<const uint8_t*>(page.data());
    // A dropped table has no live rows to show its shapes; the page still in
    // its freed b-tree stands for them.
    const uint32_t dropped_owner = DroppedOwner(image.page_number);
    // With `any`, only whether one cell fits. A score that can no longer
    // reach `reach` stops short (below it): only scores that reach the
    // target's decide.
    constexpr int64_t kMostPerCell = (int64_t{1} << 40) + (int64_t{1} << 20) + 1;
    auto score = [&](const CarveTarget& target, bool any, int64_t reach) {
      const FitTable& table = target.table;
      const bool owns = dropped_owner != 0 && target.root_page == dropped_owner;
      int64_t total = 0;
      PageCell scratch;
      const PageCell* cell = &scratch;
      for (uint32_t at = header.pointers_begin; at + 2 <= header.pointers_end; at += 2) {
        const int64_t cells_left = (header.pointers_end - at) / 2;
        if (total + cells_left * kMostPerCell < reach) return total;
        if (!ReadWholeCellInto(page, sf::Get16(p + at), table, usable_, scratch)) continue;
        total += int64_t{1} << 20;
        if (any) break;
        if (owns || carver_.live_.ShapeCount(table.name, cell->header.types) > 0) total += 1;
        if (cell->payload_size == cell->local_size && cell->rowid &&
            carver_.live_.StateOf(table.name, cell->rowid,
                                  std::string_view(page).substr(cell->header_at, cell->local_size)) ==
                RecordState::kLive)
          total += int64_t{1} << 40;
      }
      return total;
    };
    const int64_t mine = score(target_, false, 0);
    int64_t best_other = 0;
    uint32_t best_root = 0;
    for (const CarveTarget& other : others_) {
      const int64_t theirs = score(other, mine == 0, mine);
      if (theirs > best_other) best_other = theirs, best_root = other.root_page;
      else if (theirs == best_other && other.root_page == CurrentOwner(image)) best_root = other.root_page;
      // A page none of whose cells fit the target is another's: which one
      // does not matter.
      if (mine == 0 && best_other > 0) return 0;
    }
    if (mine == 0 && best_other == 0) return -1;
    if (mine > best_other) return 1;
    if (mine < best_other) return 0;
    // A tie: tables of one shape. The table that holds the page now most
    // likely held this image of it too.
    const uint32_t now = CurrentOwner(image);
    if (now != 0 && now == target_.root_page) return 1;
    if (now != 0 && now == best_root) return 0;
    return -1;
  }

  static bool LooksLikeBtreePage(std::string_view page, uint32_t header_offset) {
    sf::BtreePageHeader header;
    return sf::ParseBtreePageHeader(page, header_offset, static_cast<uint32_t>(page.size()),
                                    header);
  }

  // True iff a cell at [start, end) of the input can lie where it does: a
  // cell never crosses a page image's end, and lies in no b-tree page but a
  // table leaf's, past its pointer array. `cut`, when the cell starts in the
  // page's unallocated gap and runs into its cell content area, is set to
  // where that area starts: the bytes from there on are the page's cells,
  // written over the old cell's tail.
  bool FitsItsPage(int64_t start, int64_t end, const InputBytes& near, int64_t* cut = nullptr) const {
    const PageImage* it = ImageAt(start);
    if (!it) return true;
    if (end > it->offset + images_.page_size) return false;
    const uint32_t header_offset = it->page_number == 1 ? 100 : 0;
    char head[12];
    const int64_t head_at = it->offset + header_offset - near.offset;
    if (head_at >= 0 && head_at + 12 <= static_cast<int64_t>(near.bytes.size()))
      std::copy_n(near.bytes.data() + head_at, sizeof head, head);
    else if (carver_.input_->ReadAt(it->offset + header_offset, sizeof head, head) != sizeof head)
      return true;
    // Old cells survive in the free space of any b-tree page (a leaf that
    // became an interior page keeps them), never in its header and pointers.
    const auto* h = reinterpret_cast<const uint8_t*>(head);
    if (h[0] == 0x02 || h[0] == 0x05 || h[0] == 0x0A || h[0] == 0x0D) {
      const int64_t header_size = h[0] == 0x02 || h[0] == 0x05 ? 12 : 8;
      const int64_t pointers_end =
          it->offset + header_offset + header_size + 2 * int64_t{sf::Get16(h + 3)};
      if (pointers_end <= it->offset + images_.page_size && start < pointers_end) return false;
      const uint32_t content = sf::Get16(h + 5);
      const int64_t content_at = it->offset + (content == 0 ? 65536 : content);
      if (cut && content_at > pointers_end && start < content_at && end > content_at)
        *cut = content_at;
    }
    return true;
  }

  // True iff the record is this table's: its page's, or, in a page no live
  // table holds, no other table fits it with more live records of its shape.
  bool Belongs(const CarvedRecord& record, const InputBytes& near) const {
    const uint32_t owner = OwnerAt(record.offset);
    if (owner != 0) return owner == target_.root_page;
    if (others_.empty()) return true;
    const auto* p = reinterpret_cast<const uint8_t*>(record.record.data());
    if (const PageImage* image = ImageAt(record.offset)) {
      const int verdict = PageVerdict(*image, near);
      if (verdict >= 0) return verdict == 1;
      // An older image of a page that a table holds now: that table's, when
      // it fits the record.
      const uint32_t now = CurrentOwner(*image);
      if (now == target_.root_page && now != 0) return true;
      for (const CarveTarget& other : others_) {
        FitHeader header;
        if (now != 0 && other.root_page == now &&
            ReadFittingHeader(p, p + record.record.size(), other.table, header))
          return false;
      }
    }
    const uint32_t mine = carver_.live_.ShapeCount(table_.name, record.types);
    for (const CarveTarget& other : others_) {
      FitHeader header;
      if (!ReadFittingHeader(p, p + record.record.size(), other.table, header)) continue;
      if (carver_.live_.ShapeCount(other.table.name, record.types) > mine) return false;
    }
    return true;
  }

  // The record of `cell`, which lies in `bytes` (from input offset `base`).
  CarvedRecord MakeRecord(std::string_view bytes, int64_t base, const PageCell& cell) const {
    CarvedRecord record;
    record.offset = base + cell.header_at;
    record.rowid = cell.rowid;
    record.payload_size = cell.payload_size;
    record.header_size = cell.header.header_size;
    record.types = cell.header.types;
    record.lost.assign(record.types.size(), 0);
    if (cell.first_type_lost) record.lost[0] = 1;
    const uint64_t local_end = std::min<uint64_t>(cell.header_at + cell.local_size,
                                                  cell.cut_at ? cell.cut_at : bytes.size());
    if (cell.rebuilt && cell.header_at < cell.start + 4) {
      // The header's length byte lay in the overwritten bytes: written anew.
      AppendVarint(record.header_size, record.record);
      for (uint64_t type : record.types) AppendVarint(type, record.record);
      const uint64_t body_at = cell.header_at + record.header_size;
      if (body_at < local_end) record.record.append(bytes.substr(body_at, local_end - body_at));
    } else {
      record.record.assign(bytes.substr(cell.header_at, local_end - cell.header_at));
    }
    const size_t local_bytes = record.record.size();
    if (!cell.cut_at && cell.payload_size > cell.local_size) {
      const uint64_t pointer_at = cell.header_at + cell.local_size;
      const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + pointer_at;
      // A chain that does not read whole leaves only the cell's own bytes.
      if (pointer_at + 4 <= bytes.size())
        ReadChainWhole(sf::Get32(p), cell.payload_size - cell.local_size, record.record,
                       record.offset);
    }
    MarkLostValues(record, local_bytes);
    const bool any_lost =
        std::any_of(record.lost.begin(), record.lost.end(), [](uint8_t lost) { return lost != 0; });
    record.recovery = any_lost ? Recovery::kPartial : cell.rebuilt ? Recovery::kRebuilt
                                                                   : Recovery::kIntact;
    return record;
  }

  // A record worth reporting: one whose values did not all go.
  static bool HoldsAValue(const CarvedRecord& record) {
    for (size_t i = 0; i < record.lost.size(); ++i)
      if (record.lost[i] != 1 && record.types[i] != 0) return true;
    return false;
  }

  // When the page image holding `offset` was written, as ReadPageAsOf counts
  // it (0: the database file's), or -1 when there is no such time.
  int64_t ImageTime(int64_t offset) const {
    const PageImage* image = ImageAt(offset);
    if (!image) return -1;
    switch (images_.kind) {
      case PageImages::Kind::kDatabase: return 0;
      case PageImages::Kind::kWal: return image->frame;
      default: return -1;
    }
  }

  // Appends the chain of the record at `offset` and returns true when it
  // reads whole; otherwise appends nothing: a chain that breaks was reused
  // somewhere along it, and where cannot be told. A record in a page image
  // whose time is known reads it first as the pages stood then (read as they
  // stand now, a chain can be whole and yet another record's, its pages freed
  // and reused since), then as they stand now; any other record as they stand
  // now, then (a journal's record) as the journal holds the pages.
  bool ReadChainWhole(uint32_t first, uint64_t need, std::string& out, int64_t offset) const {
    const int64_t time = ImageTime(offset);
    int64_t readings[2];
    int count = 0;
    readings[count++] = time >= 0 ? time : -1;
    if (time >= 0) readings[count++] = -1;
    else if (!journal_pages_.empty()) readings[count++] = kAsTheJournalHolds;
    const size_t base = out.size();
    for (int k = 0; k < count; ++k) {
      ReadChain(first, need, out, readings[k], offset);
      if (out.size() - base == need) return true;
      out.resize(base);
    }
    return false;
  }

  // Appends the chain from page `first`, up to `need` bytes. As the pages
  // stand now (`as_of` -1), a page that a live b-tree holds, that became a
  // freelist trunk (whose first bytes SQLite overwrote) or that another live
  // chain holds ends it; as they stood at `as_of` (ImageTime), only a loop does.
  static constexpr int64_t kAsTheJournalHolds = -2;
  void ReadChain(uint32_t first, uint64_t need, std::string& out, int64_t as_of,
                 int64_t offset) const {
    const DatabaseImage& image = *carver_.image_;
    if (!image.valid()) return;
    // An old copy of a live cell (a page's earlier image, a cell a balance
    // moved) keeps the live cell's chain; a freed cell's chain lies in freed
    // pages, and a live chain there is another record's.
    const bool shares_live_chain = carver_.live_overflow_.count(first) != 0;
    auto in_journal = [&](uint32_t number) {
      return as_of == kAsTheJournalHolds && journal_pages_.count(number) != 0;
    };
    // Read as the database file holds it, a page no committed frame replaces
    // is as it stands now: what holds it now held it then.
    auto as_it_stands = [&](uint32_t number) {
      return as_of < 0 ? !in_journal(number) : as_of == 0 && image.LatestFrame(number) == 0;
    };
    auto taken_since = [&](uint32_t number) {
      return as_it_stands(number) && (carver_.page_owner_.count(number) ||
                           carver_.free_trunks_.count(number) ||
                           (carver_.live_overflow_.count(number) && !shares_live_chain));
    };
    std::string page;
    std::vector<uint32_t> seen;
    const size_t base = out.size();
    for (uint32_t number = first; need > 0 && number != 0;) {
      if (std::find(seen.begin(), seen.end(), number) != seen.end() || taken_since(number))
        return;
      const bool read = in_journal(number) ? ReadJournalPage(number, offset, page)
                        : as_of < 0        ? image.ReadPage(number, page)
                                           : image.ReadPageAsOf(number, as_of, page);
      if (!read) return;
      seen.push_back(number);
      const uint64_t take = std::min<uint64_t>(need, image.usable_size() - 4);
      out.append(page, 4, take);
      need -= take;
      number = sf::Get32(reinterpret_cast<const uint8_t*>(page.data()));
      // SQLite ends a chain with a zero pointer: a page that goes on belongs
      // to another chain or structure now, and so may every page before it.
      if (need == 0 && number != 0) out.resize(base);
    }
  }

  // Page `number` as the journal holds it, for the record at `offset`: the
  // page before the transaction. A journal whose header SQLite zeroed may
  // hold the records of earlier transactions after the last one's, a page
  // more than once: the copy nearest the record is of its transaction.
  bool ReadJournalPage(uint32_t number, int64_t offset, std::string& page) const {
    auto it = journal_pages_.find(number);
    if (it == journal_pages_.end() || images_.page_size != carver_.image_->page_size()) return false;
    int64_t nearest = it->second.front();
    for (int64_t at : it->second)
      if (std::abs(at - offset) < std::abs(nearest - offset)) nearest = at;
    page.resize(images_.page_size);
    return carver_.input_->ReadAt(nearest, page.size(), page.data()) == page.size();
  }

  // Values whose bytes the record does not hold whole are lost; a text or
  // blob cut short keeps the bytes that are there (2), a text only its whole
  // characters. A text that runs into zero bytes was overwritten there (a
  // freelist trunk's page numbers, a zeroed tail): it is cut at its first
  // one, and what follows is lost; past `local`, the end of the cell's own
  // bytes, the zero shows the chain was reused, and where cannot be told, so
  // the record keeps only the cell's bytes.
  static void MarkLostValues(CarvedRecord& record, size_t local) {
    uint64_t at = record.header_size;
    for (size_t i = 0; i < record.types.size(); ++i) {
      const uint64_t begin = at;
      const uint64_t type = record.types[i];
      at += sf::SerialTypeSize(type);
      if (!record.lost[i] && type >= 13 && (type & 1) && begin < record.record.size()) {
        const size_t zero = record.record.find('\0', begin);
        if (zero < std::min<uint64_t>(at, record.record.size()))
          record.record.resize(zero < local ? zero : local);
      }
      if (at <= record.record.size() || record.lost[i]) continue;
      record.lost[i] = begin < record.record.size() && type >= 12 ? 2 : 1;
      if (record.lost[i] == 2 && (type & 1)) {
        const std::string_view kept(record.record.data() + begin, record.record.size() - begin);
        record.record.resize(begin + WithoutCutCharacter(kept));
        if (record.record.size() == begin) record.lost[i] = 1;
      }
    }
  }

  ChunkRecords ScanChunk(int64_t begin, int64_t end) const {
    const int64_t read_from = std::max<int64_t>(0, begin - kLookBehind);
    const int64_t read_to = std::min(carver_.input_->size(), end + kLookAhead);
    const auto length = static_cast<size_t>(read_to - read_from);
    // The page cache's bytes where they lie; a window the file shrank under
    // is read again by copying, which names what cannot be read.
    if (MappedWindow window = carver_.input_->Map(read_from, length)) {
      ChunkRecords mapped = ScanBytes(window.bytes(), read_from, begin, end);
      if (!window.faulted()) return mapped;
    }
    std::string copy(length, '\0');
    copy.resize(carver_.input_->ReadAt(read_from, copy.size(), copy.data()));
    return ScanBytes(copy, read_from, begin, end);
  }

  // ScanChunk over `bytes`, the input from `read_from` on.
  ChunkRecords ScanBytes(std::string_view bytes, int64_t read_from, int64_t begin,
                         int64_t end) const {
    ChunkRecords records;
    records.end = end;
    const InputBytes near{bytes, read_from};
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    const HeaderPrefilter filter(table_);
    PageCell scratch;
    std::vector<uint32_t> candidates;
    const int64_t first = begin - read_from, last = std::min<int64_t>(end - read_from, bytes.size() - 1);
    // Nearer the end than the prefilter reads, no header of the table fits.
    const int64_t stop =
        std::min<int64_t>(last, static_cast<int64_t>(bytes.size()) - filter.reach());
    if (target_.marker.empty())
      filter.Find(b, std::max<int64_t>(first, 2), std::max<int64_t>(stop, 2), candidates);
    else
      FindNearMarker(filter, bytes, std::max<int64_t>(first, 2), stop, candidates);
    const PageImage* image = nullptr;
    uint32_t owner = 0;
    for (const uint32_t at : candidates) {
      // A record in a page another live table holds is that table's: most of
      // a database's bytes, passed over before any reading.
      const int64_t offset = read_from + at;
      if (!image || offset >= image->offset + images_.page_size || offset < image->offset) {
        image = ImageAt(offset);
        owner = image && IsCurrent(*image) ? CurrentOwner(*image) : 0;
      }
      if (owner != 0 && owner != target_.root_page) continue;
      if (!WholeCellAtHeader(bytes, static_cast<uint32_t>(at), table_, usable_, scratch)) continue;
      int64_t cut = 0;
      if (!FitsItsPage(read_from + scratch.start, read_from + scratch.end, near, &cut)) continue;
      if (cut != 0) {
        // Its header must lie before the cut: the serial types are read from it.
        const auto header_end = static_cast<int64_t>(scratch.header_at + scratch.header.header_size);
        if (cut - read_from < header_end) continue;
        scratch.cut_at = static_cast<uint32_t>(cut - read_from);
      }
      const PageCell* cell = &scratch;
      CarvedRecord record = MakeRecord(bytes, read_from, *cell);
      if (DoublesPlausible(record) && Belongs(record, near)) records.whole.push_back(std::move(record));
    }
    records.rebuilt = RebuildFreedCells(near, begin, end);
    if (prepare_) {
      const RecordPreparer prepare = prepare_();
      for (CarvedRecord& record : records.whole) prepare(record);
      for (CarvedRecord& record : records.rebuilt) prepare(record);
    }
    return records;
  }

  // The candidates in [begin, end) with the marker within kMarkerReach after
  // them: the marker is searched first, and only the bytes before each hit
  // are tested (most of an input holds no marker).
  void FindNearMarker(const HeaderPrefilter& filter, std::string_view bytes, int64_t begin,
                      int64_t end, std::vector<uint32_t>& candidates) const {
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    candidates.clear();
    std::vector<uint32_t> near;
    int64_t tested_to = begin;
    for (const int64_t hit : MarkerHits(bytes, begin, target_.marker)) {
      const int64_t from = std::max(tested_to, hit - kMarkerReach);
      const int64_t to = std::min(end, hit + 1);
      if (from >= to) continue;
      filter.Find(b, from, to, near);
      candidates.insert(candidates.end(), near.begin(), near.end());
      tested_to = to;
    }
  }

  // Rebuilt cells of the freeblocks of the page images that start in
  // [begin, end), by offset. `bytes` holds the input from `read_from` on.
  std::vector<CarvedRecord> RebuildFreedCells(const InputBytes& near, int64_t begin,
                                              int64_t end) const {
    std::vector<CarvedRecord> records;
    if (images_.page_size == 0) return records;
    auto image = std::lower_bound(
        images_.images.begin(), images_.images.end(), begin,
        [](const PageImage& image, int64_t at) { return image.offset < at; });
    std::string read;
    FreedCellRebuilder rebuilder(table_, usable_);
    for (; image != images_.images.end() && image->offset < end; ++image) {
      const std::string_view page = PageBytes(*image, near, read);
      if (page.empty()) continue;
      if (!target_.marker.empty() && page.find(target_.marker) == std::string_view::npos) continue;
      RebuildImage(page, *image, near, rebuilder, records);
    }
    std::sort(records.begin(), records.end(), ByOffset);
    return records;
  }

  void RebuildImage(std::string_view page, const PageImage& image, const InputBytes& near,
                    FreedCellRebuilder& rebuilder, std::vector<CarvedRecord>& records) const {
    const uint32_t header_offset = image.page_number == 1 ? 100 : 0;
    const uint32_t owner = OwnerAt(image.offset);
    if (owner != 0 && owner != target_.root_page) return;
    auto keep = [&](const std::vector<PageCell>& cells) {
      for (const PageCell& cell : cells) {
        if (!cell.rebuilt) continue;
        CarvedRecord record = MakeRecord(page, image.offset, cell);
        if (HoldsAValue(record) && DoublesPlausible(record) && Belongs(record, near))
          records.push_back(std::move(record));
      }
    };
    const std::vector<FreeRegion> regions = FreeRegionsOf(page, header_offset, images_.usable_size);
    if (regions.empty() && static_cast<uint8_t>(page[header_offset]) != 0x0D &&
        !LooksLikeBtreePage(page, header_offset)) {
      // A freelist trunk, or a page whose header is gone: old freeblock
      // headers are all that mark its cells.
      keep(rebuilder.CellsAtStaleHeaders(page, 8, images_.usable_size));
      return;
    }
    for (const FreeRegion& region : regions) {
      keep(region.freeblock ? rebuilder.CellsInFreeRegion(page, region.start, region.limit)
                            : rebuilder.CellsAtStaleHeaders(page, region.start, region.limit));
    }
  }

  TableCarver& carver_;
  const CarveTarget& target_;
  std::vector<CarveTarget> others_;
  FitTable table_;
  const PreparerFactory& prepare_;
  PageImages images_;
  // In a journal: each page's copies, by offset.
  std::unordered_map<uint32_t, std::vector<int64_t>> journal_pages_;
  uint32_t usable_ = 0;
  // PageVerdict's answers by image offset; the scan's workers share them.
  mutable std::mutex verdicts_mutex_;
  mutable std::map<int64_t, int> verdicts_;
};

TableCarver::TableCarver(const std::string& input_path, int threads)
    : TableCarver(std::make_shared<FileSource>(input_path), DatabaseImage::ForInput(input_path),
                  threads) {}

TableCarver::TableCarver(std::shared_ptr<const ByteSource> input,
                         std::unique_ptr<DatabaseImage> image, int threads)
    : input_(std::move(input)),
      image_(std::move(image)),
      threads_(threads > 0 ? threads : 2) {
  if (!image_->valid()) return;
  // One walk of the live tables gives their rows and where their pages lie.
  LivePages pages;
  live_ = LiveRows(*image_, &pages);
  page_owner_ = std::move(pages.owner);
  live_overflow_ = std::move(pages.overflow);
  // The schema table's own pages.
  std::vector<uint32_t> schema_pages;
  image_->ForEachRow(1, [](int64_t, std::string_view) {}, &schema_pages);
  for (uint32_t page : schema_pages) page_owner_.emplace(page, 1);
  for (const DatabaseImage::FreePage& page : image_->FreelistPages())
    if (page.trunk) free_trunks_.insert(page.number);
}

TableCarver::~TableCarver() = default;

bool TableCarver::Carve(const CarveTarget& target, const std::vector<CarveTarget>& others,
                        const std::function<void(const CarvedRecord&)>& sink,
                        ProgressSink* progress, int64_t first, int64_t end,
                        const PreparerFactory& prepare) {
  if (target.table.columns.empty()) return true;
  Run run(*this, target, others, prepare);
  return run.Deliver(sink, progress, first, end);
}

}  // namespace quarrow
