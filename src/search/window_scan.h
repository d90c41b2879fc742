// The window scan: searches a window of the input file (start offset and length
// from field texts) for three-column multi-value records and appends one line
// per record to the output view. Writes no file.
#ifndef QUARROW_SEARCH_WINDOW_SCAN_H_
#define QUARROW_SEARCH_WINDOW_SCAN_H_

#include <string>
#include <string_view>

#include "engine/ports.h"

namespace quarrow {

extern const std::string_view kWindowSchema;

// Opens the input (file error first), converts "0" + length_text, then
// "0" + offset_text (conversion errors name that text), rewrites the editor with
// the window schema and appends a line per match: header length, TAB, then TAB
// and the value of each of the three columns. Throws Error as described, or when
// the progress sink cancels.
void ScanFileWindow(const std::string& input_path, const std::string& length_text,
                    const std::string& offset_text, DdlEditor& editor,
                    OutputView& view, ProgressSink* progress = nullptr);

}  // namespace quarrow

#endif  // QUARROW_SEARCH_WINDOW_SCAN_H_
