#include "search/find_table.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "carve/record_values.h"
#include "carve/table_catalog.h"
#include "engine/file_io.h"
#include "pagemap/page_map.h"
#include "report/csv_writer.h"
#include "report/jsonl_writer.h"
#include "report/report_fields.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

constexpr const char* kMetaNames[] = {"offset", "status", "state", "recovery", "_raw"};

void AppendInteger(int64_t value, std::string& out) {
  char text[24];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void AppendReal(double value, std::string& out) {
  if (std::isnan(value)) return out.append("nan"), void();
  if (std::isinf(value)) return out.append(value < 0 ? "-inf" : "inf"), void();
  char text[32];
  out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Writes `bytes` as hex digits at `to`; returns the end.
char* PutHex(std::string_view bytes, char* to) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (char c : bytes) {
    *to++ = kDigits[static_cast<uint8_t>(c) >> 4];
    *to++ = kDigits[static_cast<uint8_t>(c) & 15];
  }
  return to;
}

void AppendHex(std::string_view bytes, std::string& out) {
  const size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  PutHex(bytes, out.data() + at);
}

// Turns the control bytes of [from, end) into spaces, eight bytes at a time
// where none is one (most texts hold none).
void BlankControlBytes(char* from, char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  while (end - from >= 8) {
    uint64_t word;
    std::memcpy(&word, from, 8);
    // A byte below 0x20 has its high bit set in (byte - 0x20) and clear in byte.
    if (((word - 0x20 * kOnes) & ~word & kHighs) == 0) {
      from += 8;
      continue;
    }
    for (int i = 0; i < 8; ++i, ++from)
      if (static_cast<uint8_t>(*from) < 0x20) *from = ' ';
  }
  for (; from != end; ++from)
    if (static_cast<uint8_t>(*from) < 0x20) *from = ' ';
}

// A value's text, as every format shows it (a tsv text has its control
// bytes turned into spaces, so that it stays one field of one line).
void AppendValueText(const RecordValue& value, bool tsv, std::string& out) {
  switch (value.kind) {
    case RecordValue::Kind::kNull:
    case RecordValue::Kind::kLost:
      return;
    case RecordValue::Kind::kInteger:
      return AppendInteger(value.integer, out);
    case RecordValue::Kind::kReal:
      return AppendReal(value.real, out);
    case RecordValue::Kind::kBlob:
      return AppendHex(value.bytes, out);
    case RecordValue::Kind::kText:
    {
      const size_t at = out.size();
      out.append(value.bytes);
      if (tsv) BlankControlBytes(out.data() + at, out.data() + out.size());
      return;
    }
  }
}

// Where a record lies and what it is, for --details and --deleted-only.
class RecordJudge {
 public:
  RecordJudge(const std::string& input_path, const TableCarver& carver, bool with_status)
      : live_(carver.live_rows()), database_(carver.image().valid()) {
    if (!with_status) return;
    try {
      map_ = std::make_unique<PageMap>(input_path);
    } catch (const Error&) {
      map_.reset();  // no statuses: every record "unknown"
    }
  }

  PageStatus StatusAt(int64_t offset) {
    return map_ ? map_->StatusAt(offset) : PageStatus{};
  }

  RecordState StateOf(const CatalogTable& table, const CarvedRecord& record) const {
    if (!table.target.live) {
      // A dropped table's rows are deleted data, whatever their rowid.
      return record.rowid && database_ ? RecordState::kDeleted : RecordState::kUnknown;
    }
    return live_.StateOf(table.target.table.name, record.rowid, record.record);
  }

  // --deleted-only: deleted records, and unknown ones that equal no live row.
  bool Kept(const CatalogTable& table, const CarvedRecord& record, RecordState state) const {
    if (state == RecordState::kDeleted) return true;
    if (state != RecordState::kUnknown) return false;
    return !live_.EqualsLiveBody(table.target.table.name, record.record, record.header_size);
  }

 private:
  const LiveRows& live_;
  bool database_;
  std::unique_ptr<PageMap> map_;
};

// A table's report lines but for their --details fields and their end:
// what needs only the record, so that the scan's workers make it. Each
// worker has its own (scratch space); they share the names.
class LineRenderer {
 public:
  LineRenderer(const FitTable& table, const RunOptions& options,
               std::shared_ptr<const std::vector<std::string>> json_keys)
      : table_(&table), options_(&options), json_keys_(std::move(json_keys)) {}

  // Appends the line of `record` up to its --details fields to `out`.
  void Render(const CarvedRecord& record, std::string& out) {
    DecodeRecordInto(record, *table_, values_);
    // Made in room kept from line to line, then copied at its size: the line
    // waits in memory until it is written.
    line_.clear();
    switch (options_->format) {
      case ReportFormat::kTsv: Tsv(record, line_); break;
      case ReportFormat::kCsv: Csv(record, line_); break;
      case ReportFormat::kJsonl: Jsonl(record, line_); break;
    }
    out.append(line_);
  }

 private:
  // The three numbers in front of the values; the rowid empty when destroyed.
  template <typename FieldFn>
  void Numbers(const CarvedRecord& record, FieldFn field) {
    text_.clear();
    AppendInteger(static_cast<int64_t>(record.payload_size), text_);
    field(text_, false);
    text_.clear();
    if (record.rowid) AppendInteger(*record.rowid, text_);
    field(text_, !record.rowid);
    text_.clear();
    AppendInteger(static_cast<int64_t>(record.header_size), text_);
    field(text_, false);
  }

  // Written through a pointer into room made for the longest line the
  // values can give: tsv is the report most lines are written in.
  void Tsv(const CarvedRecord& record, std::string& line) {
    constexpr size_t kNumberRoom = 32;  // an integer's or a double's text, and its TAB
    size_t most = 3 * kNumberRoom;
    for (const RecordValue& value : values_)
      most += value.kind == RecordValue::Kind::kText   ? value.bytes.size() + 1
              : value.kind == RecordValue::Kind::kBlob ? 2 * value.bytes.size() + 1
                                                       : kNumberRoom;
    const size_t at = line.size();
    line.resize(at + most);
    char* to = line.data() + at;
    auto integer = [&](int64_t number) { to = std::to_chars(to, to + kNumberRoom, number).ptr; };
    integer(static_cast<int64_t>(record.payload_size));
    *to++ = '\t';
    if (record.rowid) integer(*record.rowid);
    *to++ = '\t';
    integer(static_cast<int64_t>(record.header_size));
    *to++ = '\t';
    for (const RecordValue& value : values_) {
      switch (value.kind) {
        case RecordValue::Kind::kNull:
        case RecordValue::Kind::kLost:
          break;
        case RecordValue::Kind::kInteger:
          integer(value.integer);
          break;
        case RecordValue::Kind::kReal:
          text_.clear();
          AppendReal(value.real, text_);
          to = std::copy(text_.begin(), text_.end(), to);
          break;
        case RecordValue::Kind::kText:
          std::memcpy(to, value.bytes.data(), value.bytes.size());
          BlankControlBytes(to, to + value.bytes.size());
          to += value.bytes.size();
          break;
        case RecordValue::Kind::kBlob:
          to = PutHex(value.bytes, to);
          break;
      }
      *to++ = '\t';
    }
    line.resize(static_cast<size_t>(to - line.data()));
  }

  void Csv(const CarvedRecord& record, std::string& line) {
    bool first = true;
    auto field = [&](std::string_view text) {
      if (!first) line += ',';
      first = false;
      AppendCsvField(text, line);
    };
    Numbers(record, [&](std::string_view text, bool) { field(text); });
    for (const RecordValue& value : values_) {
      text_.clear();
      AppendValueText(value, false, text_);
      field(text_);
    }
  }

  void Jsonl(const CarvedRecord& record, std::string& line) {
    line += "{\"offset\":";
    AppendInteger(record.offset, line);
    size_t index = 0;
    auto key = [&] { line += (*json_keys_)[index++]; };
    Numbers(record, [&](std::string_view text, bool empty) {
      key();
      line.append(empty ? std::string_view("null") : text);
    });
    for (const RecordValue& value : values_) {
      key();
      switch (value.kind) {
        case RecordValue::Kind::kNull:
        case RecordValue::Kind::kLost:
          line += "null";
          break;
        case RecordValue::Kind::kInteger:
          AppendInteger(value.integer, line);
          break;
        case RecordValue::Kind::kReal:
          if (std::isfinite(value.real)) {
            AppendReal(value.real, line);
          } else {
            text_.clear();
            AppendReal(value.real, text_);
            AppendJsonString(text_, line);
          }
          break;
        case RecordValue::Kind::kText:
          AppendJsonString(value.bytes, line);
          break;
        case RecordValue::Kind::kBlob:
          text_.clear();
          AppendHex(value.bytes, text_);
          AppendJsonString(text_, line);
          break;
      }
    }
  }

  const FitTable* table_;
  const RunOptions* options_;
  std::shared_ptr<const std::vector<std::string>> json_keys_;  // ',' "name" ':' per column
  std::vector<RecordValue> values_;
  std::string line_, text_;
};

// One table's report, in the format asked for: the lines its renderers made,
// each finished with the --details fields and the line's end.
class TableReport {
 public:
  TableReport(const CatalogTable& table, const std::string& path, const RunOptions& options)
      : table_(table), options_(options), file_(path) {
    std::vector<ReportColumn> columns;
    for (const char* name : {"payload_length", "rowid", "header_length"})
      columns.push_back({name, true});
    for (const FitColumn& column : table.target.table.columns)
      columns.push_back({column.name, column.affinity == Affinity::kInteger});
    std::vector<std::string> reserved(std::begin(kMetaNames), std::end(kMetaNames));
    names_ = UniqueColumnNames(std::move(columns), reserved);
    // A report writes its keys on every line: encoded once.
    auto keys = std::make_shared<std::vector<std::string>>();
    for (const ReportColumn& column : names_) {
      std::string key = ",";
      AppendJsonString(column.name, key);
      keys->push_back(key + ':');
    }
    json_keys_ = std::move(keys);
    std::string head;
    switch (options.format) {
      case ReportFormat::kTsv:
        head = "\xEF\xBB\xBFTABLE\r\n";
        break;
      case ReportFormat::kCsv: {
        if (options.bom) head += kUtf8ByteOrderMark;
        std::vector<ReportColumn> header = names_;
        if (options.details)
          for (const char* name : {"offset", "status", "state", "recovery"})
            header.push_back({name, false});
        AppendCsvHeader(header, head);
        break;
      }
      case ReportFormat::kJsonl:
        break;
    }
    file_.Write(head);
  }

  LineRenderer MakeRenderer() const {
    return LineRenderer(table_.target.table, options_, json_keys_);
  }

  // Writes the line of `record`, whose `text` a renderer made.
  void Add(const CarvedRecord& record, const PageStatus& status) {
    file_.Write(record.text);
    line_.clear();
    switch (options_.format) {
      case ReportFormat::kTsv:
        if (options_.details) {
          AppendInteger(record.offset, line_);
          line_ += '\t';
          AppendStatusText(status, line_);
          line_.append("\t").append(RecordStateText(record.state)).append("\t");
          line_.append(RecoveryText(record.recovery)).append("\t");
        }
        line_ += "\r\n";
        break;
      case ReportFormat::kCsv:
        if (options_.details) {
          text_.clear();
          AppendInteger(record.offset, text_);
          const std::string status_text = StatusText(status);
          for (std::string_view field : {std::string_view(text_), std::string_view(status_text),
                                         RecordStateText(record.state),
                                         RecoveryText(record.recovery)}) {
            line_ += ',';
            AppendCsvField(field, line_);
          }
        }
        line_ += "\r\n";
        break;
      case ReportFormat::kJsonl:
        if (options_.details) {
          line_ += ",\"status\":\"";
          AppendStatusText(status, line_);
          line_.append("\",\"state\":\"").append(RecordStateText(record.state));
          line_.append("\",\"recovery\":\"").append(RecoveryText(record.recovery)).append("\"");
        }
        line_ += "}\n";
        break;
    }
    file_.Write(line_);
    ++records_;
  }

  void Close() { file_.Close(); }
  int64_t records() const { return records_; }

 private:
  const CatalogTable& table_;
  const RunOptions& options_;
  OutputFile file_;
  std::vector<ReportColumn> names_;
  std::shared_ptr<const std::vector<std::string>> json_keys_;
  std::string line_, text_;
  int64_t records_ = 0;
};

// Counts by status, for tables.tsv.
using StatusCounts = std::map<std::string, int64_t>;

// Carves `table` into `report`. Returns false when cancelled.
bool CarveInto(TableCarver& carver, const std::vector<CatalogTable>& catalog,
               const CatalogTable& table, RecordJudge& judge, TableReport& report,
               const RunOptions& options, ProgressSink* progress, StatusCounts* counts) {
  std::vector<CarveTarget> others;
  for (const CatalogTable& other : catalog)
    if (other.target.table.name != table.target.table.name) others.push_back(other.target);
  const bool need_status = options.details || counts;
  // What needs only the record is done on the scan's workers; the page
  // statuses, looked up in offset order, here.
  const PreparerFactory prepare = [&] {
    return RecordPreparer([&, renderer = report.MakeRenderer()](CarvedRecord& record) mutable {
      // A --range shard: records are judged alone.
      if (record.offset < options.range_first || record.offset >= options.range_end) {
        record.wanted = false;
        return;
      }
      record.state = judge.StateOf(table, record);
      record.wanted = !options.deleted_only || judge.Kept(table, record, record.state);
      if (record.wanted) renderer.Render(record, record.text);
    });
  };
  return carver.Carve(table.target, others, [&](const CarvedRecord& record) {
    if (!record.wanted) return;
    const PageStatus status = need_status ? judge.StatusAt(record.offset) : PageStatus{};
    if (counts) ++(*counts)[StatusText(status)];
    report.Add(record, status);
  }, progress, options.range_first, options.range_end, prepare);
}

std::string Extension(ReportFormat format) {
  switch (format) {
    case ReportFormat::kTsv: return ".tsv";
    case ReportFormat::kCsv: return ".csv";
    case ReportFormat::kJsonl: return ".jsonl";
  }
  return ".tsv";
}

}  // namespace

std::string SafeFileName(const std::string& name) {
  std::string safe;
  for (char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '-' || c == '_';
    safe += keep ? c : '_';
  }
  if (safe.size() > 200) safe.resize(200);
  if (safe.empty()) return "_";
  static constexpr const char* kDevices[] = {"con", "prn", "aux", "nul"};
  const std::string folded = AsciiLower(safe);
  bool device = false;
  for (const char* d : kDevices) device |= folded == d;
  if (folded.size() == 4 && (folded.rfind("com", 0) == 0 || folded.rfind("lpt", 0) == 0) &&
      folded[3] >= '0' && folded[3] <= '9')
    device = true;
  return device ? "_" + safe : safe;
}

std::vector<TableListing> ListTables(const std::string& input_path,
                                     const std::string& schema_from, ProgressSink* progress) {
  TableCarver carver(input_path, 0);
  std::vector<TableListing> listings;
  for (const CatalogTable& table : ReadCatalog(carver, input_path, schema_from, progress))
    listings.push_back({table.target.table.name, table.origin, DdlLinesOf(table.definition)});
  return listings;
}

int64_t FindTableCommand(DdlEditor& editor, const TableListing& table,
                         const std::string& input_path, const std::string& output_path,
                         OutputView& view, ProgressSink* progress, const RunOptions& options) {
  ReplaceEditorLines(editor, table.ddl_lines);
  const int64_t records = FindTable(input_path, table.name, output_path, progress, options);
  view.LoadFile(output_path);
  return records;
}

int64_t FindTable(const std::string& input_path, const std::string& table_name,
                  const std::string& output_path, ProgressSink* progress,
                  const RunOptions& options) {
  RequireOutputPath(output_path);
  TableCarver carver(input_path, options.threads);
  const std::vector<CatalogTable> catalog =
      ReadCatalog(carver, input_path, options.schema_from, progress);
  const CatalogTable* table = FindCatalogTable(catalog, table_name);
  if (!table) {
    const std::string& source = options.schema_from.empty() ? input_path : options.schema_from;
    throw Error("No definition of table \"" + table_name + "\" was found in \"" +
                FullPath(source) + "\"; give its columns with --ddl FILE");
  }
  RefuseOverwritingInput(input_path, output_path);
  CatalogTable chosen = *table;
  if (chosen.target.root_page == 0 && !options.schema_from.empty()) {
    // A definition from another file: the input's own table of that name
    // tells which pages are its and which rows are live.
    for (const SchemaRow& row : carver.image().Schema()) {
      if (row.type == "table" && FindCatalogTable({chosen}, row.name)) {
        chosen.target.root_page = row.root_page;
        chosen.target.live = true;
      }
    }
  }
  RecordJudge judge(input_path, carver, options.details);
  TableReport report(chosen, output_path, options);
  const bool finished =
      CarveInto(carver, catalog, chosen, judge, report, options, progress, nullptr);
  report.Close();
  if (!finished) {
    throw Error("Find data was cancelled: the report \"" + FullPath(output_path) +
                "\" holds the " + std::to_string(report.records()) +
                " records found before that, and is incomplete");
  }
  return report.records();
}

int64_t FindAllTables(const std::string& input_path, const std::string& output_dir,
                      ProgressSink* progress, const RunOptions& options) {
  RequireOutputPath(output_dir);
  TableCarver carver(input_path, options.threads);
  const std::vector<CatalogTable> catalog =
      ReadCatalog(carver, input_path, options.schema_from, progress);
  std::error_code error;
  std::filesystem::create_directories(output_dir, error);
  if (error || !std::filesystem::is_directory(output_dir))
    throw Error("Cannot create folder \"" + FullPath(output_dir) + "\". " + error.message());
  RecordJudge judge(input_path, carver, true);
  std::string summary = "TABLE\tORIGIN\tCOLUMNS\tRECORDS\tBY STATUS\r\n";
  std::set<std::string> taken = {"tables.tsv"};
  int64_t total = 0;
  for (const CatalogTable& table : catalog) {
    std::string name = SafeFileName(table.target.table.name) + Extension(options.format);
    for (int n = 2; taken.count(AsciiLower(name)); ++n)
      name = SafeFileName(table.target.table.name) + "-" + std::to_string(n) +
             Extension(options.format);
    taken.insert(AsciiLower(name));
    const std::string path = (std::filesystem::path(output_dir) / name).string();
    TableReport report(table, path, options);
    StatusCounts counts;
    const bool finished =
        CarveInto(carver, catalog, table, judge, report, options, progress, &counts);
    report.Close();
    total += report.records();
    summary += table.target.table.name + "\t" + table.origin + "\t" +
               std::to_string(table.target.table.columns.size()) + "\t" +
               std::to_string(report.records()) + "\t";
    bool first = true;
    for (const auto& [status, count] : counts) {
      summary += (first ? "" : " ") + status + "=" + std::to_string(count);
      first = false;
    }
    summary += "\r\n";
    if (!finished) {
      throw Error("Find data was cancelled: the folder \"" + FullPath(output_dir) +
                  "\" holds the " + std::to_string(total) +
                  " records found before that, and is incomplete");
    }
  }
  OutputFile tables((std::filesystem::path(output_dir) / "tables.tsv").string());
  tables.Write(summary);
  tables.Close();
  return total;
}

}  // namespace quarrow
