// The carver scan's prefilter: the positions of a buffer where a record
// header of a table may start, judged by the bytes around it (the rowid's
// last byte before it, the header-length byte, the first two serial types'
// first bytes). It may pass positions that hold no header, never miss one;
// the carver checks each candidate whole.
//
// Find tests 32 positions at a time with AVX2, or 16 with SSSE3, where the
// processor has them (asked once per prefilter, at run time, so that one
// binary runs on any x86-64); elsewhere, and on other processors, one at a
// time. Every kernel gives exactly the positions Passes() gives.
// Immutable once built; thread-safe.
#ifndef QUARROW_CARVE_HEADER_PREFILTER_H_
#define QUARROW_CARVE_HEADER_PREFILTER_H_

#include <array>
#include <cstdint>
#include <vector>

#include "carve/record_fit.h"

namespace quarrow {

class HeaderPrefilter {
 public:
  // How Find tests positions: one at a time, or many with vector instructions.
  enum class Kernel { kScalar, kSsse3, kAvx2 };

  explicit HeaderPrefilter(const FitTable& table);

  // True iff a header may start at `b` (a byte before it and two after it
  // readable).
  bool Passes(const uint8_t* b) const {
    if (!length_[b[0]] || (b[-1] & 0x80)) return false;
    // A two-byte header length moves the first type one byte on (and the
    // second past what is read); a multi-byte first type moves the second.
    if (b[0] >= 0x80) return first_type_[b[2]];
    return first_type_[b[1]] && (b[1] >= 0x80 || second_type_[b[2]]);
  }

  // Replaces `out` with every position p in [begin, end) of `bytes` where
  // Passes(bytes + p), in increasing order. `bytes` must be readable from
  // begin - 1 to end + 2. Uses the fastest kernel this processor runs.
  void Find(const uint8_t* bytes, int64_t begin, int64_t end, std::vector<uint32_t>& out) const {
    FindWith(kernel_, bytes, begin, end, out);
  }

  // The same with `kernel`, which must be Supported (for tests and benchmarks).
  void FindWith(Kernel kernel, const uint8_t* bytes, int64_t begin, int64_t end,
                std::vector<uint32_t>& out) const;

  // True iff this build and this processor run `kernel`.
  static bool Supported(Kernel kernel);
  Kernel kernel() const { return kernel_; }

  // One of the byte tables laid out for a vector lookup: bit h of `low[n]`
  // says whether byte 16h + n is in the set (h < 8), of `high[n]` whether
  // byte 16(h + 8) + n is.
  struct NibbleTable {
    alignas(16) std::array<uint8_t, 16> low{};
    alignas(16) std::array<uint8_t, 16> high{};
  };

 private:
  std::array<uint8_t, 256> length_{};
  std::array<uint8_t, 256> first_type_{};
  std::array<uint8_t, 256> second_type_{};
  NibbleTable length_nibbles_, first_nibbles_, second_nibbles_;
  Kernel kernel_ = Kernel::kScalar;
};

}  // namespace quarrow

#endif  // QUARROW_CARVE_HEADER_PREFILTER_H_
