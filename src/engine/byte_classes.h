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

// Classifies the 64 bytes at `at`.
inline ByteClasses ClassifyBlock(const uint8_t* at) {
  ByteClasses classes;
#ifdef QUARROW_HAVE_SSE2
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
#else
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
#endif
  return classes;
}

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
