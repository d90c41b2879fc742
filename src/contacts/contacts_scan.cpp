#include "contacts/contacts_scan.h"

#include "text_rule/error.h"

namespace quarrow {

void ScanForContacts(const Buffer& buffer, const ColumnList& columns, int prefix_count,
                     ProgressSink* progress, const MatchFormatter& formatter,
                     const std::function<void(std::string_view)>& handler,
                     bool (*header_filter)(const ColumnList&)) {
  ScanParams params =
      ScanParams::For(CandidateRule::kPair, kLoose, prefix_count, progress);
  params.header_filter = header_filter;
  if (!ScanFormatted(buffer, columns, params, formatter,
                     [&](int64_t, std::string_view formatted) { handler(formatted); })) {
    throw Error(kContactsCancelled);
  }
}

}  // namespace quarrow
