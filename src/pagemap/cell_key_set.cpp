#include "pagemap/cell_key_set.h"

#include <algorithm>
#include <iterator>

namespace quarrow {
namespace {

void SortDistinct(std::vector<uint64_t>& keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

}  // namespace

void CellKeySet::Add(std::vector<uint64_t>& batch) {
  if (batch.empty()) return;
  SortDistinct(batch);
  runs_.push_back(std::move(batch));
  batch.clear();
  // Merge while the newer run is at least half the older one's size.
  while (runs_.size() >= 2 && 2 * runs_.back().size() >= runs_[runs_.size() - 2].size()) {
    std::vector<uint64_t> newer = std::move(runs_.back());
    runs_.pop_back();
    std::vector<uint64_t>& older = runs_.back();
    std::vector<uint64_t> merged;
    merged.reserve(older.size() + newer.size());
    std::set_union(older.begin(), older.end(), newer.begin(), newer.end(),
                   std::back_inserter(merged));
    older = std::move(merged);
  }
}

bool CellKeySet::Contains(uint64_t key) const {
  for (const std::vector<uint64_t>& run : runs_) {
    if (std::binary_search(run.begin(), run.end(), key)) return true;
  }
  return false;
}

size_t CellKeySet::size() const {
  size_t count = 0;
  for (const std::vector<uint64_t>& run : runs_) count += run.size();
  return count;
}

}  // namespace quarrow
