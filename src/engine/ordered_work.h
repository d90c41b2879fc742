// Jobs run on worker threads whose results are used in job order: the work
// of a scan split into chunks, each chunk's findings written in input order.
//
// RunInOrder runs work(0) ... work(count - 1) on `threads` workers and hands
// each result to deliver(index, result) in index order, one call at a time.
// Whichever worker holds the delivery token delivers every finished result in
// line, so no thread waits to deliver: a delivering thread of its own would
// be one more thread than the cores, taken from the work at each result. At
// most 2 x threads results are worked out ahead of the one delivered next, so
// memory stays bounded however slow delivery is.
//
// With one thread (or one job) everything runs on the calling thread. deliver
// returning false stops the work (nothing more is delivered) and RunInOrder
// returns false. An exception from work or deliver stops the work and is
// rethrown on the calling thread, after every worker ended.
#ifndef QUARROW_ENGINE_ORDERED_WORK_H_
#define QUARROW_ENGINE_ORDERED_WORK_H_

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace quarrow {

template <typename Result, typename Work, typename Deliver>
bool RunInOrder(int64_t count, int threads, const Work& work, const Deliver& deliver) {
  if (threads <= 1 || count <= 1) {
    for (int64_t index = 0; index < count; ++index) {
      Result result = work(index);
      if (!deliver(index, result)) return false;
    }
    return true;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::map<int64_t, Result> done;
  const int64_t ahead = 2 * static_cast<int64_t>(threads);
  int64_t next_claim = 0, next_deliver = 0;
  bool stopped = false, cancelled = false;
  std::exception_ptr error;
  auto stop = [&](std::exception_ptr failure) {
    std::lock_guard lock(mutex);
    if (failure && !error) error = failure;
    if (!failure) cancelled = true;
    stopped = true;
    changed.notify_all();
  };
  // The next result in line, taken from `done`; false when it is not
  // finished, or the work stopped.
  auto take_next = [&](int64_t& index, Result& result) {
    std::lock_guard lock(mutex);
    auto it = done.find(next_deliver);
    if (stopped || it == done.end()) return false;
    index = next_deliver++;
    result = std::move(it->second);
    done.erase(it);
    changed.notify_all();  // a claim may wait for this
    return true;
  };
  auto next_finished = [&] {
    std::lock_guard lock(mutex);
    return !stopped && done.count(next_deliver) != 0;
  };
  // The token is tried, never waited for: its holder looks again once it
  // lets go, so no finished result is left waiting.
  std::mutex token;
  auto deliver_finished = [&] {
    for (;;) {
      std::unique_lock hold(token, std::try_to_lock);
      if (!hold.owns_lock()) return;
      int64_t index;
      for (Result result; take_next(index, result);) {
        if (!deliver(index, result)) return stop(nullptr);
      }
      hold.unlock();
      if (!next_finished()) return;
    }
  };
  auto claim = [&] {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] {
      return stopped || next_claim >= count || next_claim < next_deliver + ahead;
    });
    return stopped || next_claim >= count ? int64_t{-1} : next_claim++;
  };
  auto worker = [&] {
    try {
      for (int64_t index; (index = claim()) >= 0;) {
        Result result = work(index);
        {
          std::lock_guard lock(mutex);
          done.emplace(index, std::move(result));
        }
        deliver_finished();
      }
    } catch (...) {
      stop(std::current_exception());
    }
  };
  std::vector<std::thread> workers;
  try {
    for (int t = 0; t < threads; ++t) workers.emplace_back(worker);
  } catch (...) {
    stop(std::current_exception());  // a thread could not start: the ones that did end early
  }
  for (std::thread& running : workers) running.join();
  if (error) std::rethrow_exception(error);
  return !cancelled;
}

}  // namespace quarrow

#endif  // QUARROW_ENGINE_ORDERED_WORK_H_
