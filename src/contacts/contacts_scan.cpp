#include "contacts/contacts_scan.h"

#include "text_rule/error.h"

namespace quarrow {

void ScanForContacts(const Buffer& buffer, ColumnList& columns, int prefix_count,
                     ProgressSink* progress, const MatchHandler& handler,
                     MatchFilter accept) {
  ScanParams params =
      ScanParams::For(CandidateRule::kPair, kLoose, prefix_count, progress);
  params.accept = accept;
  if (!ScanRecords(buffer, columns, params, handler)) {
    throw Error(kContactsCancelled);
  }
}

}  // namespace quarrow
