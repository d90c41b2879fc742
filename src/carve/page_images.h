// Where whole page images lie in an input, by what the input is: the pages of
// a database file, the frames of a WAL file, the page records of a rollback
// journal. The freed-cell rebuild reads each image's free regions. Plain
// values; reads the input's structure once.
#ifndef QUARROW_CARVE_PAGE_IMAGES_H_
#define QUARROW_CARVE_PAGE_IMAGES_H_

#include <cstdint>
#include <vector>

#include "engine/buffer.h"

namespace quarrow {

struct PageImage {
  int64_t offset = 0;        // of the image's first byte in the input
  uint32_t page_number = 0;  // in its database (0: not known)
  int64_t frame = 0;         // the WAL frame holding it (1-based), 0 when none
};

struct PageImages {
  enum class Kind { kNone, kDatabase, kWal, kJournal };
  Kind kind = Kind::kNone;
  uint32_t page_size = 0;    // 0: the input holds no page structure
  uint32_t usable_size = 0;
  std::vector<PageImage> images;
};

// The page images of `input`: a database at offset 0, a WAL, or a journal.
// `database_page_size`, when known (the database beside a journal), lays out
// a journal whose header SQLite zeroed (journal_mode=PERSIST): its page
// records from the first sector boundary whose page numbers all read well.
// Never throws for bad structure (an input of none gives no images).
PageImages FindPageImages(const ByteSource& input, uint32_t database_page_size = 0);

}  // namespace quarrow

#endif  // QUARROW_CARVE_PAGE_IMAGES_H_
