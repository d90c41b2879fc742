#include "report/report_fields.h"

#include <algorithm>
#include <cstdint>
#include <set>

namespace quarrow {

std::vector<ReportColumn> UniqueColumnNames(std::vector<ReportColumn> columns,
                                            const std::vector<std::string>& reserved) {
  std::set<std::string> taken(reserved.begin(), reserved.end());
  for (size_t i = 0; i < columns.size(); ++i) {
    std::string& name = columns[i].name;
    if (name.empty()) name = "column_" + std::to_string(i + 1);
    std::string base = name;
    for (int n = 2; taken.count(name); ++n) name = base + "_" + std::to_string(n);
    taken.insert(name);
  }
  return columns;
}

namespace {

// What a lead byte asks of the bytes after it (Unicode's table of
// well-formed byte sequences): the sequence's length and the second byte's
// bounds. Length 0 for a byte that starts no sequence.
struct Lead {
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;
};

Lead LeadOf(uint8_t byte) {
  Lead lead;
  if (byte >= 0xC2 && byte <= 0xDF) lead.length = 2;
  if (byte >= 0xE0 && byte <= 0xEF) lead.length = 3;
  if (byte >= 0xF0 && byte <= 0xF4) lead.length = 4;
  if (byte == 0xE0) lead.low = 0xA0;   // no overlong forms
  if (byte == 0xED) lead.high = 0x9F;  // no surrogates
  if (byte == 0xF0) lead.low = 0x90;
  if (byte == 0xF4) lead.high = 0x8F;  // nothing past U+10FFFF
  return lead;
}

// How many bytes from the start of `s` (a lead byte from 0x80 on) form a
// well-formed prefix of a sequence; equal to the lead's length when the whole
// sequence is there and valid.
size_t WellFormedPrefix(std::string_view s, const Lead& lead) {
  if (lead.length == 0) return 0;
  size_t n = 1;
  while (n < lead.length && n < s.size()) {
    uint8_t byte = static_cast<uint8_t>(s[n]);
    uint8_t low = n == 1 ? lead.low : 0x80, high = n == 1 ? lead.high : 0xBF;
    if (byte < low || byte > high) break;
    ++n;
  }
  return n;
}

}  // namespace

Utf8Step NextUtf8StepSlow(std::string_view bytes) {
  const Lead lead = LeadOf(static_cast<uint8_t>(bytes[0]));
  const size_t prefix = WellFormedPrefix(bytes, lead);
  if (lead.length > 0 && prefix == lead.length) return {prefix, true};
  // One replacement per maximal ill-formed subpart, as Unicode recommends.
  return {std::max<size_t>(prefix, 1), false};
}

bool AppendValidUtf8(std::string_view bytes, std::string& out) {
  bool valid = true;
  size_t i = 0;
  while (i < bytes.size()) {
    // Plain ASCII runs are copied whole.
    size_t run = i;
    while (run < bytes.size() && static_cast<uint8_t>(bytes[run]) < 0x80) ++run;
    out.append(bytes.data() + i, run - i);
    i = run;
    if (i == bytes.size()) break;
    const Utf8Step step = NextUtf8Step(bytes.substr(i));
    if (step.valid) {
      out.append(bytes.data() + i, step.length);
    } else {
      out += "\xEF\xBF\xBD";
      valid = false;
    }
    i += step.length;
  }
  return valid;
}

}  // namespace quarrow
