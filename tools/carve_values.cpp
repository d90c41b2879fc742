#include "carve_values.h"

#include <cmath>

namespace quarrow::scenario {
namespace {

// Invented words: plain ASCII, Latin letters with marks, Cyrillic, Greek,
// CJK, Hangul and a few four-byte characters.
const char* const kWords[] = {
    "alder",  "birch",   "cedar",    "dune",     "ember",   "fjord",    "grove",  "harbor",
    "inlet",  "juniper", "kestrel",  "lagoon",   "meadow",  "nettle",   "orchid", "pebble",
    "quarry", "ridge",   "sorrel",   "thicket",  "upland",  "vale",     "willow", "yarrow",
    "zephyr", "42",      "7",        "x-ray",    "naïve",   "Zoë",      "café",   "Ærø",
    "Łódź",   "straße",  "über",     "São",      "Ñandú",   "Øresund",  "Ýmir",   "Þórr",
    "Мария",  "берёза",  "Ελλάδα",   "θάλασσα",  "東京",    "日本語",   "北京",   "서울",
    "한국어", "ﬁord",    "€100",     "½",        "😀",      "𝄞",        "🌲🌲",   "𐍈",
};

// Now and then a byte that JSON must escape.
const char* const kOddities[] = {"\"", "\\", "\t", "\n", "'", "/"};

}  // namespace

SqlValue ValueMaker::Text(int min_bytes, int max_bytes) {
  const int target = Between(min_bytes, max_bytes);
  std::string text;
  while (static_cast<int>(text.size()) < target) {
    if (!text.empty()) text += rng_.Chance(3) ? rng_.Pick(kOddities) : " ";
    text += rng_.Pick(kWords);
  }
  return SqlValue::Text(std::move(text));
}

SqlValue ValueMaker::Integer() {
  // Widths as SQLite stores them: 0 and 1 (no body), then 1 to 8 bytes.
  static const int kBits[] = {0, 7, 15, 23, 31, 47, 63};
  const int bits = kBits[rng_.Below(7)];
  if (bits == 0) return SqlValue::Integer(rng_.Below(2));
  const uint64_t limit = uint64_t{1} << bits;
  const int64_t magnitude = static_cast<int64_t>(rng_.Next() % limit);
  return SqlValue::Integer(rng_.Chance(30) ? -magnitude - 1 : magnitude);
}

SqlValue ValueMaker::SmallInteger() { return SqlValue::Integer(rng_.Below(1000)); }

SqlValue ValueMaker::Real() {
  const double sign = rng_.Chance(30) ? -1.0 : 1.0;
  if (rng_.Chance(10)) return SqlValue::Real(sign * rng_.Below(100000));
  const double mantissa = static_cast<double>(rng_.Next() >> 11) / 9007199254740992.0;
  const int exponent = Between(-30, 30);
  return SqlValue::Real(sign * (mantissa + 0.001) * std::pow(10.0, exponent));
}

SqlValue ValueMaker::Blob(int min_bytes, int max_bytes) {
  std::string bytes(static_cast<size_t>(Between(min_bytes, max_bytes)), '\0');
  for (char& b : bytes) b = static_cast<char>(rng_.Next() & 0xFF);
  return SqlValue::Blob(std::move(bytes));
}

SqlValue ValueMaker::OrNull(SqlValue value, int percent) {
  return rng_.Chance(percent) ? SqlValue::Null() : std::move(value);
}

}  // namespace quarrow::scenario
