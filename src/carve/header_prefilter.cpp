#include "carve/header_prefilter.h"

#include <algorithm>
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

// Each kernel tests whole blocks from `at` and returns where it stopped.
// Masks hold bit i for the position at + i. As Passes: the length and the
// byte before; then, after a two-byte length, the first type one byte on;
// after a one-byte length, each type while those before it took one byte.
__attribute__((target("ssse3"))) int64_t FindSsse3(const HeaderPrefilter::NibbleTable& length_table,
                                                   const HeaderPrefilter::NibbleTable* types,
                                                   int type_count, const uint8_t* bytes,
                                                   int64_t at, int64_t end,
                                                   std::vector<uint32_t>& out) {
  const __m128i row_bit = Load16(kRowBits);
  __m128i low[HeaderPrefilter::kMostTypes], high[HeaderPrefilter::kMostTypes];
  for (int i = 0; i < type_count; ++i)
    low[i] = Load16(types[i].low.data()), high[i] = Load16(types[i].high.data());
  const __m128i len_low = Load16(length_table.low.data());
  const __m128i len_high = Load16(length_table.high.data());
  auto mask = [](__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); };
  for (; at + 16 <= end; at += 16) {
    const uint8_t* p = bytes + at;
    const __m128i length = Load16(p);
    const uint32_t head =
        mask(InSet16(length, len_low, len_high, row_bit)) & ~mask(Load16(p - 1)) & 0xFFFF;
    if (!head) continue;
    const uint32_t two_byte = mask(length);
    uint32_t pass = two_byte & mask(InSet16(Load16(p + 2), low[0], high[0], row_bit));
    uint32_t one_byte = head & ~two_byte, testing = one_byte;
    for (int i = 0; i < type_count && testing; ++i) {
      const __m128i type = Load16(p + 1 + i);
      one_byte &= ~(testing & ~mask(InSet16(type, low[i], high[i], row_bit)));
      testing &= one_byte & ~mask(type);
    }
    PushBits(head & (pass | one_byte), at, out);
  }
  return at;
}

__attribute__((target("avx2"))) __m256i Load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) __m256i Broadcast(const std::array<uint8_t, 16>& half) {
  return _mm256_broadcastsi128_si256(Load16(half.data()));
}

__attribute__((target("avx2"))) int64_t FindAvx2(const HeaderPrefilter::NibbleTable& length_table,
                                                 const HeaderPrefilter::NibbleTable* types,
                                                 int type_count, const uint8_t* bytes,
                                                 int64_t at, int64_t end,
                                                 std::vector<uint32_t>& out) {
  const __m256i row_bit = _mm256_broadcastsi128_si256(Load16(kRowBits));
  __m256i low[HeaderPrefilter::kMostTypes], high[HeaderPrefilter::kMostTypes];
  for (int i = 0; i < type_count; ++i) low[i] = Broadcast(types[i].low), high[i] = Broadcast(types[i].high);
  const __m256i len_low = Broadcast(length_table.low), len_high = Broadcast(length_table.high);
  auto mask = [](__m256i v) __attribute__((target("avx2"))) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(v));
  };
  for (; at + 32 <= end; at += 32) {
    const uint8_t* p = bytes + at;
    const __m256i length = Load32(p);
    const uint32_t head = mask(InSet32(length, len_low, len_high, row_bit)) & ~mask(Load32(p - 1));
    if (!head) continue;
    const uint32_t two_byte = mask(length);
    uint32_t pass = two_byte & mask(InSet32(Load32(p + 2), low[0], high[0], row_bit));
    uint32_t one_byte = head & ~two_byte, testing = one_byte;
    for (int i = 0; i < type_count && testing; ++i) {
      const __m256i type = Load32(p + 1 + i);
      one_byte &= ~(testing & ~mask(InSet32(type, low[i], high[i], row_bit)));
      testing &= one_byte & ~mask(type);
    }
    PushBits(head & (pass | one_byte), at, out);
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
  // Every record has min_columns types; past them, bytes may be its body.
  types_ = static_cast<int>(
      std::min<size_t>({table.min_columns, table.columns.size(), size_t{kMostTypes}}));
  types_ = std::max(types_, 1);
  for (int i = 0; i < types_; ++i) {
    Allow(table.columns[i], type_[i]);
    type_nibbles_[i] = Nibbles(type_[i]);
  }
  length_nibbles_ = Nibbles(length_);
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
  if (kernel == Kernel::kAvx2)
    at = FindAvx2(length_nibbles_, type_nibbles_.data(), types_, bytes, at, end, out);
  if (kernel == Kernel::kSsse3)
    at = FindSsse3(length_nibbles_, type_nibbles_.data(), types_, bytes, at, end, out);
#else
  (void)kernel;
#endif
  for (; at < end; ++at)
    if (Passes(bytes + at)) out.push_back(static_cast<uint32_t>(at));
}

}  // namespace quarrow
