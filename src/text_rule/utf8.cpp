#include "text_rule/utf8.h"

namespace quarrow {

int DecodeUtf8(std::string_view text, size_t at, uint32_t& point) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    point = lead;
    return 1;
  }
  // C0 and C1 only start overlong forms; F5 and above start nothing.
  const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || text.size() - at < static_cast<size_t>(length)) return 0;
  uint32_t value = lead & (0x7Fu >> length);
  for (int k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  static constexpr uint32_t kShortest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kShortest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  point = value;
  return length;
}

size_t WithoutCutCharacter(std::string_view text) {
  // A lead byte among the last three bytes, then only continuation bytes.
  for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<uint8_t>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;
    const size_t announced = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return announced > back ? text.size() - back : text.size();
  }
  return text.size();
}

}  // namespace quarrow
