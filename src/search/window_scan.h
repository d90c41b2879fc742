// The window scan: searches a window of the input file (start offset and length
// from field texts) for three-column multi-value records and appends one line
// per record to the output view. Writes no file.
#ifndef QUARROW_SEARCH_WINDOW_SCAN_H_
#define QUARROW_SEARCH_WINDOW_SCAN_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/ports.h"
#include "engine/run_options.h"

namespace quarrow {

extern const std::string_view kWindowSchema;

// The csv and jsonl names of a window-scan line's fields.
inline constexpr const char* kWindowFieldNames[4] = {"header_length", "parent_id",
                                                     "property", "value"};

// The window's start and length; no length means up to the file's end.
struct WindowRange {
  int64_t offset = 0;
  std::optional<int64_t> length;
};

// A window field's number: "0" + `text` over the 64-bit range (0 to 2^63-1).
// A text that is no number gives "''<shown>'' is not a valid integer value";
// a number past 2^63-1 says it is out of range, quoting `text` as typed.
int64_t WindowFieldNumber(std::string_view text, std::string_view shown);

// Opens the input (file error first), asks `range_after_open` for the window
// (it may throw a conversion error), rewrites the editor with the window schema
// and appends a line per match. tsv (the default): header length, TAB, then TAB
// and the value of each of the three columns. csv: the same four fields,
// comma-separated with CR LF kept out of the line (the caller ends lines),
// after a first line naming kWindowFieldNames. jsonl: an object with "offset"
// (the match's byte position in the input) and the four fields. A negative
// offset is refused. Throws Error as described, or when the progress sink
// cancels (the message says how many lines were added). Returns the number of
// matches.
int64_t ScanWindow(const std::string& input_path,
                   const std::function<WindowRange()>& range_after_open,
                   DdlEditor& editor, OutputView& view, ProgressSink* progress = nullptr,
                   const RunOptions& options = {});

// The window's command: the length from "0" + length_text, then the offset from
// "0" + offset_text, each converted by WindowFieldNumber quoting that text (for
// Len_f 12a: ''012a'' is not a valid integer value).
int64_t ScanFileWindow(const std::string& input_path, const std::string& length_text,
                       const std::string& offset_text, DdlEditor& editor,
                       OutputView& view, ProgressSink* progress = nullptr,
                       const RunOptions& options = {});

}  // namespace quarrow

#endif  // QUARROW_SEARCH_WINDOW_SCAN_H_
