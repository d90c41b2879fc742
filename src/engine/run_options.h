// What a user may choose on top of a command's inputs: the report's format,
// per-record details, the source of table definitions and the worker count.
// Plain values, passed down by the window and the command line alike; the
// defaults give the reports exactly as they have always been.
#ifndef QUARROW_ENGINE_RUN_OPTIONS_H_
#define QUARROW_ENGINE_RUN_OPTIONS_H_

#include <cstdint>
#include <string>

namespace quarrow {

enum class ReportFormat { kTsv, kCsv, kJsonl };

struct RunOptions {
  ReportFormat format = ReportFormat::kTsv;
  bool bom = false;           // csv: start with a UTF-8 byte-order mark
  bool details = false;       // each record's offset and status
  bool deleted_only = false;  // drop live records and exact copies of them
  int threads = 0;            // scan workers; 0 chooses by the machine
  std::string schema_from;    // table definitions from this file; empty: the input
  // --range: only candidates at input offsets [range_first, range_end) are
  // reported; bytes outside are still read as context.
  int64_t range_first = 0;
  int64_t range_end = INT64_MAX;
  bool ranged() const { return range_first != 0 || range_end != INT64_MAX; }
};

}  // namespace quarrow

#endif  // QUARROW_ENGINE_RUN_OPTIONS_H_
