// Fuzz target for the page map: it reads attacker-controlled structure (database
// headers, b-tree pages, freelists, overflow chains, WAL frames, journal
// headers). The bytes make an input and, when the first byte asks, a companion
// (a WAL beside a database, or the database beside a WAL). Besides "no crash,
// no hang", it checks that every status is well formed, that a cursor reading
// pages from a window agrees with file reads, that the order of queries does
// not matter, that caller-reported database starts give the map the
// constructor's own scan gives, that nothing past the input's end is mapped,
// and that the copy tests answer no without the copy index; a violation
// aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/database_starts.h"
#include "pagemap/page_map.h"
#include "pagemap/page_status.h"

namespace {

using quarrow::EmbeddedDatabases;
using quarrow::MemorySource;
using quarrow::PageMap;
using quarrow::PageMapCompanions;
using quarrow::PageMapOptions;
using quarrow::PageStatus;
using quarrow::Status;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckWellFormed(const PageStatus& status) {
  Check(static_cast<int>(status.status) <= static_cast<int>(Status::kUnknown));
  Check((status.status == Status::kWal) == (status.wal_frame >= 1));
  Check(!quarrow::StatusText(status).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Byte 0: the layout and options; bytes 1-2: where a companion starts.
  const int layout = data[0] % 4;
  PageMapOptions options;
  options.copy_index = (data[0] & 4) != 0;
  const std::string body(reinterpret_cast<const char*>(data) + 3, size - 3);
  const size_t split = layout == 0 ? body.size()
                                   : std::min<size_t>(body.size(), (size_t{data[1]} << 8 | data[2]) * 16);
  const std::string input = body.substr(0, split);
  const auto companion = std::make_shared<MemorySource>(body.substr(split));
  PageMapCompanions companions;
  if (layout == 1) companions.wal = companion;
  if (layout == 2) companions.database = companion;
  if (layout == 3) companions.input_named_journal = true;

  const auto source = std::make_shared<MemorySource>(input);
  PageMap map(source, companions, options);
  PageMapOptions reported_options = options;
  reported_options.embedded = EmbeddedDatabases::kReportedByCaller;
  PageMap reported(source, companions, reported_options);
  std::vector<int64_t> starts;
  quarrow::FindDatabaseStarts(0, input, starts);
  // Half the starts read pages from the caller's bytes, half from the source.
  for (size_t i = 0; i < starts.size(); ++i) {
    if (i % 2 == 0)
      reported.AddDatabaseAt(starts[i], 0, input);
    else
      reported.AddDatabaseAt(starts[i]);
  }

  quarrow::StatusCursor windowed(map);
  windowed.SetWindow(0, input);
  const int64_t end = static_cast<int64_t>(input.size());
  std::vector<PageStatus> forward;
  forward.reserve(input.size() + 64);
  for (int64_t at = 0; at < end + 64; ++at) {
    const PageStatus status = map.StatusAt(at);
    forward.push_back(status);
    CheckWellFormed(status);
    Check(windowed.StatusAt(at) == status);
    Check(reported.StatusAt(at) == status);
    if (at >= end) Check(status.status == Status::kUnknown);
  }
  // Backwards, every page is first met at its end and then searched again.
  quarrow::StatusCursor backwards(map);
  for (int64_t at = end + 63; at >= 0; --at)
    Check(backwards.StatusAt(at) == forward[static_cast<size_t>(at)]);
  // The copy test reads only what it is given.
  for (size_t at = 0; at + 1 < input.size() && at < 4096; at += 61) {
    const std::string_view rest = std::string_view(input).substr(at);
    const bool copy = map.IsCopyOfLiveCell(static_cast<int64_t>(at), rest.size(), rest);
    Check(options.copy_index || !copy);
    map.IsCopyOfLiveCell(-1, uint64_t{1} << 40, rest.substr(0, 7));
    // The overwritten-copy test reads hostile pages and cell sites: at any
    // offset, with the record cut anywhere and any size hint.
    const bool overwritten = map.IsOverwrittenCopyOfLiveCell(static_cast<int64_t>(at), rest,
                                                             rest.empty() ? 0 : uint8_t(rest[0]));
    Check(options.copy_index || !overwritten);
    map.IsOverwrittenCopyOfLiveCell(static_cast<int64_t>(at), rest.substr(0, 3), uint64_t{1} << 40);
  }
  return 0;
}
