#include "carve/page_images.h"

#include <algorithm>
#include <string>

#include "pagemap/journal_index.h"
#include "pagemap/sqlite_format.h"
#include "pagemap/wal_index.h"

namespace quarrow {

namespace sf = sqlite_format;

namespace {

// A zeroed journal's records with pages of `page_size`: the first sector
// size from which every record's page number is 1 to 2^31 - 1.
void LayOutZeroedJournal(const ByteSource& input, uint32_t page_size, PageImages& found) {
  const int64_t record_size = 8 + int64_t{page_size};
  for (int64_t sector = 512; sector <= 65536; sector *= 2) {
    std::vector<PageImage> images;
    bool good = true;
    for (int64_t at = sector; good && at + record_size <= input.size(); at += record_size) {
      char number[4];
      if (input.ReadAt(at, 4, number) != 4) break;
      const uint32_t page = sf::Get32(reinterpret_cast<const uint8_t*>(number));
      good = page >= 1 && page < 0x80000000u;
      images.push_back({at + 4, page});
    }
    if (good && !images.empty()) {
      found.kind = PageImages::Kind::kJournal;
      found.page_size = found.usable_size = page_size;
      found.images = std::move(images);
      return;
    }
  }
}

}  // namespace

PageImages FindPageImages(const ByteSource& input, uint32_t database_page_size) {
  PageImages found;
  std::string head(sf::kDatabaseHeaderSize, '\0');
  if (input.ReadAt(0, head.size(), head.data()) != head.size()) return found;
  const auto* p = reinterpret_cast<const uint8_t*>(head.data());
  sf::DatabaseHeader header;
  if (sf::ParseDatabaseHeader(head, header)) {
    found.kind = PageImages::Kind::kDatabase;
    found.page_size = header.page_size;
    found.usable_size = header.usable_size;
    const int64_t pages = input.size() / header.page_size;
    for (int64_t n = 0; n < pages; ++n)
      found.images.push_back({n * header.page_size, static_cast<uint32_t>(n + 1)});
    return found;
  }
  if (IsWalMagic(p)) {
    const WalIndex wal = ReadWalIndex(input);
    if (!wal.frames_known || wal.page_size == 0) return found;
    found.kind = PageImages::Kind::kWal;
    found.page_size = found.usable_size = wal.page_size;
    const int64_t frame_size = kWalFrameHeaderSize + int64_t{wal.page_size};
    for (int64_t frame = 1; frame <= wal.frame_slots; ++frame) {
      const int64_t at = kWalHeaderSize + (frame - 1) * frame_size;
      char number[4];
      if (input.ReadAt(at, 4, number) != 4) break;
      found.images.push_back(
          {at + kWalFrameHeaderSize, sf::Get32(reinterpret_cast<const uint8_t*>(number)), frame});
    }
    return found;
  }
  const JournalIndex journal = ReadJournalIndex(input, true);
  if (journal.page_size == 0) {
    if (database_page_size != 0) LayOutZeroedJournal(input, database_page_size, found);
    return found;
  }
  found.kind = PageImages::Kind::kJournal;
  found.page_size = found.usable_size = journal.page_size;
  const int64_t record_size = 8 + int64_t{journal.page_size};
  for (const auto& [first, end] : journal.records) {
    for (int64_t at = first; at + record_size <= end; at += record_size) {
      char number[4];
      if (input.ReadAt(at, 4, number) != 4) break;
      found.images.push_back({at + 4, sf::Get32(reinterpret_cast<const uint8_t*>(number))});
    }
  }
  return found;
}

}  // namespace quarrow
