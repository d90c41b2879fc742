// Byte-string helpers shared by the whole engine: cutting tokens, replacing byte
// ranges, trimming, and the integer conversion used for field texts and for
// values read from records. Pure functions; thread-safe.
#ifndef QUARROW_TEXT_RULE_TEXT_RULE_H_
#define QUARROW_TEXT_RULE_TEXT_RULE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarrow {

// Returns the bytes of `text` before the first occurrence of `delimiter` (which
// must not be empty) and leaves in `text` the bytes after it; the delimiter is
// dropped. Without an occurrence, returns all of `text` and empties it.
std::string CutToken(std::string& text, std::string_view delimiter);

// Replaces, in place, every byte b with lo <= b <= hi (unsigned) by `replacement`.
void ReplaceCharRange(std::string& text, char replacement, unsigned char lo,
                      unsigned char hi);
// The same, writing the result into `result` and leaving `source` as it is.
void ReplaceCharRange(std::string_view source, std::string& result,
                      char replacement, unsigned char lo, unsigned char hi);

// Returns a copy of `text` with every 0x00 byte replaced by a space.
std::string ZeroToSpace(std::string_view text);

// Returns `text` without its leading and trailing bytes 0x00 to 0x20.
std::string_view Trim(std::string_view text);

// The runtime's integer conversion: optional leading spaces, an optional sign,
// then decimal digits or hexadecimal digits after "$" or "0x"; the value must lie
// in the 32-bit signed range. Returns nothing when `text` is not such a number.
std::optional<int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt, but throws Error "''<text>'' is not a valid integer value".
int32_t StrToInt(std::string_view text);

// The same syntax over the 64-bit signed range, for offsets and lengths. A text
// that is a number too large for the range is told apart from one that is no
// number at all, so that the user learns which it is.
enum class IntText { kValid, kNotANumber, kOutOfRange };
IntText ParseInt64(std::string_view text, int64_t& value);

// As ParseInt64; throws Error "''<shown>'' is not a valid integer value" for no
// number and "''<shown>'' is out of range: ..." for one beyond 2^63-1 (or below
// -2^63). `shown` is the text the user typed; by default `text` itself.
int64_t StrToInt64(std::string_view text, std::string_view shown);
inline int64_t StrToInt64(std::string_view text) { return StrToInt64(text, text); }

}  // namespace quarrow

#endif  // QUARROW_TEXT_RULE_TEXT_RULE_H_
