// Databases inside an image or a dump: SQLite writes a database's header at
// its file's first byte, and images keep files on 512-byte sectors, so a
// database starts where "SQLite format 3" and its NUL open a sector. Pure.
#ifndef QUARROW_ENGINE_DATABASE_STARTS_H_
#define QUARROW_ENGINE_DATABASE_STARTS_H_

#include <cstdint>
#include <string_view>
#include <vector>

namespace quarrow {

inline constexpr int64_t kDatabaseSector = 512;

// Appends to `starts`, in increasing order, every offset on a 512-byte
// boundary of a window of the input ([window_start, window_start +
// window.size())) where the database header's 16 magic bytes lie whole inside
// the window.
void FindDatabaseStarts(int64_t window_start, std::string_view window,
                        std::vector<int64_t>& starts);

}  // namespace quarrow

#endif  // QUARROW_ENGINE_DATABASE_STARTS_H_
