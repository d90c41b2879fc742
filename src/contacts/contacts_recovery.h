// Contacts recovery from end to end: the person pass, the multi-value pass and
// the contacts report, as the window and the command line run it.
#ifndef QUARROW_CONTACTS_CONTACTS_RECOVERY_H_
#define QUARROW_CONTACTS_CONTACTS_RECOVERY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "contacts/result_table.h"
#include "engine/ports.h"
#include "engine/run_options.h"

namespace quarrow {

// Re-creates `table`, runs the person pass over the input from the start offset
// given by `offset_text`, then the multi-value pass over the same buffer, then
// writes the report to `output_path` and loads it into `view`. The editor ends
// up holding the multi-value schema's six lines. Throws Error for an empty output
// path (before anything is read), an input that cannot be opened, an offset text
// that is not an integer or is negative, a report that cannot be written, or a
// cancel from the progress sink (no report is written then). The sink sees both
// passes as one run: its total is twice one pass's.
// Returns the number of rows written (the header row not counted).
int64_t RecoverContacts(const std::string& input_path, const std::string& offset_text,
                        const std::string& output_path, DdlEditor& editor,
                        OutputView& view, ResultTable& table,
                        ProgressSink* progress = nullptr,
                        const RunOptions& options = {});

// The shard of a run cut into byte ranges (options.range_first to range_end):
// runs the scan phase of RecoverContacts over the candidates in the range and
// writes what it found to the part `part_path` (contacts_parts.h; "-" is
// refused: a part is a file) instead of a report. Throws as RecoverContacts
// does. Returns the person records the part holds.
int64_t RecoverContactsPart(const std::string& input_path, const std::string& offset_text,
                            const std::string& part_path, DdlEditor& editor,
                            ProgressSink* progress = nullptr, const RunOptions& options = {});

// Writes the contacts report of the whole input from the parts of its shards,
// byte for byte what RecoverContacts writes (with `to_part`, a part of the
// ranges joined instead). Nothing is written when a part is missing, cannot be
// read, or is of another input, version or options (Error says which).
// Returns the rows (or person records) written.
int64_t MergeContactsParts(const std::vector<std::string>& part_paths,
                           const std::string& output_path, bool to_part,
                           const RunOptions& options = {});

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_RECOVERY_H_
