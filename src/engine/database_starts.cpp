#include "engine/database_starts.h"

#include <cstring>

namespace quarrow {

void FindDatabaseStarts(int64_t window_start, std::string_view window,
                        std::vector<int64_t>& starts) {
  static constexpr std::string_view kMagic{"SQLite format 3\0", 16};
  const int64_t window_end = window_start + static_cast<int64_t>(window.size());
  const int64_t first = (window_start + kDatabaseSector - 1) / kDatabaseSector * kDatabaseSector;
  // One word compared per sector: nearly every sector differs in its first eight bytes.
  uint64_t head = 0;
  std::memcpy(&head, kMagic.data(), sizeof head);
  for (int64_t at = first; at + static_cast<int64_t>(kMagic.size()) <= window_end;
       at += kDatabaseSector) {
    const char* bytes = window.data() + (at - window_start);
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    if (word == head && std::memcmp(bytes + 8, kMagic.data() + 8, kMagic.size() - 8) == 0)
      starts.push_back(at);
  }
}

}  // namespace quarrow
