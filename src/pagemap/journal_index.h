// A rollback journal's headers and page records: where the page images lie.
// A journal may hold several segments, each a header padded to the sector size
// and then its records (page number, page image, checksum). A record count of
// 0 or -1 (a journal copied before its count was written, or never synced)
// means the records run to the end of the file. Records cut short by the file's
// end still count for the bytes that are there. SQLite writes the first
// header's magic only when it syncs the journal before committing, so a journal
// copied during a transaction has eight zero bytes there; such a header is
// taken when the caller knows the file is a journal. A journal kept after its
// commit (journal_mode=PERSIST) has its whole header zeroed: then the sector
// and page sizes are found as the ones under which at least two records'
// checksums agree on one nonce (SQLite adds the nonce to a sum of page bytes),
// with distinct, non-zero page numbers. Plain value; thread-safe.
#ifndef QUARROW_PAGEMAP_JOURNAL_INDEX_H_
#define QUARROW_PAGEMAP_JOURNAL_INDEX_H_

#include <cstdint>
#include <vector>

#include "engine/buffer.h"

namespace quarrow {

struct JournalIndex {
  uint32_t page_size = 0;
  bool header_zeroed = false;  // the layout was found from the records alone
  // Byte ranges [first, second) of page records, ascending and disjoint.
  std::vector<std::pair<int64_t, int64_t>> records;

  // Returns true iff `offset` lies in a page record.
  bool InRecord(int64_t offset) const;
  int64_t End() const { return records.empty() ? 0 : records.back().second; }
};

// Returns true iff the 8 bytes at `p` are the journal header's magic.
bool IsJournalMagic(const uint8_t* p);

// Returns true iff the 8 bytes at `p` are zero: the magic of a journal not yet
// synced.
bool IsBlankJournalMagic(const uint8_t* p);

// Reads the journal at `journal`'s start; with `blank_magic_ok`, a first
// header whose magic is still zero counts. Never throws for bad structure.
JournalIndex ReadJournalIndex(const ByteSource& journal, bool blank_magic_ok);

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_JOURNAL_INDEX_H_
