#include "engine/scan.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/candidates.h"
#include "engine/database_starts.h"
#include "engine/values.h"

namespace quarrow {
namespace {

// Bytes read before a page, so that prefix walks rarely leave the window.
constexpr int64_t kBackMargin = 64;
// Bytes read after a page for record bodies; fields beyond are read on demand.
constexpr int64_t kBodyMargin = 64 * 1024;

// The kept matches of one page: their positions, and the bytes the formatter
// gave for each, back to back in text, each ending at its entry in ends.
struct PageMatches {
  std::vector<int64_t> positions;
  std::string text;
  std::vector<size_t> ends;
  LineBuffer bulk;  // Match::bulk
  std::vector<int64_t> database_starts;
  // The bytes the page's scan read, from window_start on (only when the
  // caller asked for them: the scanner hands its mapping or its buffer over
  // instead of a copy).
  MappedWindow mapped;
  std::string window;
  int64_t window_start = 0;
  int worker = 0;  // the scan worker that fills this page result
  // A second column list's matches in the same page (ScanLane).
  std::unique_ptr<PageMatches> second;

  std::string_view Window() const { return mapped ? mapped.bytes() : std::string_view(window); }

  // Empties the lists but keeps their memory: pages recycle these, since fresh
  // allocations of this size cost more in page faults than the scan itself.
  void Clear() {
    positions.clear();
    text.clear();
    ends.clear();
    bulk.Clear();
    database_starts.clear();
    mapped = MappedWindow();
  }
};

// Appends the database headers starting in [first, last) of a window that
// holds buffer positions from `start` on, as buffer positions; the sectors
// they open are counted from the file's start, `base` bytes before position 0.
void AppendDatabaseStarts(std::string_view window, int64_t start, int64_t first, int64_t last,
                          int64_t base, std::vector<int64_t>& starts) {
  constexpr int64_t kMagicSize = 16;
  const auto from = static_cast<size_t>(first - start);
  const size_t length =
      std::min(window.size() - from, static_cast<size_t>(last - first + kMagicSize - 1));
  const size_t before = starts.size();
  FindDatabaseStarts(base + first, window.substr(from, length), starts);
  for (size_t k = before; k < starts.size(); ++k) starts[k] -= base;
}

class PageScanner {
 public:
  PageScanner(const Buffer& buffer, const ColumnList& columns, const ScanParams& params,
              const MatchFormatter& formatter, const ScanLane* lane = nullptr)
      : buffer_(buffer), columns_(columns), params_(params), formatter_(formatter),
        matcher_(columns, params.threshold) {
    // The longest header: the candidate byte plus nine bytes per serial type.
    header_margin_ = 2 + 9 * static_cast<int64_t>(columns.size());
    if (lane != nullptr) {
      second_ = std::make_unique<PageScanner>(buffer, lane->columns, lane->params, lane->formatter);
      header_margin_ = std::max(header_margin_, second_->header_margin_);
    }
  }

  // Finds, matches and renders the candidates in [first, last) that the
  // buffer tries (Buffer::LimitCandidates) into `matches`; database starts
  // are looked for in all of [first, last), as the whole scan's page has them.
  void Scan(int64_t first, int64_t last, PageMatches& matches) {
    int64_t start = std::max<int64_t>(first - kBackMargin, 0);
    int64_t body = std::min(kBodyMargin, params_.page_size);
    int64_t end = std::min(buffer_.size(), last + header_margin_ + body);
    const auto length = static_cast<size_t>(end - start);
    matches.window_start = start;
    if (MappedWindow mapped = buffer_.Map(start, length)) {
      ScanLanes(mapped.bytes(), start, first, last, matches);
      if (!mapped.faulted()) {
        if (params_.page_window) matches.mapped = std::move(mapped);
        return;
      }
    }
    // Copied: the file cannot be mapped, or it shrank under the mapping and
    // the read names the bytes it lost.
    buffer_.Read(start, length, window_);
    ScanLanes(window_, start, first, last, matches);
    if (params_.page_window) window_.swap(matches.window);
  }

 private:
  // Each list's sweep of the window, the second's while the bytes are cached.
  void ScanLanes(std::string_view window, int64_t start, int64_t first, int64_t last,
                 PageMatches& matches) {
    ScanWindow(window, start, first, last, matches);
    if (!second_) return;
    if (!matches.second) matches.second = std::make_unique<PageMatches>();
    second_->ScanWindow(window, start, first, last, *matches.second);
  }

  void ScanWindow(std::string_view window, int64_t start, int64_t first, int64_t last,
                  PageMatches& matches) {
    BufferView view(buffer_, start, window);
    matches.Clear();
    const auto* bytes = reinterpret_cast<const uint8_t*>(window.data());
    const size_t size = window.size();
    const bool pair = params_.rule == CandidateRule::kPair;
    // Database headers are looked for in each stretch right after its sweep,
    // while its bytes are in the nearest cache: read apart, one byte in 512
    // waits for memory at every sector. Stretches are whole blocks, so the
    // sweep sees the blocks it would see in one go.
    constexpr int64_t kStartsStretch = 32 * 1024;
    const int64_t stretch = params_.database_start ? kStartsStretch : last - first;
    // Whether this page's candidates crowd is guessed from the page before:
    // the bytes of an input change kind over megabytes, not within a page.
    int64_t crowded_blocks = 0;
    const int64_t tried_first = std::max(first, buffer_.candidates_first());
    const int64_t tried_end = std::min(last, buffer_.candidates_end());
    for (int64_t from = first; from < last; from += stretch) {
      const int64_t to = std::min(last, from + stretch);
      const int64_t sweep_from = std::max(from, tried_first);
      const int64_t sweep_to = std::min(to, tried_end);
      if (sweep_from < sweep_to) {
        crowded_blocks += ForEachClassifiedCandidate(
            window, sweep_from - start, sweep_to - start, pair, !sparse_,
            [&](const ByteClasses& here, const ByteClasses& next) QUARROW_ALWAYS_INLINE {
              return pair ? matcher_.LeadFits<1>(here, next) : matcher_.LeadFits<0>(here, next);
            },
            [&](int64_t j, const ByteClasses* after) QUARROW_ALWAYS_INLINE {
              ClassVerdict verdict;
              if (after != nullptr) {
                verdict = matcher_.Judge(*after);
                if (!verdict.fits) return;
              } else if (static_cast<size_t>(j) + 2 < size &&
                         !matcher_.MayMatch(bytes[j + 1], bytes[j + 2])) {
                return;  // bytes past the window are tested by Match itself
              }
              TryCandidate(view, start + j, verdict, matches);
            });
      }
      if (params_.database_start)
        AppendDatabaseStarts(window, start, from, to, buffer_.start_offset(),
                             matches.database_starts);
    }
    // Candidates crowd (two or more) in fewer than one block of 64 bytes in
    // sixteen: sparse. Random bytes crowd in one in forty, database pages in
    // most.
    sparse_ = crowded_blocks * 64 * 16 < std::max<int64_t>(tried_end - tried_first, 1);
  }

  void TryCandidate(const BufferView& view, int64_t position, const ClassVerdict& verdict,
                    PageMatches& out) {
    int64_t cursor = position + 1;
    if (!matcher_.Match(view, columns_, cursor, verdict)) return;
    if (params_.header_filter != nullptr && !params_.header_filter(columns_)) return;
    const int64_t body = RecordBodyStart(view, position, cursor, columns_);
    if (params_.render_nothing) {
      // The formatter renders what it needs from the match.
    } else if (params_.rendered.empty()) {
      ExtractValues(view, body, columns_);
    } else {
      ExtractValues(view, body, columns_, params_.rendered);
    }
    prefix_.clear();
    if (params_.prefix_count > 0) {
      AppendCellPrefix(view, position, params_.prefix_count, prefix_);
    }
    const size_t before = out.text.size(), bulk_before = out.bulk.size();
    if (!formatter_(Match{position, prefix_, &view, body, &out.bulk}, columns_, out.text)) {
      out.text.resize(before);
      out.bulk.SetEnd(out.bulk.data() + bulk_before);
      return;
    }
    out.positions.push_back(position);
    out.ends.push_back(out.text.size());
  }

  const Buffer& buffer_;
  ColumnList columns_;  // this scanner's own copy: seg and value are scratch
  const ScanParams& params_;
  MatchFormatter formatter_;  // this worker's own copy
  bool sparse_ = false;        // the page before held few candidates
  HeaderMatcher matcher_;
  std::string prefix_;
  int64_t header_margin_;
  std::string window_;
  std::unique_ptr<PageScanner> second_;  // a ScanLane's list, if any
};

}  // namespace

namespace {

constexpr int64_t kStartsChunk = int64_t{1} << 20;

// ReportDatabaseStarts's spans each on a thread of its own, their starts
// collected and then reported in order.
void ReportDatabaseStartsInParallel(const Buffer& buffer, int64_t first, int64_t last,
                                    const std::function<void(int64_t position)>& report,
                                    int threads) {
  const int64_t chunks = (last - first + kStartsChunk - 1) / kStartsChunk;
  std::vector<std::vector<int64_t>> found(static_cast<size_t>(threads));
  std::vector<std::exception_ptr> errors(static_cast<size_t>(threads));
  auto span = [&](int part) {
    const int64_t from = first + chunks * part / threads * kStartsChunk;
    const int64_t to = std::min(last, first + chunks * (part + 1) / threads * kStartsChunk);
    return std::pair{from, to};
  };
  std::vector<std::thread> workers;
  for (int part = 1; part < threads; ++part) {
    workers.emplace_back([&, part] {
      try {
        auto [from, to] = span(part);
        ReportDatabaseStarts(buffer, from, to, [&](int64_t at) {
          found[static_cast<size_t>(part)].push_back(at);
        });
      } catch (...) {
        errors[static_cast<size_t>(part)] = std::current_exception();
      }
    });
  }
  try {
    auto [from, to] = span(0);
    ReportDatabaseStarts(buffer, from, to, [&](int64_t at) { found[0].push_back(at); });
  } catch (...) {
    errors[0] = std::current_exception();
  }
  for (std::thread& worker : workers) worker.join();
  for (const std::exception_ptr& error : errors)
    if (error) std::rethrow_exception(error);
  for (const std::vector<int64_t>& starts : found)
    for (int64_t start : starts) report(start);
}

}  // namespace

void ReportDatabaseStarts(const Buffer& buffer, int64_t first, int64_t last,
                          const std::function<void(int64_t position)>& report, int threads) {
  // Below a few chunks a thread each, a thread costs more than it saves.
  constexpr int64_t kChunksPerThread = 8;
  threads = static_cast<int>(std::min<int64_t>(
      threads, (last - first) / (kChunksPerThread * kStartsChunk)));
  if (threads > 1) return ReportDatabaseStartsInParallel(buffer, first, last, report, threads);
  constexpr int64_t kChunk = kStartsChunk, kMagicSize = 16;
  std::string window;
  std::vector<int64_t> starts;
  for (int64_t at = first; at < last; at += kChunk) {
    const int64_t to = std::min(last, at + kChunk);
    // Cut at the buffer's end, as the scan's windows are: there the window
    // maps, and a header needs its 16 bytes inside the buffer.
    const auto length = static_cast<size_t>(std::min(to + kMagicSize - 1, buffer.size()) - at);
    // Only 16 bytes of each sector are looked at: mapped, the rest is never
    // copied (a shard does this over all the input before its range). A
    // window that faulted is read again, which reports the file's error.
    starts.clear();
    const MappedWindow mapped = buffer.Map(at, length);
    if (mapped) AppendDatabaseStarts(mapped.bytes(), at, at, to, buffer.start_offset(), starts);
    if (!mapped || mapped.faulted()) {
      starts.clear();
      buffer.Read(at, length, window);
      AppendDatabaseStarts(window, at, at, to, buffer.start_offset(), starts);
    }
    for (int64_t start : starts) report(start);
  }
}

namespace {

// Tells the caller's hooks about one page around `deliver_matches`: its
// window and then its database starts before, the window's end after.
template <typename DeliverMatches>
void AnnouncePage(const PageMatches& matches, const ScanParams& params,
                  DeliverMatches&& deliver_matches) {
  if (params.page_window) params.page_window(matches.window_start, matches.Window());
  if (params.database_start) {
    for (int64_t start : matches.database_starts) params.database_start(start);
  }
  if (params.page_bulk) params.page_bulk(matches.bulk.view());
  deliver_matches();
  if (params.page_done) params.page_done();
  if (params.page_window) params.page_window(matches.window_start, {});
}

// Hands one page's kept matches to the handler, in position order.
void DeliverMatches(const PageMatches& matches, const FormattedHandler& handler) {
  std::string_view text(matches.text);
  size_t begin = 0;
  for (size_t m = 0; m < matches.positions.size(); ++m) {
    handler(matches.positions[m], text.substr(begin, matches.ends[m] - begin));
    begin = matches.ends[m];
  }
}

// The same, with the page's hooks around (and a second list's matches after).
void Deliver(const PageMatches& matches, const ScanParams& params,
             const FormattedHandler& handler, const FormattedHandler* second = nullptr) {
  AnnouncePage(matches, params, [&] {
    DeliverMatches(matches, handler);
    if (second != nullptr && matches.second) DeliverMatches(*matches.second, *second);
  });
}

// Pages are claimed by workers in order, at most `in_flight` ahead of the one
// being delivered, so memory stays flat while both cores stay busy.
class PagePipeline {
 public:
  PagePipeline(int64_t page_count, int64_t in_flight, int workers)
      : spare_(static_cast<size_t>(workers)), page_count_(page_count), in_flight_(in_flight) {}

  // Returns the next page to scan, or -1 when there is none or work stopped.
  int64_t Claim() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      return stopped_ || next_claim_ >= page_count_ ||
             next_claim_ < next_deliver_ + in_flight_;
    });
    if (stopped_ || next_claim_ >= page_count_) return -1;
    return next_claim_++;
  }

  // A cleared-out page result for `worker` to fill: one it filled before
  // where one is free, so that the mapping such a page may still hold is
  // released by the thread that made it, whose cache holds what the kernel
  // touches to undo it, and off the thread that delivers the pages.
  PageMatches Spare(int worker) {
    std::lock_guard lock(mutex_);
    std::vector<PageMatches>& spare = spare_[static_cast<size_t>(worker)];
    PageMatches matches;
    if (!spare.empty()) {
      matches = std::move(spare.back());
      spare.pop_back();
    }
    matches.worker = worker;
    return matches;
  }

  void Recycle(PageMatches matches) {
    std::lock_guard lock(mutex_);
    spare_[static_cast<size_t>(matches.worker)].push_back(std::move(matches));
  }

  void Finish(int64_t page, PageMatches matches) {
    std::lock_guard lock(mutex_);
    done_.emplace(page, std::move(matches));
    changed_.notify_all();
  }

  void Fail(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = error;
    stopped_ = true;
    changed_.notify_all();
  }

  // Takes the next page in line when it is finished; false when it is not,
  // or work stopped.
  bool TakeNext(int64_t& page, PageMatches& matches) {
    std::lock_guard lock(mutex_);
    auto it = done_.find(next_deliver_);
    if (stopped_ || it == done_.end()) return false;
    page = next_deliver_++;
    matches = std::move(it->second);
    done_.erase(it);
    changed_.notify_all();  // a claim may wait for this
    return true;
  }

  bool NextFinished() {
    std::lock_guard lock(mutex_);
    return !stopped_ && done_.count(next_deliver_) != 0;
  }

  // After the workers: rethrows a failure; true when every page was delivered.
  bool AllDelivered() {
    std::lock_guard lock(mutex_);
    if (error_) std::rethrow_exception(error_);
    return next_deliver_ == page_count_;
  }

  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int64_t, PageMatches> done_;
  std::vector<std::vector<PageMatches>> spare_;  // by worker
  const int64_t page_count_;
  const int64_t in_flight_;
  int64_t next_claim_ = 0;
  int64_t next_deliver_ = 0;
  bool stopped_ = false;
  std::exception_ptr error_;
};

int ThreadCount(const ScanParams& params, int64_t page_count) {
  int threads = params.threads > 0
                    ? params.threads
                    : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return static_cast<int>(std::min<int64_t>({threads, page_count, 16}));
}

}  // namespace

namespace {

// The paged scan; `deliver` gets each page's kept matches in page order.
using PageDelivery = std::function<void(const PageMatches&)>;
template <typename PageBounds, typename Report>
bool ScanWalkedPages(const Buffer& buffer, const ColumnList& columns, const ScanParams& params,
                     const MatchFormatter& formatter, const PageDelivery& deliver,
                     int64_t page_count, const PageBounds& page_bounds, const Report& report,
                     const ScanLane* lane);
bool ScanPages(const Buffer& buffer, const ColumnList& columns, const ScanParams& params,
               const MatchFormatter& formatter, const PageDelivery& deliver,
               const ScanLane* lane = nullptr) {
  // Candidates are 0 to N - 2: the last byte never is one.
  const int64_t candidates = std::max<int64_t>(buffer.size() - 1, 0);
  const int64_t page_size = std::max<int64_t>(params.page_size, 1);
  // A buffer limited to some candidates is walked in the whole scan's pages
  // that hold them, so that every hook sees its pages as the whole scan does.
  const int64_t tried_first = std::clamp<int64_t>(buffer.candidates_first(), 0, candidates);
  const int64_t tried_end = std::clamp<int64_t>(buffer.candidates_end(), tried_first, candidates);
  const int64_t first_page = tried_first / page_size;
  const int64_t page_count =
      tried_end > tried_first ? (tried_end + page_size - 1) / page_size - first_page : 0;
  auto page_bounds = [&](int64_t page) {
    page += first_page;
    return std::pair{page * page_size, std::min(candidates, (page + 1) * page_size)};
  };
  auto report = [&](int64_t page) {
    return params.progress == nullptr ||
           params.progress->Update(std::min(page_bounds(page).second, tried_end) - tried_first,
                                   tried_end - tried_first);
  };
  const int64_t walked_first = page_count > 0 ? page_bounds(0).first : candidates;
  const int64_t walked_end = page_count > 0 ? page_bounds(page_count - 1).second : candidates;
  if (params.database_start) ReportDatabaseStarts(buffer, 0, walked_first, params.database_start);
  const bool finished = ScanWalkedPages(buffer, columns, params, formatter, deliver,
                                        page_count, page_bounds, report, lane);
  if (finished && params.database_start && params.database_starts_past_range)
    ReportDatabaseStarts(buffer, walked_end, candidates, params.database_start);
  return finished;
}

// The pages of ScanPages, `page_bounds` giving each one's positions.
template <typename PageBounds, typename Report>
bool ScanWalkedPages(const Buffer& buffer, const ColumnList& columns, const ScanParams& params,
                     const MatchFormatter& formatter, const PageDelivery& deliver,
                     int64_t page_count, const PageBounds& page_bounds, const Report& report,
                     const ScanLane* lane) {

  const int threads = ThreadCount(params, page_count);
  if (threads <= 1) {
    PageScanner scanner(buffer, columns, params, formatter, lane);
    PageMatches matches;
    for (int64_t page = 0; page < page_count; ++page) {
      auto [first, last] = page_bounds(page);
      scanner.Scan(first, last, matches);
      deliver(matches);
      if (!report(page)) return false;
    }
    return true;
  }

  PagePipeline pipeline(page_count, 2 * static_cast<int64_t>(threads), threads);
  // Pages are delivered by the workers themselves: whichever holds the
  // delivery token hands every finished page in line to `deliver`, one thread
  // at a time, in page order. A calling thread woken per page would be a third
  // thread on the cores, taking them from the scan (and their caches) at each
  // page. The token is tried, never waited for: its holder looks again once it
  // lets go, so no finished page is left waiting.
  std::mutex token;
  std::atomic<bool> cancelled{false};
  auto deliver_finished = [&] {
    for (;;) {
      std::unique_lock hold(token, std::try_to_lock);
      if (!hold.owns_lock()) return;
      int64_t page;
      for (PageMatches matches; pipeline.TakeNext(page, matches);) {
        deliver(matches);
        pipeline.Recycle(std::move(matches));
        if (!report(page)) {
          cancelled = true;
          pipeline.Stop();
          return;
        }
      }
      hold.unlock();
      if (!pipeline.NextFinished()) return;
    }
  };
  std::vector<std::thread> workers;
  auto work = [&](int worker) {
    try {
      // Each worker owns its scanner, and so its copy of the column list.
      PageScanner scanner(buffer, columns, params, formatter, lane);
      for (int64_t page; (page = pipeline.Claim()) >= 0;) {
        auto [first, last] = page_bounds(page);
        PageMatches matches = pipeline.Spare(worker);
        matches.mapped = MappedWindow();  // before the next is mapped
        scanner.Scan(first, last, matches);
        pipeline.Finish(page, std::move(matches));
        deliver_finished();
      }
    } catch (...) {
      pipeline.Fail(std::current_exception());
    }
  };
  try {
    for (int t = 0; t < threads; ++t) workers.emplace_back(work, t);
  } catch (...) {
    pipeline.Stop();  // a thread could not start: the ones that did end early
    for (std::thread& worker : workers) worker.join();
    throw;
  }
  for (std::thread& worker : workers) worker.join();
  if (cancelled) return false;
  if (!pipeline.AllDelivered()) throw std::logic_error("scan pages left undelivered");
  return true;
}

}  // namespace

bool ScanFormatted(const Buffer& buffer, const ColumnList& columns,
                   const ScanParams& params, const MatchFormatter& formatter,
                   const FormattedHandler& handler) {
  return ScanPages(buffer, columns, params, formatter, [&](const PageMatches& matches) {
    Deliver(matches, params, handler);
  });
}

bool ScanFormatted(const Buffer& buffer, const ColumnList& columns,
                   const ScanParams& params, const MatchFormatter& formatter,
                   const FormattedHandler& handler, const ScanLane& second) {
  return ScanPages(
      buffer, columns, params, formatter,
      [&](const PageMatches& matches) { Deliver(matches, params, handler, &second.handler); },
      &second);
}

bool ScanFormattedPages(const Buffer& buffer, const ColumnList& columns,
                        const ScanParams& params, const MatchFormatter& formatter,
                        const PageHandler& handler) {
  return ScanPages(buffer, columns, params, formatter, [&](const PageMatches& matches) {
    AnnouncePage(matches, params, [&] {
      if (!matches.positions.empty())
        handler(matches.text, static_cast<int64_t>(matches.positions.size()));
    });
  });
}

namespace {

// ScanRecords carries a match from worker to caller as its prefix and, per
// column, the size, the serial type and the value, each behind its length.
template <typename T>
void Put(std::string& out, T number) {
  out.append(reinterpret_cast<const char*>(&number), sizeof number);
}

template <typename T>
T Take(std::string_view& in) {
  T number;
  std::memcpy(&number, in.data(), sizeof number);
  in.remove_prefix(sizeof number);
  return number;
}

void PutText(std::string& out, std::string_view text) {
  Put<uint64_t>(out, text.size());
  out.append(text);
}

std::string_view TakeText(std::string_view& in) {
  size_t size = Take<uint64_t>(in);
  std::string_view text = in.substr(0, size);
  in.remove_prefix(size);
  return text;
}

}  // namespace

bool ScanRecords(const Buffer& buffer, ColumnList& columns, const ScanParams& params,
                 const MatchHandler& handler) {
  // Workers copy `columns` before the handler's calls rewrite it: the scanners
  // take their copies from this one.
  const ColumnList pattern = columns;
  return ScanFormatted(
      buffer, pattern, params,
      [](const Match& match, const ColumnList& found, std::string& out) {
        PutText(out, match.prefix);
        for (const TERM& column : found) {
          Put(out, column.seg);
          Put(out, column.serial);
          PutText(out, column.value);
        }
        return true;
      },
      [&](int64_t position, std::string_view formatted) {
        std::string_view prefix = TakeText(formatted);
        for (TERM& column : columns) {
          column.seg = Take<int64_t>(formatted);
          column.serial = Take<uint64_t>(formatted);
          column.value.assign(TakeText(formatted));
        }
        handler(Match{position, prefix}, columns);
      });
}

}  // namespace quarrow
