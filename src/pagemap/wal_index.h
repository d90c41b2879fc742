// A WAL file's header and frame headers: which frames are valid and committed,
// and for each page the latest committed frame holding it, as SQLite itself
// would read the log. A frame counts only when its salts match the header's and
// its cumulative checksum holds; the first one that fails ends the log, and
// frames after the last commit frame are ignored. Reads the whole log once.
// The result is a plain value; thread-safe once built.
#ifndef QUARROW_PAGEMAP_WAL_INDEX_H_
#define QUARROW_PAGEMAP_WAL_INDEX_H_

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/buffer.h"

namespace quarrow {

inline constexpr int kWalHeaderSize = 32;
inline constexpr int kWalFrameHeaderSize = 24;

struct WalIndex {
  bool header_valid = false;  // magic, version, page size and header checksum
  uint32_t page_size = 0;     // valid when header_valid or frames_known
  bool frames_known = false;  // magic and page size readable: frames lie on a grid
  int64_t frame_slots = 0;    // frames whose first byte lies in the file
  int64_t committed_frames = 0;  // frames 1..committed_frames are committed
  uint32_t database_pages = 0;   // database size after the last commit (0: none)
  // (page number, latest committed frame holding it), sorted by page number.
  std::vector<std::pair<uint32_t, int64_t>> latest_frame;

  // Offset in the WAL file of frame `frame`'s page image (1-based frame).
  int64_t PageImageOffset(int64_t frame) const {
    return kWalHeaderSize + (frame - 1) * (kWalFrameHeaderSize + int64_t{page_size}) +
           kWalFrameHeaderSize;
  }
  // The latest committed frame holding `page`, or 0.
  int64_t FrameOf(uint32_t page) const;
  // The highest page number a committed frame holds.
  uint32_t HighestPage() const;
};

// Reads the WAL at `wal`'s start. Never throws for bad structure.
WalIndex ReadWalIndex(const ByteSource& wal);

// Returns true iff the 8 bytes at `p` start a WAL header (magic and version).
bool IsWalMagic(const uint8_t* p);

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_WAL_INDEX_H_
