// The scan both passes of contacts recovery run: the pair rule at the loose
// threshold, with the caller's prefix count, reporting to the progress sink.
#ifndef QUARROW_CONTACTS_CONTACTS_SCAN_H_
#define QUARROW_CONTACTS_CONTACTS_SCAN_H_

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/ports.h"
#include "engine/scan.h"

namespace quarrow {

// The message of a contacts recovery that the progress sink stopped.
inline constexpr const char* kContactsCancelled =
    "Contacts recovery was cancelled. No report was written.";

// Runs ScanRecords over the whole buffer; `accept`, when given, drops matches
// on the scan's workers (see ScanParams). Throws Error kContactsCancelled when
// the progress sink asks to stop; the table then keeps the rows added so far.
void ScanForContacts(const Buffer& buffer, ColumnList& columns, int prefix_count,
                     ProgressSink* progress, const MatchHandler& handler,
                     MatchFilter accept = nullptr);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_SCAN_H_
