// Items added in batches and looked up, kept as sorted runs merged like a
// binary counter: adding N items in any number of batches costs O(N log N)
// and a lookup (a binary search per run) O(log^2 N). With `kDistinct`, equal
// items are kept once per run. Not thread-safe to add; reading is const.
#ifndef QUARROW_PAGEMAP_SORTED_RUNS_H_
#define QUARROW_PAGEMAP_SORTED_RUNS_H_

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

namespace quarrow {

template <typename T, bool kDistinct>
class SortedRuns {
 public:
  // Adds the items of `batch` (left empty).
  void Add(std::vector<T>& batch) {
    if (batch.empty()) return;
    std::sort(batch.begin(), batch.end());
    if constexpr (kDistinct) batch.erase(std::unique(batch.begin(), batch.end()), batch.end());
    runs_.push_back(std::move(batch));
    batch.clear();
    // Merge while the newer run is at least half the older one's size.
    while (runs_.size() >= 2 && 2 * runs_.back().size() >= runs_[runs_.size() - 2].size()) {
      std::vector<T> newer = std::move(runs_.back());
      runs_.pop_back();
      std::vector<T>& older = runs_.back();
      std::vector<T> merged;
      merged.reserve(older.size() + newer.size());
      if constexpr (kDistinct) {
        std::set_union(older.begin(), older.end(), newer.begin(), newer.end(),
                       std::back_inserter(merged));
      } else {
        std::merge(older.begin(), older.end(), newer.begin(), newer.end(),
                   std::back_inserter(merged));
      }
      older = std::move(merged);
    }
  }

  // The runs, each sorted; sizes falling.
  const std::vector<std::vector<T>>& runs() const { return runs_; }

  // Items held (with kDistinct, an item in two runs not yet merged counts twice).
  size_t size() const {
    size_t count = 0;
    for (const std::vector<T>& run : runs_) count += run.size();
    return count;
  }

 private:
  std::vector<std::vector<T>> runs_;
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_SORTED_RUNS_H_
