// Finds the end of a run of bytes a report copies as they are, eight bytes at
// a time, or sixteen where the machine has SSE2 (most texts need neither
// escapes nor quotes nor replacement, and one look at a word is cheaper than
// eight at its bytes), for jsonl and for csv; and marks a whole row's special
// bytes (or TABs, or spaces) as bits, one per byte, so that a writer visits
// the few marked ones instead of every byte.
#ifndef QUARROW_REPORT_BYTE_SCAN_H_
#define QUARROW_REPORT_BYTE_SCAN_H_

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarrow {

namespace byte_scan {

// Masks mark a byte of a word by its high bit. They are exact, byte by byte:
// no carry crosses from one byte to the next.
inline constexpr uint64_t kOnes = 0x0101010101010101ull;
inline constexpr uint64_t kHigh = 0x8080808080808080ull;
inline constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;

// Marks the bytes of `word` that are zero.
constexpr uint64_t ZeroBytes(uint64_t word) { return ~(((word & kLow7) + kLow7) | word | kLow7); }
// Marks the bytes of `word` equal to `byte`.
constexpr uint64_t BytesEqual(uint64_t word, uint8_t byte) { return ZeroBytes(word ^ (kOnes * byte)); }
// Marks the bytes below 0x20 and those from 0x80 on.
constexpr uint64_t ControlOrHighBytes(uint64_t word) {
  return ZeroBytes(word & (kOnes * 0xE0)) | (word & kHigh);
}

// The position of the first byte `mask` (nonzero) marks.
inline size_t FirstMarked(uint64_t mask) { return std::countr_zero(mask) / 8; }

// The eight bytes at `bytes`, the first in the lowest bits whatever the
// machine's byte order.
inline uint64_t Load(const char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, 8);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

}  // namespace byte_scan

namespace byte_scan {

#if defined(__SSE2__)
// Sixteen bytes at a time where the machine has them: one bit per byte.
inline __m128i LoadBlock(const char* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}
#endif

}  // namespace byte_scan

// The first position from `from` on whose byte `marks` marks (a function from
// a word -- or a block, see JsonNotPlain -- to its mask), or bytes.size().
// `plain` is the set of bytes it does not mark, as a table, for texts shorter
// than a word.
template <typename Marks>
[[gnu::always_inline]] inline size_t PlainRunEnd(std::string_view bytes, size_t from, const std::array<bool, 256>& plain,
                   Marks marks) {
  using namespace byte_scan;
  const size_t size = bytes.size();
  if (size < 8) {
    while (from < size && plain[static_cast<uint8_t>(bytes[from])]) ++from;
    return from;
  }
  size_t i = from;
#if defined(__SSE2__)
  if (size >= 16) {
    for (; i + 16 <= size; i += 16) {
      if (const uint32_t bits = marks(LoadBlock(bytes.data() + i))) return i + std::countr_zero(bits);
    }
    if (i == size) return size;
    // The last block overlaps what was looked at already: its first bytes go.
    const uint32_t bits = marks(LoadBlock(bytes.data() + size - 16)) >> (i - (size - 16));
    return bits ? i + std::countr_zero(bits) : size;
  }
#endif
  for (; i + 8 <= size; i += 8) {
    if (const uint64_t mask = marks(Load(bytes.data() + i))) return i + FirstMarked(mask);
  }
  if (i == size) return size;
  const uint64_t mask = marks(Load(bytes.data() + size - 8)) >> (8 * (i - (size - 8)));
  return mask ? i + FirstMarked(mask) : size;
}

// A set of bytes to mark (`marks`, see NotPlainBytes) and where its bits go.
template <typename Marks>
struct MarkSet {
  Marks marks;
  std::vector<uint64_t>* bits;
};

// For each set, sets its bits to one bit per byte of `bytes` -- bit i % 64 of
// word i / 64 -- set where the set's marks mark the byte. `bytes` must be
// followed by 16 readable bytes: the last block is read whole. Each block is
// loaded once for all the sets. A row's special bytes are rare, so callers
// visit the set bits instead of every byte.
template <typename... Marks>
void MarkBits(std::string_view bytes, MarkSet<Marks>... sets) {
  const size_t size = bytes.size();
  (sets.bits->resize((size + 63) / 64), ...);
#if defined(__SSE2__)
  // Whole words in registers; the last one block by block, so that no block
  // starts past the end.
  size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    __m128i blocks[4];
    for (int part = 0; part < 4; ++part)
      blocks[part] = byte_scan::LoadBlock(bytes.data() + i + 16 * part);
    auto word = [&blocks](const auto& marks) {
      uint64_t word = 0;
      for (int part = 0; part < 4; ++part)
        word |= static_cast<uint64_t>(marks(blocks[part])) << (16 * part);
      return word;
    };
    (((*sets.bits)[i / 64] = word(sets.marks)), ...);
  }
  // Whole words are assigned above: only the last one starts from zero.
  if (i < size) (((*sets.bits)[i / 64] = 0), ...);
  for (; i < size; i += 16) {
    const __m128i block = byte_scan::LoadBlock(bytes.data() + i);
    (((*sets.bits)[i / 64] |= static_cast<uint64_t>(sets.marks(block)) << (i % 64)), ...);
  }
  // The last block's bytes past the end are not the text's.
  if (size % 64 != 0) ((sets.bits->back() &= (uint64_t{1} << (size % 64)) - 1), ...);
#else
  (std::fill(sets.bits->begin(), sets.bits->end(), 0), ...);
  for (size_t i = 0; i < size; ++i)
    (((*sets.bits)[i / 64] |= static_cast<uint64_t>(sets.marks(bytes[i])) << (i % 64)), ...);
#endif
}

// The same for one set.
template <typename Marks>
void MarkBits(std::string_view bytes, Marks marks, std::vector<uint64_t>& bits) {
  MarkBits(bytes, MarkSet<Marks>{marks, &bits});
}

namespace byte_scan {

// The plain bytes of each format as a table: what its texts hold as they are.
// JSON: ASCII but controls, quote and backslash.
inline constexpr std::array<bool, 256> kJsonPlain = [] {
  std::array<bool, 256> table{};
  for (int b = 0x20; b < 0x80; ++b) table[b] = true;
  table['"'] = table['\\'] = false;
  return table;
}();
// csv: ASCII but controls, comma and quote. (Controls other than CR and LF need
// no quotes, but they are rare and take the careful path.)
inline constexpr std::array<bool, 256> kCsvPlain = [] {
  std::array<bool, 256> table{};
  for (int b = 0x20; b < 0x80; ++b) table[b] = true;
  table[','] = table['"'] = false;
  return table;
}();

// The same sets as masks of a word's bytes that are not plain: control and
// high bytes, and the format's two special characters.
template <char kFirst, char kSecond>
struct NotPlainBytes {
  bool operator()(char byte) const {
    const auto value = static_cast<uint8_t>(byte);
    return value < 0x20 || value >= 0x80 || byte == kFirst || byte == kSecond;
  }
  uint64_t operator()(uint64_t word) const {
    return ControlOrHighBytes(word) | BytesEqual(word, kFirst) | BytesEqual(word, kSecond);
  }
#if defined(__SSE2__)
  uint32_t operator()(__m128i block) const {
    // Signed: the bytes from 0x80 on are below 0x20 too.
    const __m128i control_or_high = _mm_cmplt_epi8(block, _mm_set1_epi8(0x20));
    const __m128i first = _mm_cmpeq_epi8(block, _mm_set1_epi8(kFirst));
    const __m128i second = _mm_cmpeq_epi8(block, _mm_set1_epi8(kSecond));
    return static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_or_si128(control_or_high, _mm_or_si128(first, second))));
  }
#endif
};
using JsonNotPlain = NotPlainBytes<'"', '\\'>;
using CsvNotPlain = NotPlainBytes<',', '"'>;

// One byte value: the TABs of a row whose cells are joined by them, its spaces.
template <char kByte>
struct ByteIs {
  bool operator()(char byte) const { return byte == kByte; }
  uint64_t operator()(uint64_t word) const { return BytesEqual(word, kByte); }
#if defined(__SSE2__)
  uint32_t operator()(__m128i block) const {
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8(kByte))));
  }
#endif
};
using TabBytes = ByteIs<'\t'>;
using SpaceBytes = ByteIs<' '>;

}  // namespace byte_scan

// The first position from `from` on whose byte a JSON string cannot hold as
// it is (a control byte -- TAB included --, quote, backslash, or a byte from
// 0x80 on), or bytes.size().
inline size_t JsonPlainEnd(std::string_view bytes, size_t from) {
  return PlainRunEnd(bytes, from, byte_scan::kJsonPlain, byte_scan::JsonNotPlain());
}

// The first position from `from` on whose byte may need care in a csv field (a
// control byte -- TAB included --, comma, quote, or a byte from 0x80 on), or
// bytes.size().
inline size_t CsvPlainEnd(std::string_view bytes, size_t from) {
  return PlainRunEnd(bytes, from, byte_scan::kCsvPlain, byte_scan::CsvNotPlain());
}

}  // namespace quarrow

#endif  // QUARROW_REPORT_BYTE_SCAN_H_
