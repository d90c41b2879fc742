// What each byte of a run would be as a one-byte serial type, sixty-four bytes
// at a time: the candidate sweep classifies every block once, and the header
// test of any candidate in it is then a few mask operations instead of a
// byte-by-byte walk (most candidates fail on their first serial types).
//
// A byte below 0x80 is a whole serial type: 0 is NULL, 1 to 11 an integer
// (8 to 11 without content), even 12 and up a blob, odd 13 and up a text. A
// byte of 0x80 or more starts a longer varint and has no class of its own.
#ifndef QUARROW_ENGINE_BYTE_CLASSES_H_
#define QUARROW_ENGINE_BYTE_CLASSES_H_

#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUARROW_HAVE_SSE2 1
#endif

// Where the compiler can build functions for AVX2 and AVX-512 beside the
// portable x86-64 baseline (GCC and Clang), the sweeps have builds of their
// blocks for each, chosen at run time by the processor (QUARROW_TARGET_AVX2
// and QUARROW_TARGET_AVX512 mark their parts).
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define QUARROW_HAVE_AVX2_DISPATCH 1
#define QUARROW_TARGET_AVX2 __attribute__((target("avx2")))
#define QUARROW_TARGET_AVX512 __attribute__((target("avx512f,avx512bw")))
#endif

namespace quarrow {

// Bit i describes byte i of the run.
struct ByteClasses {
  uint64_t integer = 0;
  uint64_t text = 0;
  uint64_t blob = 0;
  uint64_t high = 0;  // 0x80 or more: the first byte of a longer varint
};

// The number of bits set. std::popcount is a library call unless the target
// has the instruction, which the portable x86-64 baseline lacks.
inline int CountBits(uint64_t x) {
#ifdef __POPCNT__
  return __builtin_popcountll(x);
#else
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int>((x * 0x0101010101010101ull) >> 56);
#endif
}

// Classifies the 64 bytes at `at` one at a time: the rule itself, for
// processors without vector code and for tests of the vector builds.
inline ByteClasses ClassifyBlockPortable(const uint8_t* at) {
  ByteClasses classes;
  for (int i = 0; i < 64; ++i) {
    const uint8_t byte = at[i];
    const uint64_t bit = uint64_t{1} << i;
    if (byte >= 0x80) {
      classes.high |= bit;
    } else if (byte >= 12) {
      (byte % 2 ? classes.text : classes.blob) |= bit;
    } else if (byte != 0) {
      classes.integer |= bit;
    }
  }
  return classes;
}

// Bit i set when byte i of the 64 at `at` is 0.
inline uint64_t ZeroMaskPortable(const uint8_t* at) {
  uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) mask |= static_cast<uint64_t>(at[i] == 0) << i;
  return mask;
}

// Classifies the 64 bytes at `at`.
inline ByteClasses ClassifyBlock(const uint8_t* at) {
#ifdef QUARROW_HAVE_SSE2
  ByteClasses classes;
  const __m128i zero = _mm_setzero_si128();
  const __m128i twelve = _mm_set1_epi8(12);
  for (int part = 0; part < 4; ++part) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * part));
    const int shift = 16 * part;
    // Signed compares: bytes of 0x80 and more are negative, so "below 12"
    // holds them, NULL and the integers.
    const uint64_t is_high = static_cast<uint16_t>(_mm_movemask_epi8(v));
    const uint64_t is_zero = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
    const uint64_t is_small =
        static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmplt_epi8(v, twelve)));
    // Bit 0 of each byte moved to its bit 7, where movemask reads it.
    const uint64_t is_odd = static_cast<uint16_t>(_mm_movemask_epi8(_mm_slli_epi16(v, 7)));
    classes.high |= is_high << shift;
    classes.integer |= (is_small & ~is_high & ~is_zero) << shift;
    classes.text |= (is_odd & ~is_small & 0xFFFF) << shift;
    classes.blob |= (~is_odd & ~is_small & 0xFFFF) << shift;
  }
  return classes;
#else
  return ClassifyBlockPortable(at);
#endif
}

// The same as ZeroMaskPortable.
inline uint64_t ZeroMask(const uint8_t* at) {
#ifdef QUARROW_HAVE_SSE2
  uint64_t mask = 0;
  const __m128i zero = _mm_setzero_si128();
  for (int part = 0; part < 4; ++part) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * part));
    mask |= static_cast<uint64_t>(static_cast<uint16_t>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(block, zero))))
            << (16 * part);
  }
  return mask;
#else
  return ZeroMaskPortable(at);
#endif
}

#ifdef QUARROW_HAVE_AVX2_DISPATCH
// ClassifyBlock and ZeroMask thirty-two bytes at a time, for processors with
// AVX2 (CpuHasAvx2). Each test's masks are joined into 64 bits first, so the
// classes take one operation each, not one per sixteen bytes. Not
// always_inline: they inline only into functions built for AVX2 too.

// The top bits of the 32 bytes of `lanes`, moved `shift` bits up.
QUARROW_TARGET_AVX2 inline uint64_t TopBits(__m256i lanes, int shift) {
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(lanes))) << shift;
}

QUARROW_TARGET_AVX2 inline ByteClasses ClassifyBlockAvx2(const uint8_t* at) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i twelve = _mm256_set1_epi8(12);
  uint64_t high = 0, is_zero = 0, small = 0, odd = 0;
  for (int shift = 0; shift < 64; shift += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + shift));
    high |= TopBits(v, shift);
    is_zero |= TopBits(_mm256_cmpeq_epi8(v, zero), shift);
    small |= TopBits(_mm256_cmpgt_epi8(twelve, v), shift);  // signed: high bytes too
    odd |= TopBits(_mm256_slli_epi16(v, 7), shift);  // each byte's bit 0 in its bit 7
  }
  return {small & ~high & ~is_zero, odd & ~small, ~odd & ~small, high};
}

QUARROW_TARGET_AVX2 inline uint64_t ZeroMaskAvx2(const uint8_t* at) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32));
  return TopBits(_mm256_cmpeq_epi8(low, zero), 0) | TopBits(_mm256_cmpeq_epi8(high, zero), 32);
}

// The same with AVX-512 (byte and word instructions): one compare covers the
// 64 bytes and gives its mask at once.
QUARROW_TARGET_AVX512 inline ByteClasses ClassifyBlockAvx512(const uint8_t* at) {
  const __m512i v = _mm512_loadu_si512(at);
  const uint64_t high = _mm512_movepi8_mask(v);
  const uint64_t is_zero = _mm512_testn_epi8_mask(v, v);
  const uint64_t small = _mm512_cmplt_epi8_mask(v, _mm512_set1_epi8(12));  // signed
  const uint64_t odd = _mm512_test_epi8_mask(v, _mm512_set1_epi8(1));
  return {small & ~high & ~is_zero, odd & ~small, ~odd & ~small, high};
}

QUARROW_TARGET_AVX512 inline uint64_t ZeroMaskAvx512(const uint8_t* at) {
  const __m512i v = _mm512_loadu_si512(at);
  return _mm512_testn_epi8_mask(v, v);
}

// Whether this processor (and its system) runs AVX2 or AVX-512 code: asked of
// the processor itself, no state of ours.
inline bool CpuHasAvx2() { return __builtin_cpu_supports("avx2"); }
inline bool CpuHasAvx512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}
#endif

// The classes of the 64 bytes starting `shift` bytes (1 to 63) into `low`'s
// run, `next` being the run that follows it (at 64, the next run itself).
inline ByteClasses ShiftClasses(const ByteClasses& low, const ByteClasses& next, int shift) {
  const int back = 64 - shift;
  auto join = [shift, back](uint64_t a, uint64_t b) { return (a >> shift) | (b << back); };
  return {join(low.integer, next.integer), join(low.text, next.text),
          join(low.blob, next.blob), join(low.high, next.high)};
}

}  // namespace quarrow

#endif  // QUARROW_ENGINE_BYTE_CLASSES_H_
