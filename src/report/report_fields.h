// What the csv and jsonl reports are made of, whatever the command: named
// columns, each holding integers or texts, and one record's fields. The tsv
// report is each command's own and does not come through here.
#ifndef QUARROW_REPORT_REPORT_FIELDS_H_
#define QUARROW_REPORT_REPORT_FIELDS_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarrow {

// A report column. `integer` columns are written as JSON numbers where the
// field's text is a decimal integer; every other field is a text.
struct ReportColumn {
  std::string name;
  bool integer = false;
};

// One field of a record: its rendered bytes, or no value at all (a suppressed
// column, a missing number). csv writes "no value" as its `text` (the tsv
// report's own "null" or empty field); jsonl writes null.
struct ReportField {
  std::string_view text;
  bool is_null = false;
  // For a column whose kind depends on the record (a column of any kind): the
  // field is an integer here even when its column is not.
  bool integer = false;
};

// Column names fit for keys: an empty name becomes "column_<n>" (n from 1, its
// position), and a name met before gets "_2", "_3"... so that no JSON key or
// csv header repeats (a table may have a column named like the meta fields).
std::vector<ReportColumn> UniqueColumnNames(std::vector<ReportColumn> columns,
                                            const std::vector<std::string>& reserved = {});

// True iff `text` is a decimal integer as SQLite values render: an optional
// "-", then "0" or digits not starting with 0. Such a text is a valid JSON
// number.
inline bool IsDecimalInteger(std::string_view text) {
  size_t i = !text.empty() && text.front() == '-' ? 1 : 0;
  if (i == text.size() || (text[i] == '0' && text.size() > i + 1)) return false;
  // Eight digits at a time: a byte below '0' borrows, one above '9' carries
  // into its high bit (the first such byte is always caught).
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    if (((word - kOnes * '0') | (word + kOnes * (0x80 - '9' - 1)) | word) & (kOnes * 0x80))
      return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i] - '0') > 9) return false;
  }
  return true;
}

// How the bytes at the start of `bytes` (its first byte from 0x80 on) read as
// UTF-8: `length` bytes that form one valid sequence, or one maximal invalid
// subpart (at least one byte) that a single U+FFFD replaces.
struct Utf8Step {
  size_t length = 1;
  bool valid = false;
};
// NextUtf8Step by Unicode's table, for any sequence.
Utf8Step NextUtf8StepSlow(std::string_view bytes);
inline Utf8Step NextUtf8Step(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  // A byte that starts no sequence is an invalid subpart of its own: most
  // bytes from 0x80 on in carved text, which is stray bytes.
  if (lead < 0xC2 || lead > 0xF4) return {1, false};
  // Two-byte sequences (most accented letters) need no table either.
  if (lead <= 0xDF) {
    const bool valid =
        bytes.size() >= 2 && (static_cast<unsigned char>(bytes[1]) & 0xC0) == 0x80;
    return {valid ? size_t{2} : size_t{1}, valid};
  }
  return NextUtf8StepSlow(bytes);
}

// The same for a text followed by at least 16 readable bytes: up to 16 bytes
// are judged at once, without a branch per byte.
inline bool IsDecimalIntegerPadded(std::string_view text) {
#if defined(__SSE2__)
  const size_t size = text.size();
  if (size > 0 && size <= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data()));
    const __m128i value = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    // Digits are the bytes whose value is at most 9, unsigned.
    const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(value, _mm_set1_epi8(9)), value);
    const uint32_t digits = static_cast<uint32_t>(_mm_movemask_epi8(digit));
    const uint32_t first = text[0] == '-' ? 1 : 0;
    const uint32_t wanted = ((1u << size) - 1) & ~((1u << first) - 1);
    if (first == size || (digits & wanted) != wanted) return false;
    return text[first] != '0' || size == first + 1;
  }
#endif
  return IsDecimalInteger(text);
}

// Appends `bytes` with every invalid UTF-8 sequence (overlong forms, surrogates,
// values past U+10FFFF, cut sequences) replaced by U+FFFD, one per maximal
// invalid subpart. Returns false iff something was replaced.
bool AppendValidUtf8(std::string_view bytes, std::string& out);

}  // namespace quarrow

#endif  // QUARROW_REPORT_REPORT_FIELDS_H_
