// The copy test's keys (CellHash values of live cells): added in batches, one
// per mapped database, and looked up (see SortedRuns). 8 bytes per distinct
// key. Not thread-safe to add; lookups are const.
#ifndef QUARROW_PAGEMAP_CELL_KEY_SET_H_
#define QUARROW_PAGEMAP_CELL_KEY_SET_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pagemap/sorted_runs.h"

namespace quarrow {

class CellKeySet {
 public:
  // Adds the keys of `batch` (left empty).
  void Add(std::vector<uint64_t>& batch) { keys_.Add(batch); }
  // Returns true iff `key` was added.
  bool Contains(uint64_t key) const;
  // Keys held (a key found in two runs not yet merged counts twice).
  size_t size() const { return keys_.size(); }

 private:
  SortedRuns<uint64_t, true> keys_;
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_CELL_KEY_SET_H_
