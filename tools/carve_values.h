// Invents the values of the carve scenarios' rows from a seeded generator:
// texts of varied lengths mixing ASCII and other scripts (two-, three- and
// four-byte UTF-8, now and then a quote, backslash, tab or line break),
// integers of every stored width and sign, reals of varied magnitude (a few
// whole-numbered), blobs of any bytes, and NULLs. No SQLite here. Not
// thread-safe (one maker per scenario part).
#ifndef QUARROW_TOOLS_CARVE_VALUES_H_
#define QUARROW_TOOLS_CARVE_VALUES_H_

#include <cstdint>
#include <string>

#include "carve_record.h"
#include "sample_invent.h"

namespace quarrow::scenario {

using sample::Rng;

class ValueMaker {
 public:
  explicit ValueMaker(uint64_t seed) : rng_(seed) {}

  Rng& rng() { return rng_; }

  // A text of about `min_bytes` to `max_bytes` bytes (whole characters, so a
  // few bytes over at most); 0 allows the empty text.
  SqlValue Text(int min_bytes, int max_bytes);
  // An integer whose stored width (0, 1, 2, 3, 4, 6 or 8 bytes) and sign vary.
  SqlValue Integer();
  // An integer from 0 to 999, as counts and quantities are.
  SqlValue SmallInteger();
  // A finite real of varied magnitude and sign; about one in ten whole-numbered.
  SqlValue Real();
  // A blob of `min_bytes` to `max_bytes` bytes of any value.
  SqlValue Blob(int min_bytes, int max_bytes);
  // `value`, or NULL with probability `percent` / 100.
  SqlValue OrNull(SqlValue value, int percent);

  // A number in [lo, hi].
  int Between(int lo, int hi) { return lo + rng_.Below(hi - lo + 1); }

 private:
  Rng rng_;
};

}  // namespace quarrow::scenario

#endif  // QUARROW_TOOLS_CARVE_VALUES_H_
