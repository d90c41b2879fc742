#include "carve/header_prefilter.h"

#include <bit>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUARROW_PREFILTER_X86 1
#include <immintrin.h>
#endif

namespace quarrow {

namespace {

void Allow(const FitColumn& column, std::array<uint8_t, 256>& bytes) {
  for (uint64_t b = 0; b < 256; ++b)
    bytes[b] = b < 0x80 ? SerialTypeFits(column, b) : column.texts || column.blobs;
}

HeaderPrefilter::NibbleTable Nibbles(const std::array<uint8_t, 256>& set) {
  HeaderPrefilter::NibbleTable table;
  for (int b = 0; b < 256; ++b) {
    if (!set[b]) continue;
    const int row = b >> 4, column = b & 15;
    (row < 8 ? table.low : table.high)[column] |= static_cast<uint8_t>(1u << (row & 7));
  }
  return table;
}

#ifdef QUARROW_PREFILTER_X86

void PushBits(uint32_t mask, int64_t at, std::vector<uint32_t>& out) {
  for (; mask; mask &= mask - 1) out.push_back(static_cast<uint32_t>(at + std::countr_zero(mask)));
}

// The byte-set test of 16 bytes at once (0xFF where the byte is in the set):
// a shuffle by the low nibble picks the byte's column of the table, in which
// the high nibble picks the bit. A shuffle index with its high bit set gives
// zero, which splits the rows 0-7 from 8-15.
__attribute__((target("ssse3"))) inline __m128i InSet16(__m128i v, __m128i low, __m128i high,
                                                       __m128i row_bit) {
  const __m128i column = _mm_or_si128(_mm_shuffle_epi8(low, v),
                                      _mm_shuffle_epi8(high, _mm_xor_si128(v, _mm_set1_epi8(-128))));
  const __m128i row = _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
  const __m128i bit = _mm_shuffle_epi8(row_bit, row);
  return _mm_cmpeq_epi8(_mm_and_si128(column, bit), bit);
}

__attribute__((target("avx2"))) inline __m256i InSet32(__m256i v, __m256i low, __m256i high,
                                                      __m256i row_bit) {
  const __m256i column =
      _mm256_or_si256(_mm256_shuffle_epi8(low, v),
                      _mm256_shuffle_epi8(high, _mm256_xor_si256(v, _mm256_set1_epi8(-128))));
  const __m256i row = _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
  const __m256i bit = _mm256_shuffle_epi8(row_bit, row);
  return _mm256_cmpeq_epi8(_mm256_and_si256(column, bit), bit);
}

constexpr uint8_t kRowBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};

__m128i Load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// The positions of a block that pass, from the masks of its bytes (bit i for
// the position at + i): `head` is the length test and the byte before,
// `high0`/`high1` the high bits of the first two bytes, `first1`/`first2` the
// first type's test on the second and third bytes, `second2` the second
// type's on the third. As Passes, many positions at once.
inline uint32_t Passing(uint32_t head, uint32_t high0, uint32_t high1, uint32_t first1,
                        uint32_t first2, uint32_t second2) {
  return head & ((high0 & first2) | (~high0 & first1 & (high1 | second2)));
}

// Each kernel tests whole blocks from `at` and returns where it stopped.
__attribute__((target("ssse3"))) int64_t FindSsse3(const HeaderPrefilter::NibbleTable* t,
                                                   const uint8_t* bytes, int64_t at, int64_t end,
                                                   std::vector<uint32_t>& out) {
  const __m128i row_bit = Load16(kRowBits);
  const __m128i len_low = Load16(t[0].low.data()), len_high = Load16(t[0].high.data());
  const __m128i first_low = Load16(t[1].low.data()), first_high = Load16(t[1].high.data());
  const __m128i second_low = Load16(t[2].low.data()), second_high = Load16(t[2].high.data());
  auto mask = [](__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); };
  for (; at + 16 <= end; at += 16) {
    const uint8_t* p = bytes + at;
    const __m128i length = Load16(p);
    const uint32_t head =
        mask(InSet16(length, len_low, len_high, row_bit)) & ~mask(Load16(p - 1)) & 0xFFFF;
    if (!head) continue;
    const __m128i b1 = Load16(p + 1), b2 = Load16(p + 2);
    PushBits(Passing(head, mask(length), mask(b1), mask(InSet16(b1, first_low, first_high, row_bit)),
                     mask(InSet16(b2, first_low, first_high, row_bit)),
                     mask(InSet16(b2, second_low, second_high, row_bit))),
             at, out);
  }
  return at;
}

__attribute__((target("avx2"))) __m256i Load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) __m256i Broadcast(const std::array<uint8_t, 16>& half) {
  return _mm256_broadcastsi128_si256(Load16(half.data()));
}

__attribute__((target("avx2"))) int64_t FindAvx2(const HeaderPrefilter::NibbleTable* t,
                                                 const uint8_t* bytes, int64_t at, int64_t end,
                                                 std::vector<uint32_t>& out) {
  const __m256i row_bit = _mm256_broadcastsi128_si256(Load16(kRowBits));
  const __m256i len_low = Broadcast(t[0].low), len_high = Broadcast(t[0].high);
  const __m256i first_low = Broadcast(t[1].low), first_high = Broadcast(t[1].high);
  const __m256i second_low = Broadcast(t[2].low), second_high = Broadcast(t[2].high);
  auto mask = [](__m256i v) __attribute__((target("avx2"))) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(v));
  };
  for (; at + 32 <= end; at += 32) {
    const uint8_t* p = bytes + at;
    const __m256i length = Load32(p);
    const uint32_t head = mask(InSet32(length, len_low, len_high, row_bit)) & ~mask(Load32(p - 1));
    if (!head) continue;
    const __m256i b1 = Load32(p + 1), b2 = Load32(p + 2);
    PushBits(Passing(head, mask(length), mask(b1), mask(InSet32(b1, first_low, first_high, row_bit)),
                     mask(InSet32(b2, first_low, first_high, row_bit)),
                     mask(InSet32(b2, second_low, second_high, row_bit))),
             at, out);
  }
  return at;
}

#endif  // QUARROW_PREFILTER_X86

}  // namespace

HeaderPrefilter::HeaderPrefilter(const FitTable& table) {
  const uint64_t least = 1 + table.min_columns, most = MaxHeaderSize(table);
  for (uint64_t b = 0; b < 0x80; ++b) length_[b] = b >= least && b <= most;
  // Two-byte header lengths: a first byte of 0x80 + k starts 128k to 128k + 127.
  for (uint64_t k = 1; k <= most >> 7 && k < 0x80; ++k) length_[0x80 + k] = 1;
  Allow(table.columns[0], first_type_);
  if (table.columns.size() > 1) {
    Allow(table.columns[1], second_type_);
  } else {
    second_type_.fill(1);
  }
  length_nibbles_ = Nibbles(length_);
  first_nibbles_ = Nibbles(first_type_);
  second_nibbles_ = Nibbles(second_type_);
  kernel_ = Supported(Kernel::kAvx2)    ? Kernel::kAvx2
            : Supported(Kernel::kSsse3) ? Kernel::kSsse3
                                        : Kernel::kScalar;
}

bool HeaderPrefilter::Supported(Kernel kernel) {
  switch (kernel) {
    case Kernel::kScalar:
      return true;
#ifdef QUARROW_PREFILTER_X86
    case Kernel::kSsse3:
      return __builtin_cpu_supports("ssse3");
    case Kernel::kAvx2:
      return __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

void HeaderPrefilter::FindWith(Kernel kernel, const uint8_t* bytes, int64_t begin, int64_t end,
                               std::vector<uint32_t>& out) const {
  out.clear();
  int64_t at = begin;
#ifdef QUARROW_PREFILTER_X86
  const NibbleTable tables[3] = {length_nibbles_, first_nibbles_, second_nibbles_};
  if (kernel == Kernel::kAvx2) at = FindAvx2(tables, bytes, at, end, out);
  if (kernel == Kernel::kSsse3) at = FindSsse3(tables, bytes, at, end, out);
#else
  (void)kernel;
#endif
  for (; at < end; ++at)
    if (Passes(bytes + at)) out.push_back(static_cast<uint32_t>(at));
}

}  // namespace quarrow
