#include "pagemap/page_layout.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <limits>
#include <unordered_map>

#include "engine/database_starts.h"
#include "pagemap/database_walk.h"
#include "pagemap/journal_index.h"
#include "pagemap/sqlite_format.h"
#include "pagemap/wal_index.h"
#include "pagemap/segment_list.h"
#include "text_rule/error.h"

namespace quarrow {

using sqlite_format::BtreePageHeader;
using sqlite_format::Get16;
using sqlite_format::Get32;
using sqlite_format::PageType;

struct PageLayout::Database {
  int64_t start = 0;
  int64_t page_size = 0;
  std::vector<uint8_t> kinds;    // database_walk.h's, one per page of the file
  std::vector<uint16_t> owners;  // tree index + 1 of each page; 0: none
};

namespace {

constexpr size_t kScanChunk = size_t{1} << 20;
// Owners are two bytes: schemas naming more trees leave the rest unnamed.
constexpr size_t kMaxTrees = 65535;
constexpr char kSchemaTable[] = "sqlite_schema";

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() > suffix.size() &&
         std::string_view(text).substr(text.size() - suffix.size()) == suffix;
}

std::shared_ptr<const ByteSource> OpenWalBeside(const std::string& path) {
  if (EndsWith(path, "-wal") || EndsWith(path, "-journal")) return nullptr;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path + "-wal", error)) return nullptr;
  try {
    return std::make_shared<FileSource>(path + "-wal");
  } catch (const Error&) {
    return nullptr;  // the layout is drawn without it
  }
}

// One row of a schema table: what kind of tree, its names and root page.
struct SchemaEntry {
  bool index = false;
  std::string name;
  std::string table;
  uint32_t root = 0;
};

// Reads columns type, name, tbl_name and rootpage of a schema record lying in
// `record` (its local payload); false when they do not lie whole in it or
// the row is no table or index.
bool ParseSchemaRecord(std::string_view record, SchemaEntry& entry) {
  const auto* p = reinterpret_cast<const uint8_t*>(record.data());
  const uint8_t* end = p + record.size();
  uint64_t header_size = 0;
  int n = sqlite_format::GetVarint(p, end, header_size);
  if (n == 0 || header_size > record.size()) return false;
  const uint8_t* types = p + n;
  const uint8_t* types_end = p + header_size;
  uint64_t at = header_size;
  std::array<std::string_view, 3> texts;
  for (int column = 0; column < 4; ++column) {
    uint64_t type = 0;
    if (types >= types_end || (n = sqlite_format::GetVarint(types, types_end, type)) == 0)
      return false;
    types += n;
    const uint64_t size = sqlite_format::SerialTypeSize(type);
    if (size > record.size() || at > record.size() - size) return false;
    if (column < 3) {
      if (type < 13 || type % 2 == 0) return false;  // not a text
      texts[column] = record.substr(at, size);
    } else if (type == 9) {
      entry.root = 1;
    } else if (type >= 1 && type <= 4 && (p[at] & 0x80) == 0) {
      uint64_t value = 0;
      for (uint64_t i = 0; i < size; ++i) value = (value << 8) | p[at + i];
      entry.root = value <= 0xffffffffu ? static_cast<uint32_t>(value) : 0;
    } else {
      entry.root = 0;
    }
    at += size;
  }
  if (texts[0] != "table" && texts[0] != "index") return false;
  entry.index = texts[0] == "index";
  entry.name = texts[1];
  entry.table = texts[2];
  return entry.root != 0;
}

// Pages of one database as SQLite reads them (the latest committed WAL frame,
// else the file), for naming its b-tree pages. Every read is charged to a
// shared budget of page reads.
class TreePageReader {
 public:
  TreePageReader(const ByteSource& file, int64_t base, int64_t file_pages, int64_t page_count,
                 uint32_t page_size, const WalIndex* wal, const ByteSource* wal_file,
                 int64_t& reads_left)
      : file_(file), base_(base), file_pages_(file_pages), page_count_(page_count),
        page_size_(page_size), wal_(wal), wal_file_(wal_file), reads_left_(reads_left) {}

  int64_t page_count() const { return page_count_; }
  bool InRange(uint32_t page) const { return page >= 1 && page <= page_count_; }
  bool BudgetLeft() const { return reads_left_ > 0; }

  // The first `length` bytes of `page` (zeros past what exists); false when
  // the page does not exist or the budget is spent.
  bool Read(uint32_t page, size_t length, std::string& out) const {
    if (!InRange(page) || reads_left_ <= 0) return false;
    --reads_left_;
    length = std::min<size_t>(length, page_size_);
    out.assign(length, '\0');
    size_t got = 0;
    if (int64_t frame = wal_ != nullptr ? wal_->FrameOf(page) : 0; frame != 0) {
      got = wal_file_->ReadAt(wal_->PageImageOffset(frame), length, out.data());
    } else if (page <= file_pages_) {
      got = file_.ReadAt(base_ + int64_t{page - 1} * page_size_, length, out.data());
    } else {
      return false;
    }
    return got > 0;
  }

 private:
  const ByteSource& file_;
  int64_t base_;
  int64_t file_pages_;
  int64_t page_count_;
  uint32_t page_size_;
  const WalIndex* wal_;
  const ByteSource* wal_file_;
  int64_t& reads_left_;
};

// Names the b-tree pages of one database: walks the schema table (reading
// its leaves for the rows), then each table's and index's tree from its root
// page, in schema order, as the page map's walk does, so that each page goes
// to the tree that walk gave it. Leaves of other trees are not read: the
// first child of an interior page tells whether its children are leaves.
class TreeNamer {
 public:
  using Intern = std::function<uint16_t(const SchemaEntry&)>;

  TreeNamer(const TreePageReader& reader, uint32_t usable_size, std::vector<uint16_t>& owners,
            Intern intern)
      : reader_(reader), usable_size_(usable_size), owners_(owners),
        intern_(std::move(intern)),
        visited_(static_cast<size_t>(reader.page_count()) + 1, false) {}

  void NameAll() {
    std::vector<SchemaEntry> entries;
    SchemaEntry schema{false, kSchemaTable, kSchemaTable, 1};
    WalkTree(1, intern_(schema), &entries);
    for (const SchemaEntry& entry : entries) WalkTree(entry.root, intern_(entry), nullptr);
  }

 private:
  void Claim(uint32_t page, uint16_t owner) {
    if (page <= owners_.size()) owners_[page - 1] = owner;
  }

  void WalkTree(uint32_t root, uint16_t owner, std::vector<SchemaEntry>* entries) {
    if (!reader_.InRange(root) || visited_[root]) return;
    visited_[root] = true;
    std::vector<uint32_t> pending{root};
    std::string page;
    while (!pending.empty() && reader_.BudgetLeft()) {
      const uint32_t number = pending.back();
      pending.pop_back();
      Claim(number, owner);
      BtreePageHeader header;
      if (!reader_.Read(number, usable_size_, page) ||
          !sqlite_format::ParseBtreePageHeader(page, number == 1 ? 100 : 0, usable_size_,
                                               header))
        continue;
      if (sqlite_format::IsLeafPage(header.type)) {
        if (entries != nullptr && header.type == PageType::kTableLeaf)
          ReadSchemaRows(page, header, *entries);
        continue;
      }
      ClaimChildren(page, header, owner, entries != nullptr, pending);
    }
  }

  void ClaimChildren(const std::string& page, const BtreePageHeader& header, uint16_t owner,
                     bool read_leaves, std::vector<uint32_t>& pending) {
    const auto* p = reinterpret_cast<const uint8_t*>(page.data());
    std::vector<uint32_t> children;
    for (uint32_t i = 0; i < header.cell_count; ++i) {
      const uint32_t cell = Get16(p + header.pointers_begin + 2 * i);
      // A child pointer lies inside the content area.
      if (cell >= header.pointers_end && cell + 4 <= usable_size_) children.push_back(Get32(p + cell));
    }
    children.push_back(header.right_child);
    bool leaves = false;
    if (!read_leaves) {
      for (uint32_t child : children) {
        if (!reader_.InRange(child) || visited_[child]) continue;
        if (reader_.Read(child, child == 1 ? 101 : 1, probe_) && !probe_.empty())
          leaves = sqlite_format::IsLeafPage(static_cast<PageType>(probe_.back()));
        break;
      }
    }
    for (uint32_t child : children) {
      if (!reader_.InRange(child) || visited_[child]) continue;
      visited_[child] = true;
      if (leaves) {
        Claim(child, owner);
      } else {
        pending.push_back(child);
      }
    }
  }

  void ReadSchemaRows(const std::string& page, const BtreePageHeader& header,
                      std::vector<SchemaEntry>& entries) {
    const auto* p = reinterpret_cast<const uint8_t*>(page.data());
    for (uint32_t i = 0; i < header.cell_count; ++i) {
      const uint32_t start = Get16(p + header.pointers_begin + 2 * i);
      sqlite_format::CellExtent cell;
      if (start < header.pointers_end ||
          !sqlite_format::ReadCellExtent(page, usable_size_, header.type, start, cell))
        continue;
      const uint64_t local_at = uint64_t{start} + cell.payload_offset;
      // The local payload lies inside the usable area.
      if (local_at + cell.local_size > usable_size_) continue;
      SchemaEntry entry;
      if (ParseSchemaRecord(std::string_view(page).substr(local_at, cell.local_size), entry))
        entries.push_back(std::move(entry));
    }
  }

  const TreePageReader& reader_;
  uint32_t usable_size_;
  std::vector<uint16_t>& owners_;
  Intern intern_;
  std::vector<bool> visited_;
  std::string probe_;
};

PageRole RoleOfKind(uint8_t kind) {
  if ((kind & kSupersededBit) != 0) return PageRole::kSuperseded;
  switch (kind & kKindMask) {
    case kTableTreePage: return PageRole::kTable;
    case kIndexTreePage: return PageRole::kIndex;
    case kFreelistTrunkPage: return PageRole::kFreelistTrunk;
    case kFreelistLeafPage: return PageRole::kFreelistLeaf;
    case kOverflowPage: return PageRole::kOverflow;
    default: return PageRole::kUnmapped;
  }
}

}  // namespace

std::string_view PageRoleText(PageRole role) {
  switch (role) {
    case PageRole::kTable: return "table";
    case PageRole::kIndex: return "index";
    case PageRole::kFreelistTrunk: return "freelist trunk";
    case PageRole::kFreelistLeaf: return "freelist leaf";
    case PageRole::kOverflow: return "overflow";
    case PageRole::kSuperseded: return "superseded";
    case PageRole::kWalFrame: return "WAL frame";
    case PageRole::kJournalImage: return "journal image";
    case PageRole::kUnmapped: break;
  }
  return "unmapped";
}

// Reads the input once and maps what lies in it.
class PageLayout::Builder {
 public:
  Builder(PageLayout& layout, const ByteSource& input, const ByteSource* wal,
          bool named_journal, const LayoutOptions& options)
      : layout_(layout), input_(input), wal_(wal), named_journal_(named_journal),
        options_(options) {
    const int64_t total = input.size() + (wal ? wal->size() : 0);
    // As the page map budgets its walks: work in proportion to the input.
    budget_.read_bytes = 4 * total + (int64_t{16} << 20);
    budget_.kind_bytes = 2 * (total / kDatabaseSector) + 65536;
    tree_reads_left_ = 2 * (total / kDatabaseSector) + 65536;
  }

  void Build() {
    layout_.input_size_ = input_.size();
    uint8_t head[32] = {};
    const size_t got = input_.ReadAt(0, sizeof head, reinterpret_cast<char*>(head));
    LayoutSummary& summary = layout_.summary_;
    if (got >= sqlite_format::kDatabaseMagicSize && sqlite_format::IsDatabaseMagic(head)) {
      summary.input = LayoutSummary::Input::kDatabase;
      own_database_ = MapDatabaseAt(0, /*whole_file=*/true, wal_);
    } else if (got >= 8 && IsWalMagic(head)) {
      summary.input = LayoutSummary::Input::kWal;
      MapWal();
    } else if (got >= 8 && (IsJournalMagic(head) || (named_journal_ && IsBlankJournalMagic(head)))) {
      summary.input = LayoutSummary::Input::kJournal;
      MapJournal();
    }
    ScanForDatabases();
  }

 private:
  bool MapDatabaseAt(int64_t base, bool whole_file, const ByteSource* wal) {
    MapDatabaseRequest request;
    request.file = &input_;
    request.base = base;
    request.whole_file = whole_file;
    request.wal = wal;
    // Overflow chains are found only from the leaves' cells. The budget holds
    // no copy-test entries, so reading leaves costs reads, not memory.
    request.read_leaves = true;
    MappedDatabase mapped;
    if (!MapDatabase(request, budget_, mapped)) return false;
    const auto file_pages = static_cast<int64_t>(mapped.kinds.size());
    const int64_t end = std::min(input_.size(), base + file_pages * mapped.page_size);
    if (end <= base) return false;

    Database database;
    database.start = base;
    database.page_size = mapped.page_size;
    database.owners.assign(mapped.kinds.size(), 0);
    NameTrees(request, mapped, database.owners);
    database.kinds = std::move(mapped.kinds);

    LayoutSummary& summary = layout_.summary_;
    if (summary.page_size == 0) summary.page_size = mapped.page_size;
    if (base == 0 && wal != nullptr) summary.wal_applied = mapped.wal_applied;
    ++summary.databases;
    layout_.databases_.push_back(std::move(database));
    layout_.AssignSegment(base, end,
                          Segment{.type = Segment::Type::kDatabase,
                                  .index = static_cast<uint32_t>(layout_.databases_.size() - 1)});
    return true;
  }

  void NameTrees(const MapDatabaseRequest& request, const MappedDatabase& mapped,
                 std::vector<uint16_t>& owners) {
    WalIndex wal;
    const auto file_pages = static_cast<int64_t>(mapped.kinds.size());
    int64_t page_count = file_pages;
    if (mapped.wal_applied) {
      wal = ReadWalIndex(*request.wal);
      page_count = std::min<int64_t>(wal.database_pages,
                                     std::max<int64_t>(file_pages, wal.HighestPage()));
    }
    const TreePageReader reader(*request.file, request.base, file_pages, page_count,
                                mapped.page_size, mapped.wal_applied ? &wal : nullptr,
                                request.wal, tree_reads_left_);
    TreeNamer namer(reader, mapped.usable_size, owners,
                    [this](const SchemaEntry& entry) { return Intern(entry); });
    namer.NameAll();
  }

  uint16_t Intern(const SchemaEntry& entry) {
    std::string key = entry.name;
    key += '\0';
    key += entry.table;
    key += entry.index ? 'i' : 't';
    auto it = tree_ids_.find(key);
    if (it != tree_ids_.end()) return it->second;
    std::vector<LayoutTree>& trees = layout_.trees_;
    if (trees.size() >= kMaxTrees) return 0;
    trees.push_back(LayoutTree{entry.name, entry.table, entry.index});
    const auto id = static_cast<uint16_t>(trees.size());
    tree_ids_.emplace(std::move(key), id);
    return id;
  }

  void MapWal() {
    const WalIndex wal = ReadWalIndex(input_);
    if (!wal.frames_known || input_.size() <= kWalHeaderSize) return;
    layout_.wal_frame_size_ = kWalFrameHeaderSize + int64_t{wal.page_size};
    layout_.wal_frames_ = wal.frame_slots;
    layout_.summary_.page_size = wal.page_size;
    layout_.AssignSegment(0, input_.size(), Segment{.type = Segment::Type::kWal});
  }

  void MapJournal() {
    const JournalIndex journal = ReadJournalIndex(input_, named_journal_);
    if (journal.records.empty()) return;
    layout_.journal_records_ = journal.records;
    layout_.summary_.page_size = journal.page_size;
    layout_.AssignSegment(journal.records.front().first, journal.End(),
                          Segment{.type = Segment::Type::kJournal});
  }

  void ScanForDatabases() {
    std::string chunk;
    std::vector<int64_t> starts;
    for (int64_t at = 0; at < input_.size(); at += kScanChunk) {
      chunk.resize(kScanChunk);
      chunk.resize(input_.ReadAt(at, kScanChunk, chunk.data()));
      if (chunk.empty()) break;
      if (options_.on_input_bytes) options_.on_input_bytes(chunk);
      starts.clear();
      FindDatabaseStarts(at, chunk, starts);
      for (int64_t start : starts) {
        if (start == 0 && own_database_) continue;
        MapDatabaseAt(start, /*whole_file=*/false, nullptr);
      }
    }
  }

  PageLayout& layout_;
  const ByteSource& input_;
  const ByteSource* wal_;
  bool named_journal_;
  const LayoutOptions& options_;
  WalkBudget budget_;
  int64_t tree_reads_left_ = 0;
  bool own_database_ = false;
  std::unordered_map<std::string, uint16_t> tree_ids_;
};

PageLayout::PageLayout(const std::string& input_path, const LayoutOptions& options) {
  const auto input = std::make_shared<FileSource>(input_path);
  const auto wal = OpenWalBeside(input_path);
  Builder(*this, *input, wal.get(), EndsWith(input_path, "-journal"), options).Build();
}

PageLayout::PageLayout(std::shared_ptr<const ByteSource> input,
                       std::shared_ptr<const ByteSource> wal, const LayoutOptions& options) {
  Builder(*this, *input, wal.get(), false, options).Build();
}

PageLayout::~PageLayout() = default;

void PageLayout::AssignSegment(int64_t start, int64_t end, Segment segment) {
  quarrow::AssignSegment(segments_, start, end, segment);
}

void PageLayout::VisitSegment(const Segment& segment, int64_t from,
                              const std::function<bool(const LayoutSpan&)>& visit) const {
  switch (segment.type) {
    case Segment::Type::kDatabase: {
      const Database& database = databases_[segment.index];
      const int64_t size = database.page_size;
      for (int64_t index = (from - database.start) / size;; ++index) {
        const int64_t page_start = database.start + index * size;
        if (page_start >= segment.end) return;
        LayoutSpan span{std::max(page_start, segment.start),
                        std::min(page_start + size, segment.end), PageRole::kUnmapped, kNoTree,
                        size};
        if (index < static_cast<int64_t>(database.kinds.size())) {
          const auto i = static_cast<size_t>(index);
          span.role = RoleOfKind(database.kinds[i]);
          if (span.role == PageRole::kTable || span.role == PageRole::kIndex)
            span.tree = static_cast<int32_t>(database.owners[i]) - 1;
        }
        if (!visit(span)) return;
      }
    }
    case Segment::Type::kWal: {
      const int64_t frames_at = kWalHeaderSize;
      if (from < frames_at && !visit({segment.start, frames_at, PageRole::kUnmapped, kNoTree, 0}))
        return;
      const int64_t size = wal_frame_size_;
      const int64_t first = std::max<int64_t>(0, (from - frames_at) / size);
      for (int64_t frame = first; frame < wal_frames_; ++frame) {
        const int64_t begin = frames_at + frame * size;
        if (begin >= segment.end) return;
        if (!visit({begin, std::min(begin + size, segment.end), PageRole::kWalFrame, kNoTree, size}))
          return;
      }
      const int64_t tail = frames_at + wal_frames_ * size;
      if (tail < segment.end) visit({tail, segment.end, PageRole::kUnmapped, kNoTree, 0});
      return;
    }
    case Segment::Type::kJournal: {
      // The first record ending after `from`, and the end of the one before it.
      auto it = std::partition_point(journal_records_.begin(), journal_records_.end(),
                                     [from](const auto& r) { return r.second <= from; });
      int64_t at = it == journal_records_.begin()
                       ? segment.start
                       : std::max(segment.start, std::prev(it)->second);
      for (; it != journal_records_.end() && at < segment.end; ++it) {
        const int64_t begin = std::max(it->first, segment.start);
        if (begin >= segment.end) break;
        if (begin > at && !visit({at, begin, PageRole::kUnmapped, kNoTree, 0})) return;
        const int64_t end = std::min(it->second, segment.end);
        if (!visit({begin, end, PageRole::kJournalImage, kNoTree, it->second - it->first}))
          return;
        at = end;
      }
      if (at < segment.end) visit({at, segment.end, PageRole::kUnmapped, kNoTree, 0});
      return;
    }
  }
}

void PageLayout::ForEachSpan(const std::function<void(const LayoutSpan&)>& visit) const {
  LayoutSpan run{0, 0, PageRole::kUnmapped, kNoTree, 0};
  const auto add = [&](const LayoutSpan& span) {
    if (span.start >= span.end) return true;
    if (span.start == run.end && span.role == run.role && span.tree == run.tree &&
        span.unit == run.unit) {
      run.end = span.end;
      return true;
    }
    if (run.end > run.start) visit(run);
    run = span;
    return true;
  };
  int64_t at = 0;
  for (const Segment& segment : segments_) {
    if (segment.start >= input_size_) break;
    add({at, segment.start, PageRole::kUnmapped, kNoTree, 0});
    VisitSegment(segment, segment.start, add);
    at = segment.end;
  }
  add({at, input_size_, PageRole::kUnmapped, kNoTree, 0});
  if (run.end > run.start) visit(run);
}

LayoutSpan PageLayout::PageAt(int64_t offset) const {
  if (offset < 0 || offset >= input_size_) return {offset, offset + 1, PageRole::kUnmapped, kNoTree, 0};
  auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                             [](int64_t o, const Segment& s) { return o < s.start; });
  const int64_t gap_end = it == segments_.end() ? input_size_ : it->start;
  if (it == segments_.begin() || std::prev(it)->end <= offset) {
    const int64_t gap_start = it == segments_.begin() ? 0 : std::prev(it)->end;
    return {gap_start, gap_end, PageRole::kUnmapped, kNoTree, 0};
  }
  LayoutSpan found{offset, offset + 1, PageRole::kUnmapped, kNoTree, 0};
  VisitSegment(*std::prev(it), offset, [&](const LayoutSpan& span) {
    if (span.end <= offset) return true;
    found = span;
    return false;
  });
  return found;
}

}  // namespace quarrow
