#include "pagemap/cell_key_set.h"

#include <algorithm>

namespace quarrow {

bool CellKeySet::Contains(uint64_t key) const {
  for (const std::vector<uint64_t>& run : keys_.runs()) {
    if (std::binary_search(run.begin(), run.end(), key)) return true;
  }
  return false;
}

}  // namespace quarrow
