#include "pagemap/journal_index.h"

#include <algorithm>
#include <cstring>

#include "pagemap/sqlite_format.h"

namespace quarrow {
namespace {

using sqlite_format::Get32;

constexpr uint8_t kJournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
constexpr int kJournalHeaderSize = 28;

bool IsPowerOfTwoIn(uint32_t v, uint32_t low, uint32_t high) {
  return v >= low && v <= high && (v & (v - 1)) == 0;
}

}  // namespace

bool IsJournalMagic(const uint8_t* p) {
  return std::memcmp(p, kJournalMagic, sizeof kJournalMagic) == 0;
}

bool IsBlankJournalMagic(const uint8_t* p) {
  static constexpr uint8_t kZeros[8] = {};
  return std::memcmp(p, kZeros, sizeof kZeros) == 0;
}

bool JournalIndex::InRecord(int64_t offset) const {
  auto it = std::upper_bound(records.begin(), records.end(), offset,
                             [](int64_t o, const auto& r) { return o < r.first; });
  return it != records.begin() && offset < std::prev(it)->second;
}

JournalIndex ReadJournalIndex(const ByteSource& journal, bool blank_magic_ok) {
  JournalIndex index;
  const int64_t file_size = journal.size();
  int64_t header_at = 0;
  uint8_t h[kJournalHeaderSize];
  // Each segment starts past the previous one, so the loop ends.
  while (header_at + kJournalHeaderSize <= file_size) {
    if (journal.ReadAt(header_at, sizeof h, reinterpret_cast<char*>(h)) != sizeof h ||
        !(IsJournalMagic(h) || (header_at == 0 && blank_magic_ok && IsBlankJournalMagic(h))))
      break;
    const uint32_t record_count = Get32(h + 8);
    const uint32_t sector_size = Get32(h + 20);
    const uint32_t page_size = Get32(h + 24);
    // SQLite's own limits; anything else is not a journal it would replay.
    if (!IsPowerOfTwoIn(sector_size, 32, 65536) || !IsPowerOfTwoIn(page_size, 512, 65536))
      break;
    if (index.page_size != 0 && index.page_size != page_size) break;
    index.page_size = page_size;
    const int64_t record_size = int64_t{page_size} + 8;
    const int64_t first = header_at + sector_size;
    if (first >= file_size) break;
    const int64_t available = (file_size - first + record_size - 1) / record_size;
    const bool to_end = record_count == 0 || record_count == 0xffffffffu;
    const int64_t count = to_end ? available : std::min<int64_t>(record_count, available);
    const int64_t end = std::min(file_size, first + count * record_size);
    if (end > first) index.records.emplace_back(first, end);
    if (to_end || end >= file_size) break;
    // The next segment's header starts on the next sector boundary.
    header_at = (end + sector_size - 1) / sector_size * sector_size;
  }
  return index;
}

}  // namespace quarrow
