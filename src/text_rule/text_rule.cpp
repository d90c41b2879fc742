#include "text_rule/text_rule.h"

#include <cstdint>

#include <algorithm>

#include "text_rule/error.h"

namespace quarrow {

std::string CutToken(std::string& text, std::string_view delimiter) {
  size_t at = text.find(delimiter);
  if (at == std::string::npos) {
    std::string token = std::move(text);
    text.clear();
    return token;
  }
  std::string token = text.substr(0, at);
  text.erase(0, at + delimiter.size());
  return token;
}

void ReplaceCharRange(std::string& text, char replacement, unsigned char lo,
                      unsigned char hi) {
  // One unsigned comparison and an unconditional store: the compiler turns
  // this into vector code, and every rendered text passes through here.
  if (hi < lo) return;
  const unsigned span = static_cast<unsigned>(hi) - lo;
  for (char& c : text) {
    const unsigned b = static_cast<unsigned char>(c);
    c = b - lo <= span ? replacement : c;
  }
}

void ReplaceCharRange(std::string_view source, std::string& result,
                      char replacement, unsigned char lo, unsigned char hi) {
  result.assign(source);
  ReplaceCharRange(result, replacement, lo, hi);
}

std::string ZeroToSpace(std::string_view text) {
  std::string result(text);
  ReplaceCharRange(result, ' ', 0, 0);
  return result;
}

std::string_view Trim(std::string_view text) {
  auto is_blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<int32_t> TryStrToInt(std::string_view text) {
  // The common case, digits only: nine of them cannot leave the range.
  if (!text.empty() && text.size() <= 9 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    int32_t value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    return value;
  }
  // Otherwise the 64-bit reading, narrowed: the same signs, bases and digits.
  int64_t value = 0;
  if (ParseInt64(text, value) != IntText::kValid || value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t StrToInt(std::string_view text) {
  std::optional<int32_t> value = TryStrToInt(text);
  if (!value) {
    throw Error("''" + std::string(text) + "'' is not a valid integer value");
  }
  return *value;
}

IntText ParseInt64(std::string_view text, int64_t& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' &&
             (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return IntText::kNotANumber;
  // Every digit is checked, so that "99999999999999999999x" is no number rather
  // than out of range.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    int digit = base == 16 ? HexDigit(text[i])
                           : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
    if (digit < 0) return IntText::kNotANumber;
    if (overflow || magnitude > (limit - static_cast<uint64_t>(digit)) / base) {
      overflow = true;
      continue;
    }
    magnitude = magnitude * base + static_cast<uint64_t>(digit);
  }
  if (overflow) return IntText::kOutOfRange;
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return IntText::kValid;
}

int64_t StrToInt64(std::string_view text, std::string_view shown) {
  int64_t value = 0;
  switch (ParseInt64(text, value)) {
    case IntText::kValid:
      return value;
    case IntText::kOutOfRange:
      throw Error("''" + std::string(shown) +
                  "'' is out of range: enter a number from 0 to 9223372036854775807");
    case IntText::kNotANumber:
      break;
  }
  throw Error("''" + std::string(shown) + "'' is not a valid integer value");
}

}  // namespace quarrow
