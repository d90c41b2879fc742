// The record scan: every position of a buffer is tested for a record header
// that fits a column list, and every match is rendered and handed to the
// caller's handler, in increasing position order.
//
// The buffer is walked in pages, each read with a margin that covers the
// longest header the column list can need, so memory stays bounded whatever the
// input's size; a page's candidates are found and rendered on worker threads,
// each with its own copy of the column list, while the handler runs serially:
// one call at a time, in order, on whichever thread delivers the page (a
// worker, or the calling thread when there is one thread), so the handler and
// the hooks below need no locks but must not care which thread calls them.
// The progress sink is called the same way. The result is byte for byte that
// of one buffer scanned whole.
#ifndef QUARROW_ENGINE_SCAN_H_
#define QUARROW_ENGINE_SCAN_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/line_buffer.h"
#include "engine/header.h"
#include "engine/ports.h"

namespace quarrow {

enum class CandidateRule {
  kPair,        // a non-zero byte followed by a zero byte
  kSingleByte,  // any non-zero byte
};

struct ScanParams {
  CandidateRule rule = CandidateRule::kPair;
  int threshold = kLoose;
  // How many varints in front of the header the handler wants (0, 1 or 3).
  int prefix_count = 0;
  // Bytes of candidates one worker handles at a time: small enough that a
  // page's bytes stay in the core's cache while they are swept and rendered;
  // smaller values exercise the seams in tests.
  int64_t page_size = int64_t{1} << 20;
  // Worker threads; 0 chooses by the machine.
  int threads = 0;
  ProgressSink* progress = nullptr;
  // When set, a header that fits is rendered only if this returns true for it;
  // it sees the columns' seg and serial, not their values. Runs on the
  // workers, so it must be pure. A cheap way to drop matches early.
  bool (*header_filter)(const ColumnList& columns) = nullptr;
  // When not empty, only the columns marked here (not 0) are rendered; the
  // others' values stay empty (see ExtractValues).
  std::vector<uint8_t> rendered;
  // When set, no column is rendered and the values keep whatever they held:
  // for formatters that render from the match's bytes themselves.
  bool render_nothing = false;
  // When set, called (as the handler is) with the buffer position of every
  // database header ("SQLite format 3" and a NUL) on a 512-byte boundary of the
  // file, in position order, before the matches of the page holding it. The
  // scan reads every byte anyway, so finding them costs next to nothing.
  std::function<void(int64_t position)> database_start;
  // With database_start and a scan limited to some candidates: whether the
  // starts past them are reported too, after the scan (a later pass over the
  // same candidates judges by every database); a single pass needs none.
  bool database_starts_past_range = true;
  // When set, called (as the handler is) before each page's database starts
  // and matches with the bytes its scan read (buffer positions from `position`
  // on), and again with no bytes once the page's last match has been handled,
  // when they go: callers look at the bytes around their matches without
  // reading them again.
  std::function<void(int64_t position, std::string_view bytes)> page_window;
  // When set, called (as the handler is) once each page's matches have all
  // been handled, before the page's bytes (and the formatted bytes the
  // handler was given) go: a handler may keep views of those until then.
  std::function<void()> page_done;
  // When set, called (as the handler is) before each page's matches with the
  // bytes its formatters appended to Match::bulk, which stay until the page
  // goes as the formatted bytes do.
  std::function<void(std::string_view bulk)> page_bulk;

  // The parameters every command chooses; the rest keep their defaults.
  static ScanParams For(CandidateRule rule, int threshold, int prefix_count,
                        ProgressSink* progress) {
    ScanParams params;
    params.rule = rule;
    params.threshold = threshold;
    params.prefix_count = prefix_count;
    params.progress = progress;
    return params;
  }
};

struct Match {
  int64_t position;         // the candidate: the header-length byte
  std::string_view prefix;  // ReadCellPrefix(position, prefix_count)
  // The bytes around the match and where its body starts, for formatters that
  // render columns themselves (AppendColumnValue); valid during the call.
  const BufferView* view = nullptr;
  int64_t body_start = 0;
  // The page's bulk: where a formatter may write, in place, what the handler
  // passes on without reading (a report line of hundreds of bytes), so that
  // it is written once and the bytes the handler does read lie close
  // together. The formatted bytes say where in the bulk theirs are; the
  // handler sees the bulk through ScanParams::page_bulk. What a formatter
  // that drops its match wrote there is taken back.
  LineBuffer* bulk = nullptr;
};

// Called once per match; `columns` holds the record's seg, serial and value.
using MatchHandler = std::function<void(const Match&, const ColumnList& columns)>;

// Scans positions 0 to N - 2. Returns false when the progress sink asked to
// stop (the handler has then seen every match before some position), true when
// the whole buffer was scanned. Exceptions from the handler end the scan and
// propagate.
bool ScanRecords(const Buffer& buffer, ColumnList& columns, const ScanParams& params,
                 const MatchHandler& handler);

// The same scan split in two, so that the work per match runs on the workers:
// the formatter turns a match into bytes (a report line, a table row) on a
// worker thread, or drops it by returning false; the handler then gets those
// bytes serially, in position order. The formatter runs on several
// threads at once: each worker calls its own copy of it, so it may keep
// scratch state of its own (a mutable lambda), but must touch nothing shared
// but its arguments and what stays unchanged during the scan.
using MatchFormatter =
    std::function<bool(const Match& match, const ColumnList& columns, std::string& out)>;
using FormattedHandler = std::function<void(int64_t position, std::string_view formatted)>;

bool ScanFormatted(const Buffer& buffer, const ColumnList& columns,
                   const ScanParams& params, const MatchFormatter& formatter,
                   const FormattedHandler& handler);

// A second column list swept over the same pages as the first, while their
// bytes are in the cache: a caller with two lists to find reads the input once.
// Of `params` only the rule, threshold, prefix_count, header_filter, rendered
// and render_nothing count; the first list's params give the pages, threads,
// progress and hooks. Its handler is called as the first list's is, with the
// page's matches of this list in position order, after those of the first.
struct ScanLane {
  ColumnList columns;
  ScanParams params;
  MatchFormatter formatter;
  FormattedHandler handler;
};
bool ScanFormatted(const Buffer& buffer, const ColumnList& columns,
                   const ScanParams& params, const MatchFormatter& formatter,
                   const FormattedHandler& handler, const ScanLane& second);

// The same for callers that want the formatted bytes alone: the handler gets a
// whole page's matches at once, their bytes back to back and their count, so
// that a report takes a page in one write.
using PageHandler = std::function<void(std::string_view text, int64_t count)>;
bool ScanFormattedPages(const Buffer& buffer, const ColumnList& columns,
                        const ScanParams& params, const MatchFormatter& formatter,
                        const PageHandler& handler);

// Calls `report` with the buffer position of every database header ("SQLite
// format 3" and a NUL on a 512-byte boundary of the file) starting in buffer
// positions [first, last), in increasing order: the starts a scan of those
// positions reports through ScanParams::database_start. It reads 16 bytes a
// sector, so a caller can know every database before its scan starts. Throws
// Error as the buffer's reads do. With `threads` above 1, large spans are
// read by that many threads at once (the sectors cost page mappings, not
// arithmetic); `report` still runs on the calling thread, in order.
void ReportDatabaseStarts(const Buffer& buffer, int64_t first, int64_t last,
                          const std::function<void(int64_t position)>& report,
                          int threads = 1);

}  // namespace quarrow

#endif  // QUARROW_ENGINE_SCAN_H_
