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

  // The serial types tested at most: past a few, a position that got so far
  // is as well checked whole.
  static constexpr int kMostTypes = 6;

  // The last byte after a position that Passes reads: a position closer than
  // that to the end of the bytes cannot hold a header of this table whole.
  int reach() const { return types_ > 2 ? types_ : 2; }

  // True iff a header may start at `b` (b[-1] to b[reach()] readable): the
  // header length fits the table, the byte before ends a varint (the rowid),
  // and the first serial types, while each takes one byte, fit their columns
  // (as many as every record of the table has, at most kMostTypes).
  bool Passes(const uint8_t* b) const {
    if (!length_[b[0]] || (b[-1] & 0x80)) return false;
    // A two-byte header length moves the first type one byte on.
    if (b[0] >= 0x80) return type_[0][b[2]];
    for (int i = 0; i < types_; ++i) {
      if (!type_[i][b[1 + i]]) return false;
      // A multi-byte type moves the ones after it.
      if (b[1 + i] >= 0x80) return true;
    }
    return true;
  }

  // Replaces `out` with every position p in [begin, end) of `bytes` where
  // Passes(bytes + p), in increasing order. `bytes` must be readable from
  // begin - 1 to end - 1 + reach(). Uses the fastest kernel this processor runs.
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
  // type_[i][b]: byte b may start column i's serial type.
  std::array<std::array<uint8_t, 256>, kMostTypes> type_{};
  int types_ = 1;  // the types tested
  NibbleTable length_nibbles_;
  std::array<NibbleTable, kMostTypes> type_nibbles_;
  Kernel kernel_ = Kernel::kScalar;
};

}  // namespace quarrow

#endif  // QUARROW_CARVE_HEADER_PREFILTER_H_
