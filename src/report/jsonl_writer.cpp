#include "report/jsonl_writer.h"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "report/byte_scan.h"

namespace quarrow {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The most bytes a JSON string of `size` bytes takes: 6 for an escaped byte
// (\u00XX), quotes around.
constexpr size_t MaxJsonStringSize(size_t size) { return 6 * size + 2; }

char* WriteEscaped(char c, char* out) {
  switch (c) {
    case '"': std::memcpy(out, "\\\"", 2); return out + 2;
    case '\\': std::memcpy(out, "\\\\", 2); return out + 2;
    case '\n': std::memcpy(out, "\\n", 2); return out + 2;
    case '\r': std::memcpy(out, "\\r", 2); return out + 2;
    case '\t': std::memcpy(out, "\\t", 2); return out + 2;
    default:
      std::memcpy(out, "\\u00", 4);
      out[4] = kHexDigits[static_cast<uint8_t>(c) >> 4];
      out[5] = kHexDigits[static_cast<uint8_t>(c) & 15];
      return out + 6;
  }
}

// Writes `bytes` as a JSON string at `out`, which has room for
// MaxJsonStringSize bytes; returns its end. Runs of plain ASCII and valid
// UTF-8 are copied whole. Clears `valid` if something was replaced.
char* WriteJsonString(std::string_view bytes, char* out, bool& valid) {
  *out++ = '"';
  size_t from = 0;  // the first byte not copied yet
  size_t i = 0;
  while (true) {
    i = JsonPlainEnd(bytes, i);
    if (i == bytes.size()) break;
    if (static_cast<uint8_t>(bytes[i]) >= 0x80) {
      const Utf8Step step = NextUtf8Step(bytes.substr(i));
      if (step.valid) {  // copied with the run it belongs to
        i += step.length;
        continue;
      }
      out = CopyBytes(bytes.substr(from, i - from), out);
      std::memcpy(out, kReplacement.data(), kReplacement.size());
      out += kReplacement.size();
      valid = false;
      i += step.length;
    } else {
      out = WriteEscaped(bytes[i], CopyBytes(bytes.substr(from, i - from), out));
      ++i;
    }
    from = i;
  }
  out = CopyBytes(bytes.substr(from, i - from), out);
  *out++ = '"';
  return out;
}

// WriteJsonString for `bytes` followed by LineBuffer::kSlack readable bytes:
// the bytes that need care are found sixteen at a time, as bits, and the runs
// between them copied in whole blocks.
char* WritePaddedJsonString(std::string_view bytes, char* out, bool& valid) {
#if defined(__SSE2__)
  *out++ = '"';
  const size_t size = bytes.size();
  size_t from = 0;  // the first byte not copied yet
  size_t next = 0;  // the first byte not judged yet: past a valid sequence
  const byte_scan::JsonNotPlain marks;
  for (size_t block = 0; block < size; block += 16) {
    uint32_t bits = marks(byte_scan::LoadBlock(bytes.data() + block));
    if (size - block < 16) bits &= (uint32_t{1} << (size - block)) - 1;
    for (; bits != 0; bits &= bits - 1) {
      const size_t at = block + static_cast<size_t>(std::countr_zero(bits));
      if (at < next) continue;
      if (static_cast<uint8_t>(bytes[at]) < 0x80) {
        out = WriteEscaped(bytes[at], CopyPadded(bytes.substr(from, at - from), out));
        from = next = at + 1;
        continue;
      }
      const Utf8Step step = NextUtf8Step(bytes.substr(at));
      next = at + step.length;
      if (step.valid) continue;  // copied with the run it belongs to
      out = CopyPadded(bytes.substr(from, at - from), out);
      std::memcpy(out, kReplacement.data(), kReplacement.size());
      out += kReplacement.size();
      valid = false;
      from = next;
    }
  }
  out = CopyPadded(bytes.substr(from), out);
  *out++ = '"';
  return out;
#else
  return WriteJsonString(bytes, out, valid);
#endif
}

// Each byte's two lowercase hex digits.
constexpr std::array<char, 512> kHexPairs = [] {
  std::array<char, 512> pairs{};
  for (int b = 0; b < 256; ++b) {
    pairs[2 * b] = kHexDigits[b >> 4];
    pairs[2 * b + 1] = kHexDigits[b & 15];
  }
  return pairs;
}();

void AppendHex(std::string_view bytes, std::string& out) {
  const size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  char* hex = out.data() + at;
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes at a time: carved text that is not UTF-8 is often long.
  const __m128i low_nibble = _mm_set1_epi8(0x0f), nine = _mm_set1_epi8(9);
  const __m128i zero_char = _mm_set1_epi8('0'), letter_step = _mm_set1_epi8('a' - '0' - 10);
  auto digits = [&](__m128i nibbles) {
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_step);
    return _mm_add_epi8(_mm_add_epi8(nibbles, zero_char), letters);
  };
  for (; i + 16 <= bytes.size(); i += 16, hex += 32) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
    const __m128i high = _mm_and_si128(_mm_srli_epi16(block, 4), low_nibble);
    const __m128i low = _mm_and_si128(block, low_nibble);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex), digits(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 16), digits(_mm_unpackhi_epi8(high, low)));
  }
#endif
  for (; i < bytes.size(); ++i, hex += 2)
    std::memcpy(hex, &kHexPairs[2 * static_cast<uint8_t>(bytes[i])], 2);
}

// ',' "name" ':' -- the comma is dropped before an object's first member.
std::string EncodeKey(std::string_view name) {
  std::string key = ",";
  AppendJsonString(name, key);
  key += ':';
  return key;
}

}  // namespace

bool AppendJsonString(std::string_view bytes, std::string& out) {
  const size_t start = out.size();
  out.resize(start + MaxJsonStringSize(bytes.size()));
  bool valid = true;
  const char* end = WriteJsonString(bytes, out.data() + start, valid);
  out.resize(static_cast<size_t>(end - out.data()));
  return valid;
}

JsonlColumns::JsonlColumns(std::vector<ReportColumn> report_columns)
    : columns_(std::move(report_columns)) {
  for (const ReportColumn& column : columns_) {
    const std::string key = EncodeKey(column.name);
    Member member;
    member.key_size = key.size();
    member.null_at = text_.size();
    text_ += key + "null";
    member.empty_at = text_.size();
    text_ += key + "\"\"";
    members_.push_back(member);
    keys_size_ += key.size();
  }
  text_.append(LineBuffer::kSlack, '\0');
}

void JsonlLine::Begin() {
  line_.Clear();
  raw_.clear();
}

void JsonlLine::Integer(std::string_view name, int64_t value) {
  char* out = line_.Room(name.size() + 4 + 20);
  std::memcpy(out, ",\"", 2);
  out = CopyBytes(name, out + 2);
  std::memcpy(out, "\":", 2);
  out += 2;
  line_.SetEnd(std::to_chars(out, out + 20, value).ptr);
}

void JsonlLine::Text(std::string_view name, std::string_view bytes) {
  const std::string key = EncodeKey(name);
  Commit(WriteEscapedText(key, bytes, MakeRoom(key.size() + MaxJsonStringSize(bytes.size()))));
}

void JsonlLine::Integer(const JsonlColumns& layout, size_t index, std::string_view text) {
  if (!IsDecimalInteger(text)) return Text(layout, index, text);
  Commit(WriteNumber(layout, index, text, MakeRoom(layout.RoomFor(index, text.size()))));
}

void JsonlLine::Field(const JsonlColumns& layout, size_t index, const ReportField& field) {
  if (field.is_null) {
    Null(layout, index);
  } else if (layout.columns()[index].integer || field.integer) {
    Integer(layout, index, field.text);
  } else {
    Text(layout, index, field.text);
  }
}

char* JsonlLine::WriteEscapedText(std::string_view key, std::string_view bytes, char* out) {
  std::memcpy(out, key.data(), key.size());
  bool valid = true;
  out = WriteJsonString(bytes, out + key.size(), valid);
  if (!valid) AddRaw(key, bytes);
  return out;
}

char* JsonlLine::WritePaddedTextValue(const JsonlColumns& layout, size_t index,
                                      std::string_view bytes, char* out) {
  bool valid = true;
  out = WritePaddedJsonString(bytes, out, valid);
  if (!valid) AddRaw(layout.key(index), bytes);
  return out;
}

void JsonlLine::AddRaw(std::string_view key, std::string_view bytes) {
  raw_ += raw_.empty() ? '{' : ',';
  raw_ += key.substr(1);
  raw_ += '"';
  AppendHex(bytes, raw_);
  raw_ += '"';
}

char* JsonlLine::WriteEnd(char* out) const {
  constexpr std::string_view kRawKey = ",\"_raw\":";
  if (!raw_.empty()) {
    std::memcpy(out, kRawKey.data(), kRawKey.size());
    out += kRawKey.size();
    std::memcpy(out, raw_.data(), raw_.size());
    out += raw_.size();
    *out++ = '}';
  }
  std::memcpy(out, "}\n", 2);
  return out + 2;
}

std::string_view JsonlLine::Finish() {
  line_.SetEnd(WriteEnd(line_.Room(EndRoom())));
  // Every member was written after a comma: the first one's opens the object.
  if (line_.size() == 2) {  // no member
    line_.Clear();
    char* out = line_.Room(3);
    std::memcpy(out, "{}\n", 3);
    line_.SetEnd(out + 3);
  } else {
    line_.data()[0] = '{';
  }
  return line_.view();
}

void AppendJsonlRecord(const JsonlColumns& layout, std::span<const ReportField> fields,
                       int64_t offset, std::string& out) {
  thread_local JsonlLine line;
  line.Begin();
  line.Integer("offset", offset);
  for (size_t i = 0; i < layout.size() && i < fields.size(); ++i) line.Field(layout, i, fields[i]);
  out += line.Finish();
}

}  // namespace quarrow
