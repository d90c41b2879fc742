// The little JSON the carve scenario tools read and write: the generator's
// truth lines and the carver's jsonl report lines. Numbers keep their text, so
// that integers beyond 2^53 and reals compare exactly; strings are decoded to
// UTF-8 (\u escapes and surrogate pairs included). Pure functions; thread-safe.
#ifndef QUARROW_TOOLS_CARVE_JSON_H_
#define QUARROW_TOOLS_CARVE_JSON_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarrow::scenario {

struct JsonMember;

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // a number's text as written, or a string's decoded bytes
  std::vector<JsonValue> items;                             // an array's
  std::vector<JsonMember> members;  // an object's, in order

  bool is_null() const { return kind == Kind::kNull; }
  // The member named `key` of an object, or null when there is none.
  const JsonValue* Find(std::string_view key) const;
};

// A member of an object. (A pair of a string and a JsonValue cannot be named
// inside JsonValue, where the type is not yet complete.)
struct JsonMember {
  std::string first;  // the key
  JsonValue second;
};

// Parses one JSON text (whitespace around it allowed). Throws
// std::runtime_error saying what is wrong and at which byte.
JsonValue ParseJson(std::string_view text);

// A number's text as an integer, when it is one (no fraction, no exponent,
// within int64_t).
std::optional<int64_t> JsonInteger(const JsonValue& value);

// Appends `bytes` (UTF-8) as a JSON string: quotes around, escapes for the
// quote, the backslash and bytes below 0x20.
void WriteJsonString(std::string_view bytes, std::string& out);

// The shortest text that reads back as `real` (std::to_chars), with ".0"
// added when that text would read as an integer. `real` is finite.
std::string RealText(double real);

// `bytes` as lowercase hex digits.
std::string HexText(std::string_view bytes);
// The bytes of lowercase or uppercase hex digits; std::nullopt for anything
// else or an odd count.
std::optional<std::string> BytesFromHex(std::string_view hex);

}  // namespace quarrow::scenario

#endif  // QUARROW_TOOLS_CARVE_JSON_H_
