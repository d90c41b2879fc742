#include "pagemap/cell_site_index.h"

#include <algorithm>
#include <iterator>

namespace quarrow {

void CellSiteIndex::Add(std::vector<CellSite>& batch) {
  if (batch.empty()) return;
  std::sort(batch.begin(), batch.end());
  runs_.push_back(std::move(batch));
  batch.clear();
  // Merge while the newer run is at least half the older one's size.
  while (runs_.size() >= 2 && 2 * runs_.back().size() >= runs_[runs_.size() - 2].size()) {
    std::vector<CellSite> newer = std::move(runs_.back());
    runs_.pop_back();
    std::vector<CellSite>& older = runs_.back();
    std::vector<CellSite> merged;
    merged.reserve(older.size() + newer.size());
    std::merge(older.begin(), older.end(), newer.begin(), newer.end(),
               std::back_inserter(merged));
    older = std::move(merged);
  }
}

bool CellSiteIndex::HasKey(uint64_t key) const {
  const CellSite first{key, 0};
  for (const std::vector<CellSite>& run : runs_) {
    auto it = std::lower_bound(run.begin(), run.end(), first);
    if (it != run.end() && it->key == key) return true;
  }
  return false;
}

void CellSiteIndex::Find(uint64_t key, size_t limit, std::vector<CellSite>& out) const {
  const CellSite first{key, 0};
  size_t found = 0;
  for (const std::vector<CellSite>& run : runs_) {
    for (auto it = std::lower_bound(run.begin(), run.end(), first);
         it != run.end() && it->key == key; ++it) {
      if (found++ == limit) return;
      out.push_back(*it);
    }
  }
}

size_t CellSiteIndex::size() const {
  size_t count = 0;
  for (const std::vector<CellSite>& run : runs_) count += run.size();
  return count;
}

}  // namespace quarrow
