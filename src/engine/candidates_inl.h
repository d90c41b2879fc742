// Implementation of ForEachClassifiedCandidate: sixty-four positions at a time,
// with SSE2 where it is there (every x86-64 processor).
#ifndef QUARROW_ENGINE_CANDIDATES_INL_H_
#define QUARROW_ENGINE_CANDIDATES_INL_H_

#include <bit>

#include "engine/byte_classes.h"  // and with it SSE2, where it is there

namespace quarrow {

// Bit i set when byte i of the 64 at `at` is 0.
inline uint64_t ZeroMask(const uint8_t* at) {
  uint64_t mask = 0;
#ifdef QUARROW_HAVE_SSE2
  const __m128i zero = _mm_setzero_si128();
  for (int part = 0; part < 4; ++part) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * part));
    mask |= static_cast<uint64_t>(static_cast<uint16_t>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(block, zero))))
            << (16 * part);
  }
#else
  for (int i = 0; i < 64; ++i) mask |= static_cast<uint64_t>(at[i] == 0) << i;
#endif
  return mask;
}

// How far ahead of the sweep its bytes are fetched (measured: 2 to 8 KiB alike).
constexpr int64_t kSweepPrefetchAhead = 4096;

template <typename Keep, typename Visit>
QUARROW_ALWAYS_INLINE inline int64_t ForEachClassifiedCandidate(std::string_view bytes, int64_t from, int64_t to, bool pair,
                                   bool classify_lone, Keep&& keep, Visit&& visit) {
  int64_t crowded_blocks = 0;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  int64_t j = from;
  // A turn covers 64 candidates and needs the 64 bytes after them. Blocks are
  // classified only when they hold candidates: in random bytes most do not.
  const int64_t block_end = static_cast<int64_t>(bytes.size()) - 128;
  ByteClasses here, next;
  int64_t next_at = -1;  // where `next` was classified, if anywhere
  // Each block's zero mask is made once: the pair rule's "zero after" comes
  // from this block's and the next one's.
  uint64_t zeros_here = j <= block_end ? ZeroMask(data + j) : 0;
  for (; j + 64 <= to && j <= block_end; j += 64) {
    // The bytes are mapped, not copied: the first touch goes to memory, and
    // the processor's own prefetch stops at each 4 KiB page.
    __builtin_prefetch(data + j + kSweepPrefetchAhead);
    const uint64_t zeros_next = ZeroMask(data + j + 64);
    uint64_t mask = ~zeros_here;
    if (pair) mask &= (zeros_here >> 1) | (zeros_next << 63);
    zeros_here = zeros_next;
    if (mask == 0) continue;
    const bool crowded = (mask & (mask - 1)) != 0;
    crowded_blocks += crowded;
    if (!crowded && !classify_lone) {
      visit(j + std::countr_zero(mask), nullptr);
      continue;
    }
    here = next_at == j ? next : ClassifyBlock(data + j);
    next = ClassifyBlock(data + j + 64);
    next_at = j + 64;
    mask &= keep(here, next);
    while (mask != 0) {
      const int i = std::countr_zero(mask);
      const ByteClasses after = i == 63 ? next : ShiftClasses(here, next, i + 1);
      visit(j + i, &after);
      mask &= mask - 1;
    }
  }
  for (; j < to; ++j) {
    if (data[j] != 0 && (!pair || data[j + 1] == 0)) visit(j, nullptr);
  }
  return crowded_blocks;
}

}  // namespace quarrow

#endif  // QUARROW_ENGINE_CANDIDATES_INL_H_
