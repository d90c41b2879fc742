// The copy test's keys (CellHash values of live cells): added in batches, one
// per mapped database, and looked up. Kept as sorted runs merged like a binary
// counter, so that adding N keys in any number of batches costs O(N log N)
// and a lookup O(log^2 N). 8 bytes per distinct key. Not thread-safe to add;
// lookups are const.
#ifndef QUARROW_PAGEMAP_CELL_KEY_SET_H_
#define QUARROW_PAGEMAP_CELL_KEY_SET_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarrow {

class CellKeySet {
 public:
  // Adds the keys of `batch` (left in an unspecified state).
  void Add(std::vector<uint64_t>& batch);
  // Returns true iff `key` was added.
  bool Contains(uint64_t key) const;
  // Keys held (a key found in two runs not yet merged counts twice).
  size_t size() const;

 private:
  std::vector<std::vector<uint64_t>> runs_;  // each sorted and distinct; sizes falling
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_CELL_KEY_SET_H_
