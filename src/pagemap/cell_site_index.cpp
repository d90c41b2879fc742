#include "pagemap/cell_site_index.h"

#include <algorithm>

namespace quarrow {

bool CellSiteIndex::HasKey(uint64_t key) const {
  const CellSite first{key, 0};
  for (const std::vector<CellSite>& run : sites_.runs()) {
    auto it = std::lower_bound(run.begin(), run.end(), first);
    if (it != run.end() && it->key == key) return true;
  }
  return false;
}

void CellSiteIndex::Find(uint64_t key, size_t limit, std::vector<CellSite>& out) const {
  const CellSite first{key, 0};
  size_t found = 0;
  for (const std::vector<CellSite>& run : sites_.runs()) {
    for (auto it = std::lower_bound(run.begin(), run.end(), first);
         it != run.end() && it->key == key; ++it) {
      if (found++ == limit) return;
      out.push_back(*it);
    }
  }
}

}  // namespace quarrow
