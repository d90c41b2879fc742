// A second column list swept in the same pages (ScanLane) finds what a scan of
// its own finds, at every page seam and with any number of workers.
#include "engine/scan.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/values.h"

namespace quarrow {
namespace {

// Bytes rich in small values and zeros, so that both lists match often and
// near every seam.
std::string MixedBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    const uint32_t r = random() % 100;
    c = static_cast<char>(r < 35 ? 0 : r < 75 ? random() % 24 : random() % 256);
  }
  return bytes;
}

using Found = std::vector<std::pair<int64_t, std::string>>;

// Each match as its position, prefix and values, as the formatter saw them.
bool FormatAll(const Match& match, const ColumnList& columns, std::string& out) {
  out.append(match.prefix);
  for (const TERM& column : columns) out += "|" + column.value;
  return true;
}

ScanParams Params(int prefix, int64_t page, int threads) {
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, prefix, nullptr);
  params.page_size = page;
  params.threads = threads;
  return params;
}

Found ScanAlone(const Buffer& buffer, const ColumnList& columns, const ScanParams& params) {
  Found found;
  EXPECT_TRUE(ScanFormatted(buffer, columns, params, FormatAll,
                            [&](int64_t position, std::string_view text) {
                              found.emplace_back(position, std::string(text));
                            }));
  return found;
}

TEST(ScanLane, BothListsFindWhatTheirOwnScansFind) {
  const Buffer buffer = Buffer::FromBytes(MixedBytes(40'000, 7));
  const ColumnList wide = LoadColumns({"a INTEGER", "b TEXT", "c INTEGER", "d TEXT", "e BLOB"});
  const ColumnList narrow = LoadColumns({"x INTEGER", "y TEXT"});
  const Found wide_alone = ScanAlone(buffer, wide, Params(3, int64_t{1} << 40, 1));
  const Found narrow_alone = ScanAlone(buffer, narrow, Params(0, int64_t{1} << 40, 1));
  ASSERT_GT(wide_alone.size(), 20u);
  ASSERT_GT(narrow_alone.size(), wide_alone.size());
  for (int64_t page : {int64_t{97}, int64_t{1000}, int64_t{1} << 40}) {
    for (int threads : {1, 3}) {
      SCOPED_TRACE("page " + std::to_string(page) + ", threads " + std::to_string(threads));
      Found wide_found, narrow_found;
      std::vector<char> order;  // which list each handler call was for, per page
      ScanParams params = Params(3, page, threads);
      int pages_done = 0;
      params.page_done = [&] { ++pages_done; };
      ScanLane lane{narrow, Params(0, page, threads), FormatAll,
                    [&](int64_t position, std::string_view text) {
                      narrow_found.emplace_back(position, std::string(text));
                      order.push_back('n');
                    }};
      ASSERT_TRUE(ScanFormatted(buffer, wide, params, FormatAll,
                                [&](int64_t position, std::string_view text) {
                                  wide_found.emplace_back(position, std::string(text));
                                  order.push_back('w');
                                },
                                lane));
      EXPECT_EQ(wide_found, wide_alone);
      EXPECT_EQ(narrow_found, narrow_alone);
      EXPECT_GT(pages_done, 0);
      // One page in one buffer: the first list's matches, then the second's.
      if (page == int64_t{1} << 40) {
        const std::string calls(order.begin(), order.end());
        EXPECT_EQ(calls, std::string(wide_alone.size(), 'w') + std::string(narrow_alone.size(), 'n'));
      }
    }
  }
}

TEST(ScanLane, TheSecondListKeepsItsOwnFilterAndCanDropMatches) {
  const Buffer buffer = Buffer::FromBytes(MixedBytes(20'000, 11));
  const ColumnList first = LoadColumns({"a INTEGER", "b INTEGER", "c INTEGER"});
  const ColumnList second = LoadColumns({"x INTEGER", "y TEXT"});
  ScanParams second_params = Params(0, 512, 2);
  // Only headers whose second value is not NULL (the pair rule makes every
  // first one NULL), and only matches at even positions.
  second_params.header_filter = [](const ColumnList& columns) { return columns[1].serial != 0; };
  auto even_only = [](const Match& match, const ColumnList& columns, std::string& out) {
    return match.position % 2 == 0 && FormatAll(match, columns, out);
  };
  Found expected;
  EXPECT_TRUE(ScanFormatted(buffer, second, second_params, even_only,
                            [&](int64_t position, std::string_view text) {
                              expected.emplace_back(position, std::string(text));
                            }));
  ASSERT_FALSE(expected.empty());
  Found found;
  int64_t first_matches = 0;
  ScanLane lane{second, second_params, even_only, [&](int64_t position, std::string_view text) {
                  EXPECT_EQ(position % 2, 0);
                  found.emplace_back(position, std::string(text));
                }};
  EXPECT_TRUE(ScanFormatted(buffer, first, Params(0, 512, 2), FormatAll,
                            [&](int64_t, std::string_view) { ++first_matches; }, lane));
  EXPECT_EQ(found, expected);
  EXPECT_GT(first_matches, 0);
}

}  // namespace
}  // namespace quarrow
