// A report line built in place: writers ask for room, write bytes through a
// pointer and move the end. The bytes are kept from line to line, so a
// line costs no allocation once the longest has been seen, and no check per
// byte written; nor is the room zeroed first, as a string's would be. Lines
// can follow one another too (a scan page's bulk). Not thread-safe; one per
// thread.
#ifndef QUARROW_ENGINE_LINE_BUFFER_H_
#define QUARROW_ENGINE_LINE_BUFFER_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarrow {

class LineBuffer {
 public:
  // Bytes past any room asked for that a writer may overwrite: copies of short
  // fragments move whole blocks of 16 and 32 bytes.
  static constexpr size_t kSlack = 32;

  void Clear() { size_ = 0; }
  // Where the next `bytes` bytes go; SetEnd says how many were written.
  char* Room(size_t bytes) {
    if (size_ + bytes + kSlack > capacity_) Grow(size_ + bytes + kSlack);
    return data_.get() + size_;
  }
  void SetEnd(const char* end) { size_ = static_cast<size_t>(end - data_.get()); }
  void Append(std::string_view bytes) {
    char* at = Room(bytes.size());
    std::memcpy(at, bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  char* data() { return data_.get(); }
  size_t size() const { return size_; }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  void Grow(size_t needed) {
    size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity < needed) capacity *= 2;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// Copies a fragment whose storage holds LineBuffer::kSlack readable bytes
// past its end in blocks of 32 bytes: no call, no branch per byte. `out`
// needs the same slack.
inline char* CopyPadded(std::string_view fragment, char* out) {
  std::memcpy(out, fragment.data(), 32);  // most keys fit
  for (size_t i = 32; i < fragment.size(); i += 32) std::memcpy(out + i, fragment.data() + i, 32);
  return out + fragment.size();
}

// Copies `bytes` to `out` without a call for the short texts most cells hold:
// two overlapping moves cover 4 to 16 bytes.
inline char* CopyBytes(std::string_view bytes, char* out) {
  const char* from = bytes.data();
  const size_t size = bytes.size();
  if (size >= 8 && size <= 16) {
    std::memcpy(out, from, 8);
    std::memcpy(out + size - 8, from + size - 8, 8);
  } else if (size >= 4 && size < 8) {
    std::memcpy(out, from, 4);
    std::memcpy(out + size - 4, from + size - 4, 4);
  } else if (size > 0 && size < 4) {
    out[0] = from[0];
    out[size / 2] = from[size / 2];
    out[size - 1] = from[size - 1];
  } else if (size > 16) {
    std::memcpy(out, from, size);
  }
  return out + size;
}

// The number of decimal digits of `value`.
inline int DecimalDigits(uint64_t value) {
  static constexpr uint64_t kPowers[20] = {0,
                                           10ull,
                                           100ull,
                                           1000ull,
                                           10000ull,
                                           100000ull,
                                           1000000ull,
                                           10000000ull,
                                           100000000ull,
                                           1000000000ull,
                                           10000000000ull,
                                           100000000000ull,
                                           1000000000000ull,
                                           10000000000000ull,
                                           100000000000000ull,
                                           1000000000000000ull,
                                           10000000000000000ull,
                                           100000000000000000ull,
                                           1000000000000000000ull,
                                           10000000000000000000ull};
  // The bit length gives the count or one more: 1233 / 4096 is about log10(2).
  const int guess = ((64 - std::countl_zero(value | 1)) * 1233) >> 12;
  return guess + 1 - (value < kPowers[guess]);
}

// Writes `value` in decimal at `out`, which has room for 20 digits; returns
// the end. Its length known first, the digits go straight to their places,
// two a step from a table: a report writes an offset on every line. A single
// digit, common in cell prefixes, takes neither.
inline constexpr char kDecimalPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
inline char* WriteDecimal(uint64_t value, char* out) {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  constexpr const char* kPairs = kDecimalPairs;
  char* const end = out + DecimalDigits(value);
  char* at = end;
  while (value >= 100) {
    at -= 2;
    std::memcpy(at, kPairs + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    std::memcpy(at - 2, kPairs + 2 * value, 2);
  } else {
    at[-1] = static_cast<char>('0' + value);
  }
  return end;
}

// The same for any 64-bit integer, its sign first; room for 21 bytes. A
// single digit, the most common value, takes no loop.
inline char* WriteSignedDecimal(int64_t value, char* out) {
  if (static_cast<uint64_t>(value) < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  if (value >= 0) return WriteDecimal(static_cast<uint64_t>(value), out);
  *out = '-';
  return WriteDecimal(uint64_t{0} - static_cast<uint64_t>(value), out + 1);
}

// Writes numbers that lie close together, such as the offsets of one page's
// matches, in decimal, byte for byte as WriteDecimal: the digits above the
// last four are kept from the number before when they are the same, so most
// numbers cost four digits. `out` needs room for 20 bytes. One per thread.
class NearbyDecimals {
 public:
  char* Write(uint64_t value, char* out) {
    if (value < 10000) return WriteDecimal(value, out);
    const uint64_t high = value / 10000;
    const auto low = static_cast<uint32_t>(value - high * 10000);
    if (high != high_) {
      high_ = high;
      high_size_ = static_cast<size_t>(WriteDecimal(high, high_text_) - high_text_);
    }
    std::memcpy(out, high_text_, 16);  // below 2^64 / 10^4: at most 16 digits
    out += high_size_;
    std::memcpy(out, kDecimalPairs + 2 * (low / 100), 2);
    std::memcpy(out + 2, kDecimalPairs + 2 * (low % 100), 2);
    return out + 4;
  }

 private:
  uint64_t high_ = ~uint64_t{0};  // above any value's high part
  char high_text_[20] = {};
  size_t high_size_ = 0;
};

// Copies a fragment as CopyPadded does, with every TAB made a comma: a row of
// cells joined by TABs becomes their csv fields, in whole blocks of 16 bytes.
inline char* CopyTabsAsCommas(std::string_view fragment, char* out) {
#if defined(__SSE2__)
  const __m128i tab = _mm_set1_epi8('\t'), tab_to_comma = _mm_set1_epi8('\t' ^ ',');
  for (size_t i = 0; i < fragment.size(); i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(fragment.data() + i));
    const __m128i tabs = _mm_cmpeq_epi8(block, tab);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_xor_si128(block, _mm_and_si128(tabs, tab_to_comma)));
  }
#else
  for (size_t i = 0; i < fragment.size(); ++i) out[i] = fragment[i] == '\t' ? ',' : fragment[i];
#endif
  return out + fragment.size();
}

}  // namespace quarrow

#endif  // QUARROW_ENGINE_LINE_BUFFER_H_
