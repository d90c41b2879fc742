// The record scan: every position of a buffer is tested for a record header
// that fits a column list, and every match is rendered and handed to the
// caller's handler, in increasing position order.
//
// The buffer is walked in pages, each read with a margin that covers the
// longest header the column list can need, so memory stays bounded whatever the
// input's size; a page's candidates are found and rendered on worker threads,
// each with its own copy of the column list, while the handler runs serially on
// the calling thread. The result is byte for byte that of one buffer scanned
// whole.
#ifndef QUARROW_ENGINE_SCAN_H_
#define QUARROW_ENGINE_SCAN_H_

#include <cstdint>
#include <functional>
#include <string_view>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/header.h"
#include "engine/ports.h"

namespace quarrow {

enum class CandidateRule {
  kPair,        // a non-zero byte followed by a zero byte
  kSingleByte,  // any non-zero byte
};

// Decides on a worker thread whether a rendered match goes to the handler.
// Must be pure: it runs on several threads at once.
using MatchFilter = bool (*)(const ColumnList& columns);

struct ScanParams {
  CandidateRule rule = CandidateRule::kPair;
  int threshold = kLoose;
  // How many varints in front of the header the handler wants (0, 1 or 3).
  int prefix_count = 0;
  // Bytes of candidates one worker handles at a time; small values exercise the
  // seams in tests.
  int64_t page_size = int64_t{8} << 20;
  // Worker threads; 0 chooses by the machine.
  int threads = 0;
  ProgressSink* progress = nullptr;
  // When set, only matches it accepts reach the handler.
  MatchFilter accept = nullptr;

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
};

// Called once per match; `columns` holds the record's seg, serial and value.
using MatchHandler = std::function<void(const Match&, const ColumnList& columns)>;

// Scans positions 0 to N - 2. Returns false when the progress sink asked to
// stop (the handler has then seen every match before some position), true when
// the whole buffer was scanned. Exceptions from the handler end the scan and
// propagate.
bool ScanRecords(const Buffer& buffer, ColumnList& columns, const ScanParams& params,
                 const MatchHandler& handler);

}  // namespace quarrow

#endif  // QUARROW_ENGINE_SCAN_H_
