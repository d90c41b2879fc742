// Contacts recovery from end to end: the person pass, the multi-value pass and
// the contacts report, as the window and the command line run it.
#ifndef QUARROW_CONTACTS_CONTACTS_RECOVERY_H_
#define QUARROW_CONTACTS_CONTACTS_RECOVERY_H_

#include <cstdint>
#include <string>

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

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_RECOVERY_H_
