// The scan both passes of contacts recovery run: the pair rule at the loose
// threshold, with the caller's prefix count, reporting to the progress sink.
#ifndef QUARROW_CONTACTS_CONTACTS_SCAN_H_
#define QUARROW_CONTACTS_CONTACTS_SCAN_H_

#include <functional>
#include <string_view>

#include "contacts/record_shape.h"
#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/ports.h"
#include "engine/scan.h"

namespace quarrow {

// The message of a contacts recovery that the progress sink stopped.
inline constexpr const char* kContactsCancelled =
    "Contacts recovery was cancelled. No report was written.";

// The scan both passes run: the pair rule at the loose threshold, with the
// given prefix count and progress sink; callers may narrow it further.
ScanParams ContactsScanParams(int prefix_count, ProgressSink* progress);

// The shaper of a pass whose definition is `columns`, of which every record
// has the first `shared` (0: all), and which may be `narrower` than the
// records (see ContactsSchema), at the scan's threshold.
RecordShaper ContactsShaper(const ColumnList& columns, size_t shared, bool narrower);

// Runs ScanFormatted over the whole buffer: `formatter` on the scan's workers,
// `handler` in position order with what it gave. Throws Error kContactsCancelled
// when the progress sink asks to stop; the table then keeps the rows added so
// far.
void ScanForContacts(const Buffer& buffer, const ColumnList& columns,
                     const ScanParams& params, const MatchFormatter& formatter,
                     const std::function<void(std::string_view)>& handler);

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_CONTACTS_SCAN_H_
