#include "carve/database_image.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include "engine/file_io.h"
#include "pagemap/sqlite_format.h"

namespace quarrow {

namespace sf = sqlite_format;

namespace {

// A WAL header's or frame header's two salts, as one number.
uint64_t Salt(const uint8_t* p) {
  return (uint64_t{sf::Get32(p)} << 32) | sf::Get32(p + 4);
}

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::shared_ptr<const ByteSource> OpenIfPresent(const std::string& path) {
  try {
    return std::make_shared<FileSource>(path);
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool StartsWithDatabaseHeader(const ByteSource& source) {
  char head[sf::kDatabaseHeaderSize];
  if (source.ReadAt(0, sizeof head, head) != sizeof head) return false;
  sf::DatabaseHeader header;
  return sf::ParseDatabaseHeader(std::string_view(head, sizeof head), header);
}

// A b-tree is at most this deep: SQLite itself refuses more than 20 levels.
constexpr int kMaxDepth = 24;

}  // namespace

std::string DatabasePathBeside(const std::string& input_path) {
  for (const std::string_view tail : {"-wal", "-journal"})
    if (input_path.size() > tail.size() && EndsWith(input_path, tail))
      return input_path.substr(0, input_path.size() - tail.size());
  return {};
}

std::unique_ptr<DatabaseImage> DatabaseImage::ForInput(const std::string& input_path) {
  auto input = std::make_shared<FileSource>(input_path);
  const std::string beside = DatabasePathBeside(input_path);
  if (EndsWith(input_path, "-wal"))
    return std::make_unique<DatabaseImage>(OpenIfPresent(beside), input);
  if (!beside.empty() && !StartsWithDatabaseHeader(*input))
    return std::make_unique<DatabaseImage>(OpenIfPresent(beside), nullptr);
  return std::make_unique<DatabaseImage>(input, OpenIfPresent(input_path + "-wal"));
}

DatabaseImage::DatabaseImage(std::shared_ptr<const ByteSource> database,
                             std::shared_ptr<const ByteSource> wal)
    : database_(std::move(database)), wal_(std::move(wal)) {
  if (!database_) return;
  std::string head(sf::kDatabaseHeaderSize, '\0');
  if (database_->ReadAt(0, head.size(), head.data()) != head.size()) return;
  sf::DatabaseHeader header;
  if (!sf::ParseDatabaseHeader(head, header)) return;
  if (wal_) {
    wal_index_ = ReadWalIndex(*wal_);
    // A log of another page size is not this database's.
    if (wal_index_.page_size != header.page_size) wal_index_ = WalIndex{};
  }
  const int64_t file_pages = database_->size() / header.page_size;
  page_count_ = static_cast<uint32_t>(std::min<int64_t>(file_pages, UINT32_MAX));
  if (wal_index_.committed_frames > 0 && wal_index_.database_pages > 0)
    page_count_ = wal_index_.database_pages;
  page_size_ = header.page_size;
  usable_size_ = header.usable_size;
  for (int64_t frame = 1; frame <= wal_index_.committed_frames; ++frame) {
    char head[8];
    if (wal_->ReadAt(wal_index_.PageImageOffset(frame) - kWalFrameHeaderSize, 8, head) != 8)
      break;
    const auto* h = reinterpret_cast<const uint8_t*>(head);
    frames_of_[sf::Get32(h)].push_back(frame);
    if (sf::Get32(h + 4) != 0) commit_frames_.push_back(frame);
  }
  if (wal_ && wal_index_.frames_known) {
    char salt[8];
    if (wal_->ReadAt(16, sizeof salt, salt) == sizeof salt)
      IndexEarlierGenerations(Salt(reinterpret_cast<const uint8_t*>(salt)));
  }
  // The freelist head lives in page 1, which the WAL may have replaced.
  std::string page1;
  if (ReadPage(1, page1)) {
    first_freelist_trunk_ = sf::Get32(reinterpret_cast<const uint8_t*>(page1.data()) + 32);
  }
}

bool DatabaseImage::ReadPage(uint32_t number, std::string& out) const {
  if (!valid() || number == 0 || number > page_count_) return false;
  out.resize(page_size_);
  const int64_t frame = wal_index_.committed_frames > 0 ? wal_index_.FrameOf(number) : 0;
  if (frame > 0) {
    return wal_->ReadAt(wal_index_.PageImageOffset(frame), page_size_, out.data()) == page_size_;
  }
  const int64_t offset = int64_t{number - 1} * page_size_;
  return database_->ReadAt(offset, page_size_, out.data()) == page_size_;
}

void DatabaseImage::IndexEarlierGenerations(uint64_t salt) {
  for (int64_t frame = wal_index_.committed_frames + 1; frame <= wal_index_.frame_slots; ++frame) {
    char head[16];
    if (wal_->ReadAt(wal_index_.PageImageOffset(frame) - kWalFrameHeaderSize, sizeof head, head) !=
        sizeof head)
      break;
    const auto* h = reinterpret_cast<const uint8_t*>(head);
    const uint64_t frame_salt = Salt(h + 8);
    const uint32_t page = sf::Get32(h);
    if (frame_salt == salt || page == 0) continue;
    FrameGeneration& generation = earlier_[frame_salt];
    generation.frames_of[page].push_back(frame);
    if (sf::Get32(h + 4) != 0) generation.commit_frames.push_back(frame);
    earlier_salt_of_[frame] = frame_salt;
  }
}

int64_t DatabaseImage::FrameAsOf(const std::vector<int64_t>& frames,
                                 const std::vector<int64_t>& commit_frames, int64_t at) {
  // The transaction holding frame `at`: the frames after the commit before
  // it, up to its own commit. A page it wrote is read from its frame nearest
  // to `at`; a page it did not, from before it.
  auto commit = std::lower_bound(commit_frames.begin(), commit_frames.end(), at);
  const int64_t end = commit == commit_frames.end() ? INT64_MAX : *commit;
  const int64_t begin = commit == commit_frames.begin() ? 0 : *std::prev(commit);
  int64_t chosen = 0;
  for (int64_t frame : frames) {
    if (frame > end) break;
    if (frame <= begin) {
      chosen = frame;
    } else if (chosen <= begin || std::llabs(frame - at) < std::llabs(chosen - at)) {
      chosen = frame;
    }
  }
  return chosen;
}

bool DatabaseImage::ReadPageAsOf(uint32_t number, int64_t frames, std::string& out) const {
  if (!valid() || number == 0) return false;
  out.resize(page_size_);
  int64_t chosen = 0;
  if (auto salt = earlier_salt_of_.find(frames); salt != earlier_salt_of_.end()) {
    // Its generation's frames that survive; the rest of that time is gone,
    // and the database file holds what later checkpoints wrote.
    const FrameGeneration& generation = earlier_.at(salt->second);
    auto it = generation.frames_of.find(number);
    if (it != generation.frames_of.end())
      chosen = FrameAsOf(it->second, generation.commit_frames, frames);
  } else if (auto it = frames_of_.find(number); frames > 0 && it != frames_of_.end()) {
    chosen = FrameAsOf(it->second, commit_frames_, frames);
  }
  if (chosen > 0)
    return wal_->ReadAt(wal_index_.PageImageOffset(chosen), page_size_, out.data()) == page_size_;
  const int64_t offset = int64_t{number - 1} * page_size_;
  return database_->ReadAt(offset, page_size_, out.data()) == page_size_;
}

bool DatabaseImage::ReadOverflow(uint32_t first, uint64_t need, std::string& out,
                                 std::vector<uint32_t>* pages) const {
  std::unordered_set<uint32_t> seen;
  std::string page;
  uint32_t number = first;
  while (need > 0) {
    if (!seen.insert(number).second || !ReadPage(number, page)) return false;
    if (pages) pages->push_back(number);
    const auto* p = reinterpret_cast<const uint8_t*>(page.data());
    const uint64_t take = std::min<uint64_t>(need, usable_size_ - 4);
    out.append(page.data() + 4, take);
    need -= take;
    number = sf::Get32(p);
  }
  return true;
}

void DatabaseImage::ForEachRow(uint32_t root,
                               const std::function<void(int64_t, std::string_view)>& row,
                               std::vector<uint32_t>* pages,
                               std::vector<uint32_t>* overflow_pages) const {
  std::unordered_set<uint32_t> seen;
  std::string page, payload;
  // Depth-first, children in order, so rows come in rowid order.
  std::function<void(uint32_t, int)> visit = [&](uint32_t number, int depth) {
    if (depth > kMaxDepth || !seen.insert(number).second || !ReadPage(number, page)) return;
    sf::BtreePageHeader header;
    if (!sf::ParseBtreePageHeader(page, number == 1 ? 100 : 0, usable_size_, header) ||
        !sf::IsTablePage(header.type))
      return;
    if (pages) pages->push_back(number);
    const auto* p = reinterpret_cast<const uint8_t*>(page.data());
    std::vector<uint32_t> children;
    for (uint32_t at = header.pointers_begin; at + 2 <= header.pointers_end; at += 2) {
      const uint32_t cell_start = sf::Get16(p + at);
      sf::CellExtent cell;
      if (cell_start >= usable_size_ ||
          !sf::ReadCellExtent(page, usable_size_, header.type, cell_start, cell))
        continue;
      if (header.type == sf::PageType::kTableInterior) {
        children.push_back(cell.left_child);
        continue;
      }
      const uint32_t begin = cell_start + cell.payload_offset;
      if (begin + cell.local_size > page.size()) continue;
      payload.assign(page, begin, cell.local_size);
      if (cell.payload_size > cell.local_size && cell.overflow_page != 0)
        ReadOverflow(cell.overflow_page, cell.payload_size - cell.local_size, payload,
                     overflow_pages);
      row(cell.rowid, payload);
    }
    if (header.type == sf::PageType::kTableInterior) {
      children.push_back(header.right_child);
      for (uint32_t child : children) visit(child, depth + 1);
    }
  };
  visit(root, 0);
}

std::vector<SchemaRow> DatabaseImage::Schema() const {
  std::vector<SchemaRow> rows;
  ForEachRow(1, [&](int64_t, std::string_view payload) {
    const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    const auto* end = p + payload.size();
    uint64_t header_size = 0;
    int n = sf::GetVarint(p, end, header_size);
    if (n == 0 || header_size > payload.size()) return;
    std::vector<uint64_t> types;
    for (const uint8_t* t = p + n; t < p + header_size && types.size() < 5;) {
      uint64_t type = 0;
      int k = sf::GetVarint(t, p + header_size, type);
      if (k == 0) return;
      types.push_back(type);
      t += k;
    }
    if (types.size() < 5) return;
    SchemaRow schema_row;
    uint64_t at = header_size;
    for (size_t i = 0; i < 5; ++i) {
      const uint64_t size = sf::SerialTypeSize(types[i]);
      if (at + size > payload.size()) return;
      std::string_view value = payload.substr(at, size);
      if (i == 3) {
        uint64_t number = 0;
        for (char c : value) number = (number << 8) | static_cast<uint8_t>(c);
        schema_row.root_page = static_cast<uint32_t>(number);
      } else if (types[i] >= 13 && types[i] % 2 == 1) {
        std::string text(value);
        (i == 0 ? schema_row.type : i == 1 ? schema_row.name : i == 2 ? schema_row.table_name
                                                                      : schema_row.sql) = text;
      }
      at += size;
    }
    rows.push_back(std::move(schema_row));
  });
  return rows;
}

std::vector<DatabaseImage::FreePage> DatabaseImage::FreelistPages() const {
  std::vector<FreePage> pages;
  std::unordered_set<uint32_t> seen;
  std::string page;
  for (uint32_t trunk = first_freelist_trunk_; trunk != 0;) {
    if (!seen.insert(trunk).second || !ReadPage(trunk, page)) break;
    pages.push_back({trunk, true});
    const auto* p = reinterpret_cast<const uint8_t*>(page.data());
    const uint32_t leaves = std::min<uint32_t>(sf::Get32(p + 4), (usable_size_ - 8) / 4);
    for (uint32_t i = 0; i < leaves; ++i) {
      const uint32_t leaf = sf::Get32(p + 8 + 4 * i);
      if (leaf != 0 && leaf <= page_count_ && seen.insert(leaf).second)
        pages.push_back({leaf, false});
    }
    trunk = sf::Get32(p);
  }
  return pages;
}

}  // namespace quarrow
