#include "pagemap/database_walk.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "pagemap/sqlite_format.h"
#include "pagemap/wal_index.h"

namespace quarrow {
namespace {

using sqlite_format::BtreePageHeader;
using sqlite_format::CellExtent;
using sqlite_format::DatabaseHeader;
using sqlite_format::Get16;
using sqlite_format::Get32;
using sqlite_format::PageType;

// The schema record's rootpage column, and more than enough of it to read it.
constexpr int kRootPageColumn = 3;
constexpr size_t kSchemaPrefixLimit = 1 << 16;
constexpr int64_t kReadOverhead = 64;

// Pages of the database as SQLite reads them.
class PageReader {
 public:
  PageReader(const MapDatabaseRequest& request, const WalIndex* wal, uint32_t page_size,
             int64_t file_pages, uint32_t page_count, WalkBudget& budget)
      : request_(request), wal_(wal), page_size_(page_size), file_pages_(file_pages),
        page_count_(page_count), budget_(budget) {}

  uint32_t page_count() const { return page_count_; }
  bool InRange(uint32_t page) const { return page >= 1 && page <= page_count_; }
  bool BudgetLeft() const { return budget_.read_bytes > 0; }

  // Reads the first `length` bytes of `page` (zeros past the file's end);
  // false when the page does not exist or the budget is spent.
  bool Read(uint32_t page, size_t length, std::string& out) const {
    if (!Charge(page, length)) return false;
    // A reused buffer is not cleared first: only what the file lacks is zeroed.
    out.resize(length);
    size_t got = 0;
    if (int64_t frame = wal_ != nullptr ? wal_->FrameOf(page) : 0; frame != 0) {
      got = request_.wal->ReadAt(wal_->PageImageOffset(frame), length, out.data());
    } else if (page <= file_pages_) {
      got = request_.file->ReadAt(request_.base + int64_t{page - 1} * page_size_, length,
                                  out.data());
    } else {
      std::fill(out.begin(), out.end(), '\0');
      return false;
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(std::min(got, length)), out.end(), '\0');
    return true;
  }

  // The same as Read, but a page lying whole in the bytes the caller holds
  // (MapDatabaseRequest::held) is viewed there instead of copied to `scratch`.
  bool View(uint32_t page, size_t length, std::string& scratch, std::string_view& out) const {
    const int64_t into = request_.base + int64_t{page - 1} * page_size_ - request_.held_start;
    const size_t held = std::min<size_t>(length, page_size_);
    if (page <= file_pages_ && (wal_ == nullptr || wal_->FrameOf(page) == 0) && into >= 0 &&
        into + static_cast<int64_t>(held) <= static_cast<int64_t>(request_.held.size())) {
      if (!Charge(page, length)) return false;
      out = request_.held.substr(static_cast<size_t>(into), length);
      return true;
    }
    const bool read = Read(page, length, scratch);
    out = scratch;
    return read;
  }

  // Where Read takes `page` from, as CellSite::where gives it.
  uint64_t Where(uint32_t page) const {
    if (int64_t frame = wal_ != nullptr ? wal_->FrameOf(page) : 0; frame != 0)
      return static_cast<uint64_t>(wal_->PageImageOffset(frame)) << 1 | 1;
    return static_cast<uint64_t>(request_.base + int64_t{page - 1} * page_size_) << 1;
  }

 private:
  // False when `page` does not exist or the budget is spent; else clamps
  // `length` to the page and charges the read: its bytes and a fixed share
  // for the call itself.
  bool Charge(uint32_t page, size_t& length) const {
    if (!InRange(page) || budget_.read_bytes <= 0) return false;
    length = std::min<size_t>(length, page_size_);
    const int64_t cost = static_cast<int64_t>(length) + kReadOverhead;
    budget_.read_bytes -= cost;
    budget_.read_total += cost;
    return true;
  }

  const MapDatabaseRequest& request_;
  const WalIndex* wal_;
  uint32_t page_size_;
  int64_t file_pages_;
  uint32_t page_count_;
  WalkBudget& budget_;
};

uint64_t SerialTypeSize(uint64_t type) {
  static constexpr uint8_t kSizes[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  if (type < 12) return kSizes[type];
  return (type - 12) / 2;
}

// Reads the rootpage column of a schema record; 0 when it is not an integer
// or lies outside `record`.
uint32_t SchemaRootPage(std::string_view record) {
  const auto* p = reinterpret_cast<const uint8_t*>(record.data());
  const uint8_t* end = p + record.size();
  uint64_t header_size = 0;
  int n = sqlite_format::GetVarint(p, end, header_size);
  if (n == 0 || header_size > record.size()) return 0;
  const uint8_t* types = p + n;
  const uint8_t* types_end = p + header_size;
  uint64_t body_at = header_size;
  for (int column = 0; column <= kRootPageColumn; ++column) {
    uint64_t type = 0;
    if (types >= types_end) return 0;
    n = sqlite_format::GetVarint(types, types_end, type);
    if (n == 0) return 0;
    types += n;
    if (column < kRootPageColumn) {
      body_at += SerialTypeSize(type);
      continue;
    }
    if (type == 8) return 0;
    if (type == 9) return 1;
    if (type < 1 || type > 4 || body_at + type > record.size()) return 0;
    uint64_t value = 0;
    for (uint64_t i = 0; i < type; ++i) value = (value << 8) | p[body_at + i];
    // A negative or oversized page number is no page.
    if ((p[body_at] & 0x80) != 0 || value > 0xffffffffu) return 0;
    return static_cast<uint32_t>(value);
  }
  return 0;
}

class Walker {
 public:
  Walker(const PageReader& reader, uint32_t usable_size, bool read_leaves,
         WalkBudget& budget, MappedDatabase& out)
      : reader_(reader), usable_size_(usable_size), read_leaves_(read_leaves),
        budget_(budget), out_(out), kinds_(out.kinds) {}

  void WalkSchemaAndTrees() {
    std::vector<uint32_t> roots;
    WalkTree(1, /*read_leaves=*/true, &roots);
    for (uint32_t root : roots) WalkTree(root, read_leaves_, nullptr);
  }

  void WalkFreelist(uint32_t trunk) {
    const uint32_t max_leaves = usable_size_ / 4 - 2;
    std::string page;
    // Each trunk is claimed before it is read, so a loop in the chain ends.
    while (Claim(trunk, kFreelistTrunkPage)) {
      if (!reader_.Read(trunk, usable_size_, page)) return;
      const auto* p = reinterpret_cast<const uint8_t*>(page.data());
      const uint32_t count = std::min(Get32(p + 4), max_leaves);
      for (uint32_t i = 0; i < count; ++i) Claim(Get32(p + 8 + 4 * i), kFreelistLeafPage);
      trunk = Get32(p);
    }
  }

 private:
  bool Claim(uint32_t page, uint8_t kind) {
    if (!reader_.InRange(page) || kinds_[page - 1] != kUnknownPage) return false;
    kinds_[page - 1] = kind;
    return true;
  }

  // Walks the tree at `root`; a page already claimed is not walked again. With
  // `roots`, collects the rootpage of every leaf cell's record (the schema).
  void WalkTree(uint32_t root, bool read_leaves, std::vector<uint32_t>* roots) {
    // The root's own type byte says which kind of tree it is.
    if (!reader_.InRange(root) || kinds_[root - 1] != kUnknownPage) return;
    BtreePageHeader header;
    if (!ReadBtreePage(root, header)) {
      kinds_[root - 1] = kBrokenPage;
      return;
    }
    const uint8_t family =
        sqlite_format::IsTablePage(header.type) ? kTableTreePage : kIndexTreePage;
    kinds_[root - 1] = family;
    std::vector<uint32_t> pending{root};
    bool root_read = true;
    while (!pending.empty() && reader_.BudgetLeft()) {
      const uint32_t page = pending.back();
      pending.pop_back();
      if (!root_read && !ReadBtreePage(page, header)) continue;
      root_read = false;
      if (!SameFamily(header.type, family)) {
        kinds_[page - 1] = kBrokenPage;
        continue;
      }
      VisitCells(page, header, roots);
      if (sqlite_format::IsLeafPage(header.type)) continue;
      ClaimChildren(header, family, read_leaves, pending);
    }
  }

  static bool SameFamily(PageType type, uint8_t family) {
    return family == kTableTreePage ? sqlite_format::IsTablePage(type)
                                    : sqlite_format::IsIndexPage(type);
  }

  bool ReadBtreePage(uint32_t page, BtreePageHeader& header) {
    return reader_.View(page, usable_size_, page_scratch_, page_) &&
           sqlite_format::ParseBtreePageHeader(page_, page == 1 ? 100 : 0, usable_size_,
                                               header);
  }

  // Claims the children of the interior page in page_. Children that are
  // leaves are claimed without being read unless leaves are to be read.
  void ClaimChildren(const BtreePageHeader& header, uint8_t family, bool read_leaves,
                     std::vector<uint32_t>& pending) {
    std::vector<uint32_t>& children = children_;
    children.clear();
    const auto* p = reinterpret_cast<const uint8_t*>(page_.data());
    for (uint32_t i = 0; i < header.cell_count; ++i) {
      const uint32_t cell = Get16(p + header.pointers_begin + 2 * i);
      if (cell + 4 <= usable_size_ && cell >= header.pointers_end)
        children.push_back(Get32(p + cell));
    }
    children.push_back(header.right_child);
    bool leaves = false;
    if (!read_leaves) {
      // A b-tree's leaves all lie at one depth: the first child tells.
      for (uint32_t child : children) {
        if (!reader_.InRange(child) || kinds_[child - 1] != kUnknownPage) continue;
        if (reader_.Read(child, child == 1 ? 101 : 1, probe_))
          leaves = sqlite_format::IsLeafPage(static_cast<PageType>(probe_.back()));
        break;
      }
    }
    for (uint32_t child : children) {
      if (Claim(child, family) && !leaves) pending.push_back(child);
    }
  }

  // Hashes live table-leaf cells and claims overflow chains of the page in page_.
  void VisitCells(uint32_t page, const BtreePageHeader& header,
                  std::vector<uint32_t>* roots) {
    const bool leaf_read = sqlite_format::IsLeafPage(header.type);
    if (header.type == PageType::kTableInterior) return;
    if (leaf_read && !read_leaves_ && roots == nullptr) return;
    const std::string_view page_bytes = page_;  // chain reads use their own buffer
    const auto* p = reinterpret_cast<const uint8_t*>(page_bytes.data());
    for (uint32_t i = 0; i < header.cell_count; ++i) {
      const uint32_t start = Get16(p + header.pointers_begin + 2 * i);
      if (start < header.pointers_end) continue;
      CellExtent cell;
      if (!sqlite_format::ReadCellExtent(page_bytes, usable_size_, header.type, start, cell))
        continue;
      const uint64_t local_end = uint64_t{start} + cell.payload_offset + cell.local_size;
      const bool local_whole = local_end <= usable_size_;
      std::string_view local;
      if (local_whole)
        local = std::string_view(page_bytes).substr(start + cell.payload_offset,
                                                    cell.local_size);
      std::string record;
      std::string* collect = nullptr;
      if (roots != nullptr && header.type == PageType::kTableLeaf && local_whole) {
        record.assign(local);
        collect = &record;
      }
      if (cell.overflow_page != 0)
        FollowOverflow(cell.overflow_page, cell.payload_size - cell.local_size, collect);
      if (header.type != PageType::kTableLeaf || !local_whole) continue;
      if (roots != nullptr) {
        if (uint32_t root = SchemaRootPage(record); root != 0) roots->push_back(root);
      }
      if (read_leaves_ && budget_.cell_hashes > 0) {
        --budget_.cell_hashes;
        out_.cell_hashes.push_back(CellHash(cell.rowid, cell.payload_size, local));
        // The same record freed into a freeblock loses the bytes up to its
        // header length (SQLite writes the freeblock's header there): it is
        // known by the rest, when the header length is one byte.
        if (!local.empty() && static_cast<uint8_t>(local[0]) < 0x80)
          out_.body_hashes.push_back(CellHash(kBodyKeyRowid, cell.payload_size, local.substr(1)));
      }
      if (read_leaves_ && budget_.cell_sites > 0) AddSite(page, start, cell, local);
    }
  }

  void AddSite(uint32_t page, uint32_t start, const CellExtent& cell, std::string_view local) {
    const auto* p = reinterpret_cast<const uint8_t*>(local.data());
    uint64_t header_size = 0, record_size = 0;
    if (!sqlite_format::ParseRecordHeader(p, p + local.size(), header_size, record_size))
      return;
    --budget_.cell_sites;
    out_.cell_sites.push_back(
        CellSite{SiteKey(cell.payload_size, local.substr(0, LeadSize(header_size, local.size()))),
                 reader_.Where(page) + (uint64_t{start} << 1)});
  }

  // Claims the chain's pages; with `collect`, appends their content to it up to
  // the schema prefix limit.
  void FollowOverflow(uint32_t page, uint64_t remaining, std::string* collect) {
    const uint32_t content = usable_size_ - 4;
    std::string bytes;
    while (remaining > 0 && Claim(page, kOverflowPage)) {
      const bool want = collect != nullptr && collect->size() < kSchemaPrefixLimit;
      if (!reader_.Read(page, want ? usable_size_ : 4, bytes)) return;
      const uint64_t here = std::min<uint64_t>(remaining, content);
      if (want) collect->append(bytes, 4, static_cast<size_t>(here));
      remaining -= here;
      page = Get32(reinterpret_cast<const uint8_t*>(bytes.data()));
    }
  }

  const PageReader& reader_;
  uint32_t usable_size_;
  bool read_leaves_;
  WalkBudget& budget_;
  MappedDatabase& out_;
  std::vector<uint8_t>& kinds_;
  std::string_view page_;       // the page read last: in the held bytes, or page_scratch_
  std::string page_scratch_;
  // Scratch of ClaimChildren, kept for the next page.
  std::vector<uint32_t> children_;
  std::string probe_;
};

bool ReadHeaderAt(const ByteSource& source, int64_t offset, DatabaseHeader& header) {
  std::string bytes(sqlite_format::kDatabaseHeaderSize, '\0');
  if (source.ReadAt(offset, bytes.size(), bytes.data()) != bytes.size()) return false;
  return sqlite_format::ParseDatabaseHeader(bytes, header);
}

inline uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v;
  h *= 0xbf58476d1ce4e5b9ull;
  return h ^ (h >> 31);
}

}  // namespace

uint64_t CellHash(int64_t rowid, uint64_t payload_size, std::string_view local) {
  uint64_t h = Mix(Mix(0x9e3779b97f4a7c15ull, static_cast<uint64_t>(rowid)), payload_size);
  size_t i = 0;
  for (; i + 8 <= local.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, local.data() + i, 8);
    h = Mix(h, word);
  }
  uint64_t tail = local.size() - i;
  for (; i < local.size(); ++i) tail = (tail << 8) | static_cast<uint8_t>(local[i]);
  h = Mix(h, tail);
  return Mix(h, local.size());
}

uint64_t SiteKey(uint64_t payload_size, std::string_view lead) {
  // Apart from CellHash's keys: no rowid is mixed in.
  return Mix(CellHash(kBodyKeyRowid + 1, payload_size, lead), 0x5173);
}

bool MapDatabase(const MapDatabaseRequest& request, WalkBudget& budget,
                 MappedDatabase& out) {
  out = MappedDatabase{};
  DatabaseHeader header;
  const bool file_header = ReadHeaderAt(*request.file, request.base, header);

  WalIndex wal;
  if (request.wal != nullptr) wal = ReadWalIndex(*request.wal);
  bool use_wal = wal.header_valid && wal.committed_frames > 0 &&
                 (!file_header || wal.page_size == header.page_size);
  // A fresh database may live in its log alone: page 1 then comes from there.
  if (use_wal) {
    if (int64_t frame = wal.FrameOf(1); frame != 0) {
      DatabaseHeader logged;
      if (ReadHeaderAt(*request.wal, wal.PageImageOffset(frame), logged) &&
          logged.page_size == wal.page_size)
        header = logged;
      else
        use_wal = false;
    } else if (!file_header) {
      use_wal = false;
    }
  }
  if (!file_header && !use_wal) return false;

  const uint32_t page_size = header.page_size;
  const int64_t available = std::max<int64_t>(0, request.file->size() - request.base);
  int64_t file_pages = (available + page_size - 1) / page_size;
  if (!file_header) file_pages = 0;  // the file holds no database of its own
  if (!request.whole_file && header.page_count != 0)
    file_pages = std::min<int64_t>(file_pages, header.page_count);

  // The database's size as SQLite would take it, never past what exists.
  int64_t page_count = file_pages;
  if (use_wal) {
    page_count = std::min<int64_t>(wal.database_pages,
                                   std::max<int64_t>(file_pages, wal.HighestPage()));
  } else if (request.whole_file && header.page_count_valid) {
    page_count = std::min<int64_t>(header.page_count, file_pages);
  }
  page_count = std::min<int64_t>(page_count, 0xffffffffll);
  const int64_t kind_bytes = std::max(page_count, file_pages);
  if (kind_bytes > budget.kind_bytes || budget.read_bytes <= 0) return false;
  budget.kind_bytes -= kind_bytes;

  out.page_size = page_size;
  out.usable_size = header.usable_size;
  out.wal_applied = use_wal;
  out.wal_committed_frames = use_wal ? wal.committed_frames : 0;
  out.kinds.assign(static_cast<size_t>(page_count), kUnknownPage);

  PageReader reader(request, use_wal ? &wal : nullptr, page_size, file_pages,
                    static_cast<uint32_t>(page_count), budget);
  Walker walker(reader, header.usable_size, request.read_leaves, budget, out);
  walker.WalkSchemaAndTrees();
  walker.WalkFreelist(header.freelist_trunk);

  // From here on the kinds describe the file's own pages.
  out.kinds.resize(static_cast<size_t>(file_pages), kUnknownPage);
  if (use_wal) {
    for (const auto& [page, frame] : wal.latest_frame) {
      if (page <= file_pages) out.kinds[page - 1] |= kSupersededBit;
    }
  }
  return true;
}

}  // namespace quarrow
