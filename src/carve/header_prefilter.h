// The carver scan's prefilter: the positions of a buffer where a record
// header of a table may start, judged by the bytes around it (the rowid's
// last byte before it, the header-length byte, the first two serial types'
// first bytes). It may pass positions that hold no header, never miss one;
// the carver checks each candidate whole. Immutable once built; thread-safe.
#ifndef QUARROW_CARVE_HEADER_PREFILTER_H_
#define QUARROW_CARVE_HEADER_PREFILTER_H_

#include <array>
#include <cstdint>
#include <vector>

#include "carve/record_fit.h"

namespace quarrow {

class HeaderPrefilter {
 public:
  explicit HeaderPrefilter(const FitTable& table);

  // True iff a header may start at `b` (a byte before it and two after it
  // readable).
  bool Passes(const uint8_t* b) const {
    if (!length_[b[0]] || !first_type_[b[1]] || (b[-1] & 0x80)) return false;
    // A multi-byte first type or header length moves the second type.
    return b[0] >= 0x80 || b[1] >= 0x80 || second_type_[b[2]];
  }

  // Replaces `out` with every position p in [begin, end) of `bytes` where
  // Passes(bytes + p), in increasing order. `bytes` must be readable from
  // begin - 1 to end + 2.
  void Find(const uint8_t* bytes, int64_t begin, int64_t end, std::vector<uint32_t>& out) const;

 private:
  std::array<uint8_t, 256> length_{};
  std::array<uint8_t, 256> first_type_{};
  std::array<uint8_t, 256> second_type_{};
};

}  // namespace quarrow

#endif  // QUARROW_CARVE_HEADER_PREFILTER_H_
