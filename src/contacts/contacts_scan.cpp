#include "contacts/contacts_scan.h"

#include "text_rule/error.h"

namespace quarrow {

void ScanForContacts(const Buffer& buffer, ColumnList& columns, int prefix_count,
                     ProgressSink* progress, const MatchHandler& handler,
                     MatchFilter accept) {
  ScanParams params;
  params.rule = CandidateRule::kPair;
  params.threshold = kLoose;
  params.prefix_count = prefix_count;
  params.progress = progress;
  params.accept = accept;
  if (!ScanRecords(buffer, columns, params, handler)) {
    throw Error(kContactsCancelled);
  }
}

}  // namespace quarrow
