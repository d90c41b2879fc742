// Jobs run on workers, results used in job order: order, bounds, stopping
// and failures, whatever the thread count.
#include "engine/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quarrow {
namespace {

TEST(RunInOrder, DeliversEveryResultOnceInOrderWithBoundedWorkAhead) {
  for (int threads : {1, 2, 3, 8}) {
    SCOPED_TRACE(threads);
    std::atomic<int64_t> delivered_so_far{0}, most_ahead{0};
    std::vector<int64_t> seen;
    auto work = [&](int64_t index) {
      const int64_t ahead = index - delivered_so_far.load();
      for (int64_t was = most_ahead.load(); ahead > was && !most_ahead.compare_exchange_weak(was, ahead);) {
      }
      // Later jobs finish first, so results wait for the ones before them.
      std::this_thread::sleep_for(std::chrono::microseconds((index % 4) * 200));
      return index * index;
    };
    auto deliver = [&](int64_t index, int64_t& result) {
      EXPECT_EQ(result, index * index);
      seen.push_back(index);
      delivered_so_far = index + 1;
      return true;
    };
    EXPECT_TRUE(RunInOrder<int64_t>(50, threads, work, deliver));
    std::vector<int64_t> want(50);
    for (int64_t i = 0; i < 50; ++i) want[static_cast<size_t>(i)] = i;
    EXPECT_EQ(seen, want);
    EXPECT_LE(most_ahead.load(), 2 * threads);
  }
}

TEST(RunInOrder, StopsWhenDeliveryAsksAndRethrowsWhatFailed) {
  for (int threads : {1, 2, 4}) {
    SCOPED_TRACE(threads);
    std::atomic<int> worked{0};
    int delivered = 0;
    auto work = [&](int64_t index) {
      ++worked;
      return index;
    };
    EXPECT_FALSE(RunInOrder<int64_t>(1000, threads, work, [&](int64_t index, int64_t&) {
      ++delivered;
      return index < 9;
    }));
    EXPECT_EQ(delivered, 10);
    EXPECT_LE(worked.load(), 10 + 2 * threads);

    auto failing = [](int64_t index) -> int64_t {
      if (index == 7) throw std::runtime_error("job 7");
      return index;
    };
    int64_t last = -1;
    try {
      RunInOrder<int64_t>(100, threads, failing, [&](int64_t index, int64_t&) {
        last = index;
        return true;
      });
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "job 7");
    }
    EXPECT_LT(last, 7);
    EXPECT_THROW(RunInOrder<int64_t>(20, threads, [](int64_t i) { return i; },
                                     [](int64_t index, int64_t&) -> bool {
                                       if (index == 3) throw std::logic_error("deliver");
                                       return true;
                                     }),
                 std::logic_error);
  }
}

}  // namespace
}  // namespace quarrow
