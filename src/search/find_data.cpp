#include "search/find_data.h"

#include <algorithm>
#include <array>
#include <optional>
#include <thread>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/file_io.h"
#include "engine/header.h"
#include "engine/scan.h"
#include "engine/tsv_line.h"
#include "pagemap/match_status.h"
#include "pagemap/worker_status.h"
#include "search/csv_line_writer.h"
#include "search/details_lines.h"
#include "search/jsonl_line_writer.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

// A details line's status and end, looked up on the scan's worker: each
// worker's copy has its own cursor and endings.
struct WorkerEnding {
  WorkerStatus status;
  DetailsEndings endings;

  std::string_view Of(const Match& match) { return endings.For(status.At(match)); }
};

// One tsv report line, as specified, its values rendered straight into it
// (the scan renders none); with details, its head (up to the status) with the
// record's offset in the input, the buffer starting at `start_offset`, and
// with `ending` its status and end too, in one append. Runs on the scan's
// workers, each with its own writer.
MatchFormatter TsvFormatter(const ColumnList& columns, bool details, int64_t start_offset,
                            const std::optional<WorkerEnding>& ending) {
  if (ending) {
    return [writer = TsvLineWriter(columns), start_offset, ending = *ending](
               const Match& match, const ColumnList& found, std::string& line) mutable {
      writer.AppendHead(match, found, start_offset + match.position, line, ending.Of(match));
      return true;
    };
  }
  if (details) {
    return [writer = TsvLineWriter(columns), start_offset](
               const Match& match, const ColumnList& found, std::string& line) mutable {
      writer.AppendHead(match, found, start_offset + match.position, line);
      return true;
    };
  }
  return [writer = TsvLineWriter(columns)](const Match& match, const ColumnList& found,
                                           std::string& line) mutable {
    writer.Append(match, found, line);
    return true;
  };
}

// The csv and jsonl columns: the three numbers, then the DDL's columns.
std::vector<ReportColumn> ReportColumns(const ColumnList& columns) {
  std::vector<ReportColumn> report;
  for (const char* name : kFindNumberNames) report.push_back({name, true});
  for (const TERM& column : columns) report.push_back({column.name, column.tp == kInteger});
  // "offset", "status", "state", "recovery" and "_raw" are the report's own keys.
  return UniqueColumnNames(std::move(report), {"offset", "status", "state", "recovery", "_raw"});
}

// With details or deleted-only, the formatter puts the payload length, the
// rowid (the cell prefix's first two numbers) and the size the serial types
// give on a line of their own in front of the record, for the handler to read
// and strip.
MatchFormatter WithPrefixNumbers(MatchFormatter format) {
  return [format = std::move(format)](const Match& match, const ColumnList& columns,
                                      std::string& out) {
    std::string_view prefix = match.prefix;
    size_t second_tab = prefix.find('\t', prefix.find('\t') + 1);
    out.append(prefix.substr(0, second_tab + 1));
    AppendDecimal(RecordSizeOf(columns), out);
    out += '\n';
    return format(match, columns, out);
  };
}

// With details, a record's line carries its offset and status, as each format
// does: two more tsv fields, two more csv fields, a jsonl "status" (its
// "offset" is always there). The workers write the line up to the status
// (DetailsHead), the delivery the status and what follows it
// (DetailsEnding): only the status needs the map.
void AppendDetailsHead(ReportFormat format, int64_t offset, std::string& line) {
  line.resize(line.size() - 2);  // before the tsv and csv CR LF, the jsonl "}" and LF
  switch (format) {
    case ReportFormat::kTsv:
      AppendDecimal(offset, line);
      line += '\t';
      return;
    case ReportFormat::kCsv:
      line += ',';
      AppendDecimal(offset, line);
      line += ',';
      return;
    case ReportFormat::kJsonl:
      line += ",\"status\":\"";
      return;
  }
}

// A details line's status and what follows it: the STATE (a column list
// names no table, so a record is live where the page map says it is, else
// unknown), the RECOVERY (records are read as they lie: intact), the end.
std::string DetailsEnding(ReportFormat format, const PageStatus& status) {
  std::string text;
  AppendStatusText(status, text);
  const std::string_view state = status.status == Status::kLive ? "live" : "unknown";
  switch (format) {
    case ReportFormat::kTsv:
      return text.append("\t").append(state).append("\tintact\t\r\n");
    case ReportFormat::kCsv:
      return text.append(",").append(state).append(",intact\r\n");
    case ReportFormat::kJsonl:
      return text.append("\",\"state\":\"").append(state).append("\",\"recovery\":\"intact\"}\n");
  }
  return text;
}

MatchFormatter WithDetailsHead(MatchFormatter format, ReportFormat report_format,
                               int64_t start_offset) {
  return [format = std::move(format), report_format, start_offset](
             const Match& match, const ColumnList& columns, std::string& out) {
    if (!format(match, columns, out)) return false;
    AppendDetailsHead(report_format, start_offset + match.position, out);
    return true;
  };
}

// A details line whole, made on the scan's worker: its head, then its status
// (looked up there) and what follows it.
MatchFormatter WithWorkerEnding(MatchFormatter head, WorkerEnding ending) {
  return [head = std::move(head), ending = std::move(ending)](
             const Match& match, const ColumnList& columns, std::string& out) mutable {
    if (!head(match, columns, out)) return false;
    out += ending.Of(match);
    return true;
  };
}

// The formatter of `options.format` (with details, a line's head: see
// AppendDetailsHead, and with `ending` the whole line) for a scan whose buffer
// starts at `start_offset` in the input. Runs on the scan's workers: it only
// reads `report_columns`, and each worker builds its lines in its own buffer.
MatchFormatter ReportFormatter(const RunOptions& options, const ColumnList& columns,
                               const JsonlColumns& report_columns, int64_t start_offset,
                               const std::optional<WorkerEnding>& ending) {
  MatchFormatter format;
  switch (options.format) {
    case ReportFormat::kTsv:
      // Writes its details head (and ending) itself, in the same pass.
      return TsvFormatter(columns, options.details, start_offset, ending);
    case ReportFormat::kCsv:
      format = [writer = CsvLineWriter(columns)](const Match& match, const ColumnList& found,
                                                 std::string& line) mutable {
        writer.Append(match, found, line);
        return true;
      };
      break;
    case ReportFormat::kJsonl:
      format = [writer = JsonlLineWriter(columns, report_columns), start_offset](
                   const Match& match, const ColumnList& found, std::string& line) mutable {
        writer.Append(match, found, start_offset + match.position, line);
        return true;
      };
      break;
  }
  if (!options.details) return format;
  format = WithDetailsHead(std::move(format), options.format, start_offset);
  return ending ? WithWorkerEnding(std::move(format), *ending) : format;
}

// What the report holds before its first record.
std::string ReportHead(const RunOptions& options,
                       const std::vector<ReportColumn>& report_columns) {
  std::string head;
  switch (options.format) {
    case ReportFormat::kTsv:
      return "\xEF\xBB\xBFTABLE\r\n";
    case ReportFormat::kCsv:
      if (options.bom) head += kUtf8ByteOrderMark;
      AppendCsvHeader(report_columns, head);
      return head;
    case ReportFormat::kJsonl:
      return head;
  }
  return head;
}

// True iff the column list matches the input densely enough that its
// statuses are better looked up on the scan's workers, after a pass that maps
// every database (about as much as a tenth of a second a GiB here), than one
// by one on the thread that writes the report (some 30 ns a match more): over
// one match in 256 bytes, judged on a sample at the start of the candidates.
bool MatchesAreDense(Buffer& buffer, const ColumnList& columns, const ScanParams& params,
                     const RunOptions& options, const JsonlColumns& report_columns) {
  constexpr int64_t kSample = int64_t{4} << 20, kBytesPerMatch = 256;
  const int64_t first = buffer.candidates_first(), end = buffer.candidates_end();
  const int64_t sample_end = std::min({end, buffer.size(), first + kSample});
  if (sample_end - first < kSample / 4) return false;  // a small input: nothing to win
  ScanParams sample = params;
  sample.threads = 1;
  sample.progress = nullptr;
  RunOptions plain = options;
  plain.details = false;
  int64_t matches = 0;
  buffer.LimitCandidates(first, sample_end);
  ScanFormattedPages(buffer, columns, sample,
                     ReportFormatter(plain, columns, report_columns, buffer.start_offset(), {}),
                     [&](std::string_view, int64_t count) { matches += count; });
  buffer.LimitCandidates(first, end);
  return matches * kBytesPerMatch > sample_end - first;
}

}  // namespace

int64_t FindData(const std::vector<std::string>& ddl_lines,
                 const std::string& input_path, const std::string& output_path,
                 ProgressSink* progress, const RunOptions& options) {
  RequireOutputPath(output_path);
  ColumnList columns = LoadColumns(ddl_lines);
  Buffer buffer = LoadBuffer(input_path, [] { return BufferShape{}; });
  buffer.LimitCandidatesToInput(options.range_first, options.range_end);
  RefuseOverwritingInput(input_path, output_path);

  const JsonlColumns report_columns(ReportColumns(columns));
  OutputFile report(output_path);
  std::vector<ReportColumn> head_columns = report_columns.columns();
  if (options.details) {
    head_columns.push_back({"offset", true});
    head_columns.push_back({"status", false});
    head_columns.push_back({"state", false});
    head_columns.push_back({"recovery", false});
  }
  report.Write(ReportHead(options, head_columns));
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, progress);
  params.threads = options.threads;
  // Every format's writer renders the values itself, in place.
  params.render_nothing = true;
  int64_t records = 0;
  MatchStatus status(input_path, buffer, options);
  // With details alone, the workers may look their matches' statuses up and
  // finish the lines, which then go out a page at a time as plain ones do:
  // per match, a call on the delivering thread and two pieces of a gathered
  // write cost more than the lookup. The map must then learn every database
  // first, which maps the whole input once more: that pays only where
  // matches are dense, as a sample of the input shows.
  const bool status_on_workers = status.enabled() && options.details && !options.deleted_only &&
                                 MatchesAreDense(buffer, columns, params, options, report_columns);
  if (status_on_workers) {
    const int64_t candidates = std::max<int64_t>(buffer.size() - 1, 0);
    const int threads = options.threads > 0
                            ? options.threads
                            : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    status.MapDatabasesBefore(std::clamp<int64_t>(buffer.candidates_end(), 0, candidates),
                              std::min(threads, 16));
  } else {
    status.Attach(params);
  }
  // Every record is judged during the one scan: databases past a range's
  // pages would be found for nothing.
  params.database_starts_past_range = false;
  auto ending = [format = options.format](const PageStatus& status) {
    return DetailsEnding(format, status);
  };
  std::optional<WorkerEnding> worker_ending;
  if (status_on_workers)
    worker_ending.emplace(WorkerEnding{WorkerStatus(*status.map(), buffer.start_offset()),
                                       DetailsEndings(ending)});
  MatchFormatter formatter =
      ReportFormatter(options, columns, report_columns, buffer.start_offset(), worker_ending);
  // Only the copy test needs the numbers in front of each record.
  if (options.deleted_only) formatter = WithPrefixNumbers(std::move(formatter));
  DetailsLines details_lines(report, ending);
  // A page's details lines point into its formatted bytes until written.
  if (options.details && !status_on_workers)
    params.page_done = [&details_lines] { details_lines.EndPage(); };
  // Plain reports take each page's lines in one write, as they lie: not
  // copied into the report's buffer first (a jsonl page is several times the
  // tsv one).
  bool finished = !status.enabled() || status_on_workers
    ? ScanFormattedPages(buffer, columns, params, formatter,
                         [&](std::string_view text, int64_t count) {
                           report.Hold(text);
                           report.WriteHeld();
                           records += count;
                         })
    : ScanFormatted(
      buffer, columns, params, formatter, [&](int64_t position, std::string_view line) {
        if (status.enabled()) {
          const PageStatus where = status.At(position);
          if (options.deleted_only) {
            const size_t end = line.find('\n');
            const std::string_view numbers = line.substr(0, end);
            line.remove_prefix(end + 1);
            const size_t tab = numbers.find('\t'), tab2 = numbers.find('\t', tab + 1);
            uint64_t record_size = 0;
            ParsePrefixNumber(numbers.substr(tab2 + 1), record_size);
            if (status.IsLiveData(position, where, numbers.substr(tab + 1, tab2 - tab - 1),
                                  numbers.substr(0, tab), record_size))
              return;
          }
          if (options.details) {
            details_lines.Append(line, where);
            ++records;
            return;
          }
        }
        report.Write(line.data(), line.size());
        ++records;
      });
  details_lines.EndPage();
  report.Close();
  if (!finished) {
    throw Error("Find data was cancelled: the report \"" + FullPath(output_path) +
                "\" holds the " + std::to_string(records) +
                " records found before that, and is incomplete");
  }
  return records;
}

int64_t FindDataCommand(const DdlEditor& editor, const std::string& input_path,
                        const std::string& output_path, OutputView& view,
                        ProgressSink* progress, const RunOptions& options) {
  int64_t records = FindData(EditorLines(editor), input_path, output_path, progress, options);
  view.LoadFile(output_path);
  return records;
}

}  // namespace quarrow
