// Which offsets of one b-tree page start a cell, as one bit per byte: the
// nearest cell start at or below an offset is then found a machine word (64
// offsets) at a time, with no sorted copy of the pointer array. The page map's
// cursor asks this for every match in a page, in increasing offset order
// mostly; that order costs one pass over the page's words in all. Holds its
// own bits (copied from the page at Reset); not thread-safe.
#ifndef QUARROW_PAGEMAP_CELL_START_BITS_H_
#define QUARROW_PAGEMAP_CELL_START_BITS_H_

#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quarrow {

class CellStartBits {
 public:
  // Takes the cell starts of `page`: the big-endian pointers at [pointers_begin,
  // pointers_end), those in [pointers_end, usable_size) (others point nowhere a
  // cell can be). `page` holds at least pointers_end bytes; usable_size <= 65536.
  void Reset(std::string_view page, uint32_t pointers_begin, uint32_t pointers_end,
             uint32_t usable_size);

  // The greatest cell start at or below `at` (< usable_size), or 0 when there
  // is none (a cell never starts at 0: the page header is there).
  uint32_t NearestAtOrBelow(uint32_t at) {
    // Going forward, only the starts past the last query can be nearer.
    const bool forward = at >= last_at_;
    const uint32_t floor = forward ? last_at_ + 1 : 0;
    const uint32_t found = forward && at == last_at_ ? last_nearest_ : Highest(floor, at);
    if (found != 0 || !forward) last_nearest_ = found;
    last_at_ = at;
    return last_nearest_;
  }

 private:
  // The greatest set bit in [floor, at], or 0.
  uint32_t Highest(uint32_t floor, uint32_t at) const {
    if (floor > at) return 0;
    uint32_t word = at >> 6;
    uint64_t bits = words_[word] & (~uint64_t{0} >> (63 - (at & 63)));
    const uint32_t floor_word = floor >> 6;
    while (bits == 0) {
      if (word == floor_word) return 0;
      bits = words_[--word];
    }
    const uint32_t highest = word * 64 + 63 - static_cast<uint32_t>(std::countl_zero(bits));
    return highest >= floor ? highest : 0;
  }

  std::vector<uint64_t> words_;  // bit k of word w: offset 64 w + k starts a cell
  uint32_t last_at_ = 0;         // the last query, and its answer
  uint32_t last_nearest_ = 0;
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_CELL_START_BITS_H_
