#include "engine/scan.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "byte_helpers.h"
#include "support.h"
#include "engine/values.h"

namespace quarrow {
namespace {

using testing::Bytes;
using testing::ScanLines;

ScanParams Params(CandidateRule rule, int threshold, int prefix, int64_t page,
                  int threads) {
  ScanParams params = ScanParams::For(rule, threshold, prefix, nullptr);
  params.page_size = page;
  params.threads = threads;
  return params;
}

ScanParams OneBuffer(CandidateRule rule, int threshold, int prefix) {
  return Params(rule, threshold, prefix, int64_t{1} << 40, 1);
}

TEST(ScanRecords, ShortBuffersExamineNothing) {
  ColumnList none;
  for (std::string bytes : {std::string(), Bytes({5})}) {
    EXPECT_TRUE(ScanLines(Buffer::FromBytes(bytes), none,
                          OneBuffer(CandidateRule::kSingleByte, kLoose, 0))
                    .empty());
  }
  // The last byte is never a candidate, even under the single-byte rule.
  EXPECT_EQ(ScanLines(Buffer::FromBytes(Bytes({5, 6})), none,
                      OneBuffer(CandidateRule::kSingleByte, kLoose, 1)),
            (std::vector<std::string>{"0|5\t"}));
}

TEST(ScanRecords, PairRuleReadsSerialTypesAfterTheCandidate) {
  // The worked example: 08 05 04 00 13 01 'abc' 2A, preceded by a byte below 0x80.
  std::string bytes = Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A});
  ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  EXPECT_EQ(ScanLines(Buffer::FromBytes(bytes), columns,
                      OneBuffer(CandidateRule::kPair, kLoose, 3)),
            (std::vector<std::string>{"3|8\t5\t4\t|0:0|3:abc|1:42"}));
}

TEST(ScanRecords, SingleByteRuleReportsOverlappingMatches) {
  ColumnList columns = LoadColumns({"a INTEGER", "b INTEGER", "c TEXT"});
  // Headers fit at 0 (types 1, 1, 0) and at 1 (types 1, 0, 19), one byte apart.
  std::string bytes = Bytes({0x04, 0x01, 0x01, 0x00, 0x13, 'a', 'b', 'c'});
  EXPECT_EQ(ScanLines(Buffer::FromBytes(bytes), columns,
                      OneBuffer(CandidateRule::kSingleByte, kStrict, 1)),
            (std::vector<std::string>{"0|4\t|1:19|1:97|0:", "1|1\t|1:97|0:0|3:bc"}));
}

// Random bytes rich in small values and zeros, with planted records, so that
// matches of every shape occur near every seam.
std::string MixedBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    uint32_t r = random() % 100;
    c = static_cast<char>(r < 35 ? 0 : r < 75 ? random() % 24 : random() % 256);
  }
  return bytes;
}

struct ScanSetup {
  const char* name;
  std::vector<std::string> lines;
  CandidateRule rule;
  int threshold;
  int prefix;
};

// The scan as the rules state it, position by position, with no prefilter,
// pages or threads, is what ScanRecords must reproduce; the fuzz targets check
// against the same one.
using fuzz::ReferenceScan;

TEST(ScanRecords, PagedAndThreadedScansEqualTheOneBufferScan) {
  const std::vector<ScanSetup> setups = {
      {"pair-3", {"id INTEGER", "name TEXT", "age INTEGER"}, CandidateRule::kPair, kLoose, 3},
      {"single-window", {"a INTEGER", "b INTEGER", "c TEXT);"}, CandidateRule::kSingleByte, kStrict, 1},
      {"blob-text", {"a INTEGER", "b BLOB", "c TEXT", "d INTEGER", "e TEXT *"}, CandidateRule::kPair, kLoose, 3},
      {"empty-list", {}, CandidateRule::kPair, kLoose, 3},
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    const std::string bytes = MixedBytes(3000 + seed * 517, seed);
    Buffer buffer = Buffer::FromBytes(bytes);
    for (const ScanSetup& setup : setups) {
      ColumnList columns = LoadColumns(setup.lines);
      std::vector<std::string> reference =
          ReferenceScan(bytes, columns, setup.rule, setup.threshold, setup.prefix);
      ASSERT_FALSE(reference.empty()) << setup.name;
      EXPECT_EQ(ScanLines(buffer, columns, OneBuffer(setup.rule, setup.threshold, setup.prefix)),
                reference)
          << setup.name;
      for (int64_t page : {1, 7, 64, 1000}) {
        for (int threads : {1, 2, 3}) {
          EXPECT_EQ(ScanLines(buffer, columns,
                              Params(setup.rule, setup.threshold, setup.prefix, page, threads)),
                    reference)
              << setup.name << " seed " << seed << " page " << page << " threads " << threads;
        }
      }
    }
  }
}

// Scratch a formatter keeps between calls: its copies start afresh, and a
// scratch used by two threads at once is caught by its own check.
class FormatterScratch {
 public:
  FormatterScratch() = default;
  FormatterScratch(const FormatterScratch&) {}
  FormatterScratch& operator=(const FormatterScratch&) = delete;
  bool Enter() { return !busy_.exchange(true); }
  void Leave() { busy_ = false; }
  bool used() const { return used_; }
  void Use() { used_ = true; }

 private:
  std::atomic<bool> busy_{false};
  bool used_ = false;
};

// A formatter with scratch of its own, counting its calls in shared counters.
struct ScratchFormatter {
  FormatterScratch scratch;
  std::atomic<int64_t>* calls;
  std::atomic<bool>* overlapped;

  bool operator()(const Match& match, const ColumnList&, std::string& out) {
    if (!scratch.Enter()) *overlapped = true;
    scratch.Use();
    ++*calls;
    out += std::to_string(match.position);
    scratch.Leave();
    return true;
  }
};

TEST(ScanFormatted, EachWorkerFormatsWithItsOwnCopyOfTheFormatter) {
  const std::string bytes = MixedBytes(20000, 4);
  Buffer buffer = Buffer::FromBytes(bytes);
  const ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  std::atomic<int64_t> calls{0};
  std::atomic<bool> overlapped{false};
  const MatchFormatter formatter = ScratchFormatter{{}, &calls, &overlapped};
  int64_t matches = 0;
  for (int threads : {1, 2, 3}) {
    ScanParams params = Params(CandidateRule::kPair, kLoose, 0, 64, threads);
    ASSERT_TRUE(ScanFormatted(buffer, columns, params, formatter,
                              [&](int64_t position, std::string_view text) {
                                EXPECT_EQ(text, std::to_string(position));
                                ++matches;
                              }));
  }
  EXPECT_GT(matches, 0);
  EXPECT_EQ(calls.load(), matches);
  EXPECT_FALSE(overlapped.load());
  // The caller's own formatter is never called: the workers call copies.
  const auto* own = formatter.target<ScratchFormatter>();
  ASSERT_NE(own, nullptr);
  EXPECT_FALSE(own->scratch.used());
}

// A file-like source of any size: zeros with records planted at given offsets.
class PlantedSource : public ByteSource {
 public:
  PlantedSource(int64_t size, std::vector<std::pair<int64_t, std::string>> plants)
      : size_(size), plants_(std::move(plants)) {}
  int64_t size() const override { return size_; }
  size_t ReadAt(int64_t offset, size_t length, char* out) const override {
    int64_t end = std::min<int64_t>(offset + static_cast<int64_t>(length), size_);
    if (offset >= end) return 0;
    std::fill(out, out + (end - offset), '\0');
    for (const auto& [at, bytes] : plants_) {
      int64_t from = std::max(at, offset);
      int64_t to = std::min<int64_t>(at + static_cast<int64_t>(bytes.size()), end);
      for (int64_t p = from; p < to; ++p) out[p - offset] = bytes[p - at];
    }
    return static_cast<size_t>(end - offset);
  }

 private:
  int64_t size_;
  std::vector<std::pair<int64_t, std::string>> plants_;
};

TEST(ScanRecords, PositionsBeyondFourGibibytesKeepTheirValues) {
  const int64_t giB = int64_t{1} << 30;
  std::string cell = Bytes({0x08, 0x81, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A});
  const std::vector<int64_t> at = {4 * giB - 5, 4 * giB + 1000, 5 * giB + 12345};
  std::vector<std::pair<int64_t, std::string>> plants;
  for (int64_t p : at) plants.emplace_back(p, cell);
  // A start offset, so that buffer positions and file offsets differ.
  const int64_t start = 1000;
  Buffer buffer(std::make_shared<PlantedSource>(6 * giB, plants), start,
                at.back() + 64 - start);
  ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  ScanParams params = Params(CandidateRule::kPair, kLoose, 3, int64_t{64} << 20, 2);
  std::vector<std::string> lines;
  ScanRecords(buffer, columns, params, [&](const Match& match, const ColumnList& found) {
    lines.push_back(std::to_string(match.position) + "|" + std::string(match.prefix) +
                    found[1].value + "|" + found[2].value);
  });
  std::vector<std::string> expected;
  for (int64_t p : at) expected.push_back(std::to_string(p - start + 3) + "|8\t133\t4\tabc|42");
  EXPECT_EQ(lines, expected);
}

// Counts the reads that reach the source.
class CountingSource : public MemorySource {
 public:
  using MemorySource::MemorySource;
  size_t ReadAt(int64_t offset, size_t length, char* out) const override {
    ++reads;
    return MemorySource::ReadAt(offset, length, out);
  }
  mutable std::atomic<int> reads{0};
};

TEST(ScanRecords, LongWalksBackOutsideThePageReadBlocks) {
  // One candidate after 300,000 bytes with their high bit set: its prefix walk
  // runs back to position 0, far outside its page.
  std::string bytes(300000, '\x80');
  bytes += Bytes({0x05, 0x00});
  auto source = std::make_shared<CountingSource>(bytes);
  Buffer buffer(source, 0, static_cast<int64_t>(bytes.size()));
  ColumnList none;
  std::vector<std::string> lines =
      ScanLines(buffer, none, Params(CandidateRule::kPair, kLoose, 3, 4096, 1));
  EXPECT_EQ(lines, (std::vector<std::string>{"300000|\t\t0\t"}));
  EXPECT_EQ(lines, ReferenceScan(bytes, none, CandidateRule::kPair, kLoose, 3));
  // The pages themselves take 74 reads; the walk a handful more, not 300,000.
  EXPECT_LT(source->reads.load(), 100);
}

class StopAfter : public ProgressSink {
 public:
  explicit StopAfter(int calls) : calls_(calls) {}
  bool Update(int64_t done, int64_t total) override {
    EXPECT_LE(done, total);
    EXPECT_GT(done, last_);
    last_ = done;
    return --calls_ > 0;
  }

 private:
  int calls_;
  int64_t last_ = 0;
};

TEST(ScanRecords, ProgressCanStopTheScanBetweenPages) {
  Buffer buffer = Buffer::FromBytes(MixedBytes(5000, 9));
  ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  std::vector<std::string> all =
      ScanLines(buffer, columns, OneBuffer(CandidateRule::kPair, kLoose, 3));
  for (int threads : {1, 2}) {
    StopAfter stop(2);
    ScanParams params = Params(CandidateRule::kPair, kLoose, 3, 1000, threads);
    params.progress = &stop;
    std::vector<std::string> seen;
    EXPECT_FALSE(ScanRecords(buffer, columns, params,
                             [&](const Match& match, const ColumnList&) {
                               seen.push_back(std::to_string(match.position));
                             }));
    // Exactly the matches of the first two pages were delivered.
    size_t in_two_pages = 0;
    for (const std::string& line : all)
      if (std::stoll(line.substr(0, line.find('|'))) < 2000) ++in_two_pages;
    EXPECT_EQ(seen.size(), in_two_pages);
  }
}

TEST(ScanRecords, HandlerErrorsEndTheScanAndPropagate) {
  Buffer buffer = Buffer::FromBytes(MixedBytes(20000, 4));
  ColumnList columns;
  int calls = 0;
  ScanParams params = Params(CandidateRule::kPair, kLoose, 0, 100, 2);
  EXPECT_THROW(ScanRecords(buffer, columns, params,
                           [&](const Match&, const ColumnList&) {
                             if (++calls == 5) throw std::runtime_error("stop");
                           }),
               std::runtime_error);
  EXPECT_EQ(calls, 5);
}

// Workers deliver the pages themselves: the handler must still see one call
// at a time, in position order, with many workers and small pages.
TEST(ScanFormatted, HandlerCallsNeverOverlapAndComeInOrder) {
  Buffer buffer = Buffer::FromBytes(MixedBytes(40000, 6));
  ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  ScanParams params = Params(CandidateRule::kPair, kLoose, 0, 50, 4);
  std::atomic<bool> inside{false};
  int64_t last = -1, calls = 0;
  bool overlapped = false, out_of_order = false;
  ScanFormatted(
      buffer, columns, params,
      [](const Match&, const ColumnList&, std::string& out) {
        out = "x";
        return true;
      },
      [&](int64_t position, std::string_view) {
        if (inside.exchange(true)) overlapped = true;
        if (position <= last) out_of_order = true;
        last = position;
        ++calls;
        std::this_thread::yield();  // widens the window for a second caller
        inside = false;
      });
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(out_of_order);
  EXPECT_EQ(calls, static_cast<int64_t>(
                       ScanLines(buffer, columns, OneBuffer(CandidateRule::kPair, kLoose, 0)).size()));
}

// What formatters write to a page's bulk reaches the handler whole, with the
// page's matches, on one thread or several: long entries (the bulk grows
// while earlier lines stand in it), and what a formatter that drops its
// match wrote is taken back.
TEST(ScanFormatted, BulkBytesReachTheHandlerWithTheirPage) {
  Buffer buffer = Buffer::FromBytes(MixedBytes(40000, 6));
  ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  const auto line_of = [](int64_t position) {
    return std::to_string(position) + std::string(static_cast<size_t>(position % 700), '~');
  };
  const MatchFormatter formatter = [&](const Match& match, const ColumnList&, std::string& out) {
    const std::string line = line_of(match.position);
    LineBuffer& bulk = *match.bulk;
    const size_t start = bulk.size();
    bulk.Append(line);
    if (match.position % 3 == 0) return false;  // its bytes must not stay
    out += std::to_string(start) + ' ' + std::to_string(line.size());
    return true;
  };
  const std::vector<std::string> all =
      ScanLines(buffer, columns, OneBuffer(CandidateRule::kPair, kLoose, 0));
  for (int threads : {1, 3}) {
    ScanParams params = Params(CandidateRule::kPair, kLoose, 0, 3000, threads);
    std::string_view bulk;
    int64_t kept = 0, pages = 0;
    size_t bulk_used = 0;  // up to the end of the page's last line
    params.page_bulk = [&](std::string_view page_bulk) {
      EXPECT_EQ(bulk_used, bulk.size()) << "bytes of a dropped match stayed";
      bulk = page_bulk;
      bulk_used = 0;
      ++pages;
    };
    ASSERT_TRUE(ScanFormatted(buffer, columns, params, formatter,
                              [&](int64_t position, std::string_view formatted) {
                                const size_t space = formatted.find(' ');
                                const size_t start = std::stoul(std::string(formatted.substr(0, space)));
                                const size_t size = std::stoul(std::string(formatted.substr(space + 1)));
                                ASSERT_LE(start + size, bulk.size());
                                EXPECT_EQ(bulk.substr(start, size), line_of(position));
                                EXPECT_NE(position % 3, 0);
                                bulk_used = start + size;
                                ++kept;
                              }));
    EXPECT_EQ(bulk_used, bulk.size());
    EXPECT_EQ(pages, (static_cast<int64_t>(buffer.size()) - 1 + 2999) / 3000);
    int64_t expected = 0;
    for (const std::string& line : all) expected += std::stoll(line) % 3 != 0;
    EXPECT_EQ(kept, expected);
  }
}

// Each page's bytes reach the calling thread before its matches, hold them
// all, are the buffer's own, and are taken back (no bytes) after the page's
// last match: from memory, and from a mapped file.
TEST(ScanFormatted, PageWindowsHoldTheirMatchesUntilTakenBack) {
  const std::string bytes = MixedBytes(30000, 6);
  const std::string path = ::testing::TempDir() + "quarrow_page_windows.bin";
  {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  const MatchFormatter formatter = [](const Match&, const ColumnList&, std::string& out) {
    out += 'x';
    return true;
  };
  for (const bool mapped : {false, true}) {
    const Buffer buffer =
        mapped ? LoadBuffer(path, [] { return BufferShape{}; }) : Buffer::FromBytes(bytes);
    for (int threads : {1, 2}) {
      int64_t window_start = -1, windows = 0, matches = 0;
      std::string_view window;
      ScanParams params = Params(CandidateRule::kPair, kLoose, 0, 4000, threads);
      params.page_window = [&](int64_t position, std::string_view page_bytes) {
        if (page_bytes.empty()) {
          EXPECT_GE(window_start, 0) << "taken back twice";
          window_start = -1;
          return;
        }
        EXPECT_EQ(window_start, -1) << "a window before the last was taken back";
        window_start = position;
        window = page_bytes;
        ++windows;
        ASSERT_LE(position + static_cast<int64_t>(page_bytes.size()),
                  static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(page_bytes, std::string_view(bytes).substr(static_cast<size_t>(position),
                                                             page_bytes.size()));
      };
      ASSERT_TRUE(ScanFormatted(buffer, columns, params, formatter,
                                [&](int64_t position, std::string_view) {
                                  ASSERT_GE(window_start, 0);
                                  EXPECT_GE(position, window_start);
                                  EXPECT_LT(position + 2,
                                            window_start + static_cast<int64_t>(window.size()));
                                  ++matches;
                                }));
      EXPECT_EQ(window_start, -1) << "the last window was not taken back";
      EXPECT_EQ(windows, (static_cast<int64_t>(bytes.size()) - 1 + 3999) / 4000);
      EXPECT_GT(matches, 0);
    }
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace quarrow
