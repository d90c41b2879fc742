#include "engine/candidates.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/byte_classes.h"

namespace quarrow {
namespace {

bool operator==(const ByteClasses& a, const ByteClasses& b) {
  return a.integer == b.integer && a.text == b.text && a.blob == b.blob && a.high == b.high;
}

// Every byte value in four blocks, then blocks of random bytes rich in the
// values whose class changes (0, 11 to 13, 0x7F to 0x80, 0xFF).
std::string TestBlocks() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
  std::mt19937 random(7);
  const int edges[] = {0, 1, 11, 12, 13, 0x7F, 0x80, 0xFF};
  for (int k = 0; k < 64 * 64; ++k)
    bytes.push_back(static_cast<char>(random() % 2 ? edges[random() % 8] : random() % 256));
  return bytes;
}

TEST(BlockTests, EveryBuildClassifiesAsThePortableRule) {
  const std::string bytes = TestBlocks();
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  // Every offset, not just whole blocks: the sweep classifies at any.
  for (size_t at = 0; at + 64 <= bytes.size(); at += 7) {
    const ByteClasses want = ClassifyBlockPortable(data + at);
    EXPECT_TRUE(ClassifyBlock(data + at) == want) << at;
    EXPECT_EQ(ZeroMask(data + at), ZeroMaskPortable(data + at)) << at;
#ifdef QUARROW_HAVE_AVX2_DISPATCH
    if (CpuHasAvx2()) {
      EXPECT_TRUE(ClassifyBlockAvx2(data + at) == want) << at;
      EXPECT_EQ(ZeroMaskAvx2(data + at), ZeroMaskPortable(data + at)) << at;
    }
    if (CpuHasAvx512()) {
      EXPECT_TRUE(ClassifyBlockAvx512(data + at) == want) << at;
      EXPECT_EQ(ZeroMaskAvx512(data + at), ZeroMaskPortable(data + at)) << at;
    }
#endif
  }
  // The rule itself, on the block of 0 to 63 and the one of 128 to 191.
  const ByteClasses low = ClassifyBlockPortable(data), high = ClassifyBlockPortable(data + 128);
  EXPECT_EQ(low.integer, uint64_t{0xFFE});  // 1 to 11
  EXPECT_EQ(low.blob, 0x5555555555555000ull);  // even from 12
  EXPECT_EQ(low.text, 0xAAAAAAAAAAAAA000ull);  // odd from 13
  EXPECT_EQ(high.high, ~uint64_t{0});
  EXPECT_EQ(high.integer | high.text | high.blob, 0u);
}

// What a sweep reported: each visit's position and the classes it was given.
struct Visit {
  int64_t position;
  bool classified;
  ByteClasses after;
  bool operator==(const Visit& other) const {
    return position == other.position && classified == other.classified &&
           (!classified || after == other.after);
  }
};

struct Sweep {
  std::vector<Visit> visits;
  int64_t crowded = 0;
};

// A sweep of one build; `keep` drops the candidates whose next byte is odd,
// so that the blocks' masks are seen to apply.
template <typename Run>
Sweep RunSweep(Run run) {
  Sweep sweep;
  auto keep = [](const ByteClasses& here, const ByteClasses& next) {
    return ~((here.text >> 1) | (next.text << 63));
  };
  sweep.crowded = run(keep, [&](int64_t j, const ByteClasses* after) {
    sweep.visits.push_back({j, after != nullptr, after ? *after : ByteClasses{}});
  });
  return sweep;
}

TEST(CandidateSweep, BuildsAgreeWithTheRuleUpToTheBufferEnd) {
  std::mt19937 random(3);
  int64_t dropped = 0, classified = 0;
  for (size_t size : {2u, 63u, 64u, 127u, 128u, 129u, 191u, 700u, 4099u}) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 3 == 0 ? 0 : random() % 40);
    bytes[size - 2] = 5;  // a candidate at the last position the pair rule allows
    bytes[size - 1] = 0;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (bool pair : {true, false}) {
      for (bool lone : {true, false}) {
        const int64_t to = static_cast<int64_t>(size) - 1;
        for (int64_t from : {int64_t{0}, int64_t{1}, to / 2}) {
          auto baseline = [&](auto keep, auto visit) {
            return SweepCandidates<BaselineBlocks>(bytes, from, to, pair, lone, keep, visit);
          };
          const Sweep want = RunSweep(baseline);
          // The rule, position by position: every candidate is visited, in
          // order, but those `keep` dropped (next byte a text type); a
          // classified visit carries the classes of the 64 bytes after it.
          std::vector<int64_t> expected;
          for (int64_t j = from; j < to; ++j) {
            if (data[j] != 0 && (!pair || data[j + 1] == 0)) expected.push_back(j);
          }
          auto droppable = [&](int64_t j) {
            return data[j + 1] >= 13 && data[j + 1] < 0x80 && (data[j + 1] & 1) != 0;
          };
          size_t e = 0;
          for (const Visit& visit : want.visits) {
            for (; e < expected.size() && expected[e] < visit.position; ++e) {
              EXPECT_TRUE(droppable(expected[e])) << "size " << size << " at " << expected[e];
              ++dropped;
            }
            ASSERT_LT(e, expected.size()) << "size " << size << " visit " << visit.position;
            EXPECT_EQ(expected[e++], visit.position);
            if (visit.classified) {
              ++classified;
              EXPECT_TRUE(visit.after == ClassifyBlockPortable(data + visit.position + 1));
            }
          }
          for (; e < expected.size(); ++e) EXPECT_TRUE(droppable(expected[e])) << expected[e];
#ifdef QUARROW_HAVE_AVX2_DISPATCH
          if (CpuHasAvx2()) {
            auto avx2 = [&](auto keep, auto visit) {
              return SweepCandidatesAvx2(bytes, from, to, pair, lone, keep, visit);
            };
            const Sweep got = RunSweep(avx2);
            EXPECT_EQ(got.crowded, want.crowded) << size;
            EXPECT_TRUE(got.visits == want.visits) << "size " << size << " pair " << pair;
          }
          if (CpuHasAvx512()) {
            auto avx512 = [&](auto keep, auto visit) {
              return SweepCandidatesAvx512(bytes, from, to, pair, lone, keep, visit);
            };
            const Sweep got = RunSweep(avx512);
            EXPECT_EQ(got.crowded, want.crowded) << size;
            EXPECT_TRUE(got.visits == want.visits) << "size " << size << " pair " << pair;
          }
#endif
        }
      }
    }
  }
  // Both of the sweep's ways were taken.
  EXPECT_GT(dropped, 0);
  EXPECT_GT(classified, 0);
}

}  // namespace
}  // namespace quarrow
