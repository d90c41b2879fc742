// Implementation of ForEachClassifiedCandidate: sixty-four positions at a time,
// with SSE2 where it is there (every x86-64 processor), and with AVX2 or
// AVX-512 where the processor has them, one build of the sweep for each.
#ifndef QUARROW_ENGINE_CANDIDATES_INL_H_
#define QUARROW_ENGINE_CANDIDATES_INL_H_

#include <bit>

#include "engine/byte_classes.h"  // and with it SSE2, where it is there

namespace quarrow {

// How far ahead of the sweep its bytes are fetched (measured: 2 to 8 KiB alike).
constexpr int64_t kSweepPrefetchAhead = 4096;

// The blocks' tests of each build of the sweep.
struct BaselineBlocks {
  static uint64_t Zeros(const uint8_t* at) { return ZeroMask(at); }
  static ByteClasses Classify(const uint8_t* at) { return ClassifyBlock(at); }
};
#ifdef QUARROW_HAVE_AVX2_DISPATCH
struct Avx2Blocks {
  QUARROW_TARGET_AVX2 static uint64_t Zeros(const uint8_t* at) { return ZeroMaskAvx2(at); }
  QUARROW_TARGET_AVX2 static ByteClasses Classify(const uint8_t* at) {
    return ClassifyBlockAvx2(at);
  }
};
struct Avx512Blocks {
  QUARROW_TARGET_AVX512 static uint64_t Zeros(const uint8_t* at) { return ZeroMaskAvx512(at); }
  QUARROW_TARGET_AVX512 static ByteClasses Classify(const uint8_t* at) {
    return ClassifyBlockAvx512(at);
  }
};
#endif

// ForEachClassifiedCandidate with the blocks' tests of `Blocks`.
template <typename Blocks, typename Keep, typename Visit>
QUARROW_ALWAYS_INLINE inline int64_t SweepCandidates(std::string_view bytes, int64_t from,
                                                     int64_t to, bool pair, bool classify_lone,
                                                     Keep&& keep, Visit&& visit) {
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
  uint64_t zeros_here = j <= block_end ? Blocks::Zeros(data + j) : 0;
  for (; j + 64 <= to && j <= block_end; j += 64) {
    // The bytes are mapped, not copied: the first touch goes to memory, and
    // the processor's own prefetch stops at each 4 KiB page.
    __builtin_prefetch(data + j + kSweepPrefetchAhead);
    const uint64_t zeros_next = Blocks::Zeros(data + j + 64);
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
    here = next_at == j ? next : Blocks::Classify(data + j);
    next = Blocks::Classify(data + j + 64);
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

#ifdef QUARROW_HAVE_AVX2_DISPATCH
// The sweep built for AVX2: the blocks' tests and the caller's `keep` and
// `visit` inline into it.
template <typename Keep, typename Visit>
QUARROW_TARGET_AVX2 int64_t SweepCandidatesAvx2(std::string_view bytes, int64_t from, int64_t to,
                                                bool pair, bool classify_lone, Keep&& keep,
                                                Visit&& visit) {
  return SweepCandidates<Avx2Blocks>(bytes, from, to, pair, classify_lone, keep, visit);
}

// The same for AVX-512.
template <typename Keep, typename Visit>
QUARROW_TARGET_AVX512 int64_t SweepCandidatesAvx512(std::string_view bytes, int64_t from,
                                                    int64_t to, bool pair, bool classify_lone,
                                                    Keep&& keep, Visit&& visit) {
  return SweepCandidates<Avx512Blocks>(bytes, from, to, pair, classify_lone, keep, visit);
}
#endif

template <typename Keep, typename Visit>
QUARROW_ALWAYS_INLINE inline int64_t ForEachClassifiedCandidate(std::string_view bytes,
                                                                int64_t from, int64_t to,
                                                                bool pair, bool classify_lone,
                                                                Keep&& keep, Visit&& visit) {
#ifdef QUARROW_HAVE_AVX2_DISPATCH
  if (CpuHasAvx512())
    return SweepCandidatesAvx512(bytes, from, to, pair, classify_lone, keep, visit);
  if (CpuHasAvx2())
    return SweepCandidatesAvx2(bytes, from, to, pair, classify_lone, keep, visit);
#endif
  return SweepCandidates<BaselineBlocks>(bytes, from, to, pair, classify_lone, keep, visit);
}

}  // namespace quarrow

#endif  // QUARROW_ENGINE_CANDIDATES_INL_H_
