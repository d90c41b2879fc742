// Implementation of ForEachCandidate: sixty-four positions at a time where SSE2 is
// there (every x86-64 processor), one at a time elsewhere.
#ifndef QUARROW_ENGINE_CANDIDATES_INL_H_
#define QUARROW_ENGINE_CANDIDATES_INL_H_

#include <bit>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUARROW_HAVE_SSE2 1
#endif

namespace quarrow {

template <typename Visit>
void ForEachCandidate(std::string_view bytes, int64_t from, int64_t to, bool pair,
                      Visit&& visit) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  int64_t j = from;
#ifdef QUARROW_HAVE_SSE2
  // Sixty-four positions a turn; the bytes at j + 1 must lie inside too.
  const int64_t block_end = static_cast<int64_t>(bytes.size()) - 65;
  const __m128i zero = _mm_setzero_si128();
  auto zero_mask = [&](const uint8_t* at) {
    uint64_t mask = 0;
    for (int part = 0; part < 4; ++part) {
      __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * part));
      mask |= static_cast<uint64_t>(static_cast<uint16_t>(
                  _mm_movemask_epi8(_mm_cmpeq_epi8(block, zero))))
              << (16 * part);
    }
    return mask;
  };
  for (; j + 64 <= to && j <= block_end; j += 64) {
    uint64_t mask = ~zero_mask(data + j);
    if (pair) mask &= zero_mask(data + j + 1);
    while (mask != 0) {
      visit(j + std::countr_zero(mask));
      mask &= mask - 1;
    }
  }
#endif
  for (; j < to; ++j) {
    if (data[j] != 0 && (!pair || data[j + 1] == 0)) visit(j);
  }
}

}  // namespace quarrow

#endif  // QUARROW_ENGINE_CANDIDATES_INL_H_
