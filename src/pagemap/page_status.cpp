#include "pagemap/page_status.h"

namespace quarrow {

void AppendStatusText(const PageStatus& status, std::string& out) {
  switch (status.status) {
    case Status::kLive: out += "live"; return;
    case Status::kSuperseded: out += "superseded"; return;
    case Status::kFreeblock: out += "freeblock"; return;
    case Status::kFreelist: out += "freelist"; return;
    case Status::kWal:
      out += "wal:";
      out += std::to_string(status.wal_frame);
      return;
    case Status::kJournal: out += "journal"; return;
    case Status::kUnknown: break;
  }
  out += "unknown";
}

std::string StatusText(const PageStatus& status) {
  std::string text;
  AppendStatusText(status, text);
  return text;
}

}  // namespace quarrow
