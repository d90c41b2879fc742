// Where the live table-leaf cells lie, by SiteKey (payload size and lead
// bytes): the index behind the test of copies whose last bytes were
// overwritten. Added in batches, one per mapped database, kept as sorted runs
// merged like a binary counter (as CellKeySet), so adding N sites costs
// O(N log N) and a lookup O(log^2 N). 16 bytes per site. Not thread-safe to
// add; lookups are const.
#ifndef QUARROW_PAGEMAP_CELL_SITE_INDEX_H_
#define QUARROW_PAGEMAP_CELL_SITE_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pagemap/database_walk.h"

namespace quarrow {

class CellSiteIndex {
 public:
  // Adds the sites of `batch` (left empty).
  void Add(std::vector<CellSite>& batch);
  bool HasKey(uint64_t key) const;
  // Appends to `out` the sites with `key`, at most `limit` of them.
  void Find(uint64_t key, size_t limit, std::vector<CellSite>& out) const;
  size_t size() const;

 private:
  std::vector<std::vector<CellSite>> runs_;  // each sorted; sizes falling
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_CELL_SITE_INDEX_H_
