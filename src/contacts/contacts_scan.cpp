#include "contacts/contacts_scan.h"

#include "text_rule/error.h"

namespace quarrow {

ScanParams ContactsScanParams(int prefix_count, ProgressSink* progress) {
  return ScanParams::For(CandidateRule::kPair, kLoose, prefix_count, progress);
}

RecordShaper ContactsShaper(const ColumnList& columns, size_t shared, bool narrower) {
  return RecordShaper(columns, shared == 0 ? columns.size() : shared, kLoose, narrower);
}

void ScanForContacts(const Buffer& buffer, const ColumnList& columns,
                     const ScanParams& params, const MatchFormatter& formatter,
                     const std::function<void(std::string_view)>& handler) {
  if (!ScanFormatted(buffer, columns, params, formatter,
                     [&](int64_t, std::string_view formatted) { handler(formatted); })) {
    throw Error(kContactsCancelled);
  }
}

}  // namespace quarrow
