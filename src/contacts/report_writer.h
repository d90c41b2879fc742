// Writes the contacts report one row at a time, so that rows can stream from
// the scan instead of waiting in a table: the header row first, then each row
// as its 46 cells. tsv is the specified report (a byte-order mark, every cell
// followed by a TAB, CR LF); with details each row adds its record's offset,
// status and state and how its values were linked as four more cells,
// "OFFSET", "STATUS", "STATE" and "LINKS". csv and jsonl are
// written as ContactsFormattedReport lays them out. Not thread-safe; one per
// report.
#ifndef QUARROW_CONTACTS_REPORT_WRITER_H_
#define QUARROW_CONTACTS_REPORT_WRITER_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contacts/contacts_report.h"
#include "engine/file_io.h"
#include "engine/run_options.h"

namespace quarrow {

class ContactsReportWriter {
 public:
  // Opens `output_path` (truncated in place; "-" is standard output) and
  // writes the header row of `names` (the report's 46 column names). Throws
  // Error when the file cannot be created or written.
  ContactsReportWriter(const std::string& output_path, const RunOptions& options,
                       const std::vector<std::string>& names);

  // One row: `cells` are its 46 cells; `offset`, `status`, `state` and
  // `links` are written with details only. Throws Error when the file cannot
  // be written.
  void Row(std::span<const std::string_view> cells, int64_t offset, std::string_view status,
           std::string_view state, std::string_view links = {});

  // The same for a row given as its first cells joined by TABs (no TAB at the
  // end) and its last cells apart, as person rows and label cells come.
  void Row(std::string_view joined_cells, std::span<const std::string_view> more_cells,
           int64_t offset, std::string_view status, std::string_view state,
           std::string_view links = {});

  // A row whose whole line is made already (on a scan worker, or by the
  // formatted report). Throws as Row does.
  void FormattedRow(std::string_view line) {
    ++rows_;
    file_.Write(line.data(), line.size());
  }

  // The same for a line that lies in the scan page being delivered: it is
  // held, not copied (a jsonl report is several times the input's size: a
  // copy of it is a cost of its own), and goes out with the next write or at
  // EndPage, which must come before the page's bytes go.
  void PageRow(std::string_view line) {
    ++rows_;
    file_.Hold(line);
  }
  void EndPage() { file_.WriteHeld(); }

  int64_t rows() const { return rows_; }
  const RunOptions& options() const { return options_; }
  // The report's 46 column names.
  const std::vector<std::string>& names() const { return names_; }
  // Flushes and closes; throws as Row does. Idempotent.
  void Close() { file_.Close(); }

 private:
  void AppendCell(std::string_view cell);
  // The details' four cells when asked for, CR LF, and the write.
  void EndTsvRow(int64_t offset, std::string_view status, std::string_view state,
                 std::string_view links);

  OutputFile file_;
  RunOptions options_;
  std::vector<std::string> names_;
  ContactsFormattedReport formatted_;
  std::string line_;
  int64_t rows_ = 0;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_REPORT_WRITER_H_
