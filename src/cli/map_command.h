// `quarrow-cli map INPUT OUTPUT.svg`: the picture of the evidence
// (report/evidence_map.h) of an input: its page layout (pagemap/page_layout.h)
// and, drawn at their offsets, the records contacts recovery finds (the person
// and multi-value matches its two passes file), each by the state its status
// gives. The input is only read; its digest is taken on the layout's read.
// Not thread-safe; one call per run.
#ifndef QUARROW_CLI_MAP_COMMAND_H_
#define QUARROW_CLI_MAP_COMMAND_H_

#include <cstdint>
#include <string>

#include "engine/ports.h"

namespace quarrow {

struct MapRequest {
  std::string input_path;   // the file read (a spooled copy for standard input)
  std::string input_name;   // as the title names it
  std::string output_path;  // the SVG written in place; "-" is standard output
  std::string command;      // the command line the title shows
  int threads = 0;          // scan workers; 0 chooses by the machine
};

// What the picture counts.
struct MapOutcome {
  int64_t records = 0;
  int64_t cells = 0;
};

// Draws the picture. Throws Error for an empty output path (before anything
// is read), an input that cannot be opened or read, an output that is the
// input or cannot be written (naming it), and a cancel from `progress` (no
// picture is written then).
MapOutcome DrawEvidenceMap(const MapRequest& request, ProgressSink* progress);

}  // namespace quarrow

#endif  // QUARROW_CLI_MAP_COMMAND_H_
