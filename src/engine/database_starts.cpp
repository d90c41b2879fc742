#include "engine/database_starts.h"

namespace quarrow {

void FindDatabaseStarts(int64_t window_start, std::string_view window,
                        std::vector<int64_t>& starts) {
  static constexpr std::string_view kMagic{"SQLite format 3\0", 16};
  const int64_t window_end = window_start + static_cast<int64_t>(window.size());
  const int64_t first = (window_start + kDatabaseSector - 1) / kDatabaseSector * kDatabaseSector;
  for (int64_t at = first; at + static_cast<int64_t>(kMagic.size()) <= window_end;
       at += kDatabaseSector) {
    if (window.substr(static_cast<size_t>(at - window_start), kMagic.size()) == kMagic)
      starts.push_back(at);
  }
}

}  // namespace quarrow
