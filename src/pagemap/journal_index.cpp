#include "pagemap/journal_index.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "pagemap/sqlite_format.h"

namespace quarrow {
namespace {

using sqlite_format::Get32;

constexpr uint8_t kJournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
constexpr int kJournalHeaderSize = 28;

bool IsPowerOfTwoIn(uint32_t v, uint32_t low, uint32_t high) {
  return v >= low && v <= high && (v & (v - 1)) == 0;
}

// What SQLite adds to the journal's nonce to make a record's checksum.
uint32_t RecordSum(const uint8_t* image, uint32_t page_size) {
  uint32_t sum = 0;
  for (int64_t i = int64_t{page_size} - 200; i > 0; i -= 200) sum += image[i];
  return sum;
}

// Returns true iff, with records from `first` on, the records that lie whole in
// `head` (at least two, at most eight) have distinct non-zero page numbers and
// checksums that agree on one nonce.
bool RecordsAgree(std::string_view head, uint32_t first, uint32_t page_size) {
  const size_t record_size = size_t{page_size} + 8;
  const size_t count = std::min<size_t>(8, (head.size() - std::min<size_t>(head.size(), first)) / record_size);
  if (count < 2) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(head.data()) + first;
  uint32_t pages[8];
  uint32_t nonce = 0;
  for (size_t i = 0; i < count; ++i, p += record_size) {
    pages[i] = Get32(p);
    if (pages[i] == 0 || std::find(pages, pages + i, pages[i]) != pages + i) return false;
    const uint32_t this_nonce = Get32(p + 4 + page_size) - RecordSum(p + 4, page_size);
    if (i > 0 && this_nonce != nonce) return false;
    nonce = this_nonce;
  }
  return true;
}

// Finds the layout of a journal whose header is all zeros; false when none fits.
bool FindZeroedLayout(const ByteSource& journal, uint32_t& sector_size, uint32_t& page_size) {
  // Two records of the largest pages after the largest header fit in 1 MiB.
  std::string head(static_cast<size_t>(std::min<int64_t>(journal.size(), 1 << 20)), '\0');
  head.resize(journal.ReadAt(0, head.size(), head.data()));
  for (uint32_t sector = 512; sector <= 65536; sector *= 2) {
    for (uint32_t page = 512; page <= 65536; page *= 2) {
      if (RecordsAgree(head, sector, page)) {
        sector_size = sector;
        page_size = page;
        return true;
      }
    }
  }
  return false;
}

bool IsZeroedHeader(const uint8_t* h, size_t length) {
  return std::all_of(h, h + length, [](uint8_t b) { return b == 0; });
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
  uint8_t first[kJournalHeaderSize];
  if (blank_magic_ok &&
      journal.ReadAt(0, sizeof first, reinterpret_cast<char*>(first)) == sizeof first &&
      IsZeroedHeader(first, sizeof first)) {
    uint32_t sector_size = 0;
    if (FindZeroedLayout(journal, sector_size, index.page_size)) {
      index.header_zeroed = true;
      index.records.emplace_back(sector_size, file_size);
    }
    return index;
  }
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
