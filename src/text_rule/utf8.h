// UTF-8 decoding by the standard's strict rules: shortest forms only, no
// surrogates, nothing above U+10FFFF. Pure functions; never throw.
#ifndef QUARROW_TEXT_RULE_UTF8_H_
#define QUARROW_TEXT_RULE_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarrow {

// Decodes the character that starts at text[at]: returns its length in bytes
// (1 to 4) and sets `point`, or returns 0 when the bytes there are no valid
// character (including one cut by the text's end).
int DecodeUtf8(std::string_view text, size_t at, uint32_t& point);

// The length of `text` without a last character that its end cut short
// (a lead byte and fewer continuation bytes than it announces): a text whose
// tail was lost keeps its whole characters. Other bytes are left alone.
size_t WithoutCutCharacter(std::string_view text);

// Returns true iff every character of `text` decodes and `accept` returns true
// for its code point.
template <typename Accept>
bool AllUtf8(std::string_view text, Accept&& accept) {
  for (size_t at = 0; at < text.size();) {
    uint32_t point;
    int length = DecodeUtf8(text, at, point);
    if (length == 0 || !accept(point)) return false;
    at += static_cast<size_t>(length);
  }
  return true;
}

}  // namespace quarrow

#endif  // QUARROW_TEXT_RULE_UTF8_H_
