#include "pagemap/cell_start_bits.h"

#include <algorithm>
#include <cstddef>

namespace quarrow {

void CellStartBits::Reset(std::string_view page, uint32_t pointers_begin,
                          uint32_t pointers_end, uint32_t usable_size) {
  const size_t word_count = (usable_size + 63) / 64;
  if (words_.size() < word_count) words_.resize(word_count);
  std::fill_n(words_.begin(), word_count, uint64_t{0});
  const auto* p = reinterpret_cast<const uint8_t*>(page.data());
  for (uint32_t at = pointers_begin; at < pointers_end; at += 2) {
    const uint32_t start = (uint32_t{p[at]} << 8) | p[at + 1];
    if (start >= pointers_end && start < usable_size)
      words_[start >> 6] |= uint64_t{1} << (start & 63);
  }
  last_at_ = 0;
  last_nearest_ = 0;
}

}  // namespace quarrow
