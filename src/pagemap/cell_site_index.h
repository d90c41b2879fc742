// Where the live table-leaf cells lie, by SiteKey (payload size and lead
// bytes): the index behind the test of copies whose last bytes were
// overwritten. Added in batches, one per mapped database, and looked up (see
// SortedRuns). 16 bytes per site. Not thread-safe to add; lookups are const.
#ifndef QUARROW_PAGEMAP_CELL_SITE_INDEX_H_
#define QUARROW_PAGEMAP_CELL_SITE_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pagemap/database_walk.h"
#include "pagemap/sorted_runs.h"

namespace quarrow {

class CellSiteIndex {
 public:
  // Adds the sites of `batch` (left empty).
  void Add(std::vector<CellSite>& batch) { sites_.Add(batch); }
  bool HasKey(uint64_t key) const;
  // Appends to `out` the sites with `key`, at most `limit` of them.
  void Find(uint64_t key, size_t limit, std::vector<CellSite>& out) const;
  size_t size() const { return sites_.size(); }

 private:
  SortedRuns<CellSite, false> sites_;
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_CELL_SITE_INDEX_H_
