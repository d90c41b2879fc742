#include "carve_measure.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <stdexcept>

#include "carve_record.h"

namespace quarrow::scenario {
namespace {

// The report's own keys; a column of the same name gets "_2".
constexpr std::string_view kMetaKeys[] = {"offset", "payload_length", "rowid", "header_length",
                                          "status", "state",          "recovery", "_raw"};

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

bool IsBlank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

[[noreturn]] void LineError(const std::string& what, size_t line, const std::string& reason) {
  throw std::runtime_error(what + " line " + std::to_string(line) + ": " + reason);
}

std::string TextMember(const JsonValue& object, std::string_view key) {
  const JsonValue* value = object.Find(key);
  return value != nullptr && value->kind == JsonValue::Kind::kString ? value->text : "";
}

std::optional<double> AsDouble(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The tables as the header lists them; for a truth without that list, from
// the rows (their value keys, no INTEGER PRIMARY KEY known).
void ReadTables(const JsonValue& header, Truth& truth) {
  const JsonValue* tables = header.Find("tables");
  if (tables == nullptr) return;
  for (const JsonValue& entry : tables->items) {
    TruthTable table;
    table.name = TextMember(entry, "name");
    if (const JsonValue* columns = entry.Find("columns")) {
      for (const JsonValue& column : columns->items) table.columns.push_back(column.text);
    }
    const std::string ipk = TextMember(entry, "ipk");
    for (size_t i = 0; i < table.columns.size(); ++i) {
      if (!ipk.empty() && table.columns[i] == ipk) table.ipk_column = static_cast<int>(i);
    }
    const JsonValue* dropped = entry.Find("dropped");
    table.dropped = dropped != nullptr && dropped->boolean;
    truth.tables.push_back(std::move(table));
  }
}

TruthRow ReadRow(const JsonValue& object, Truth& truth, size_t line) {
  TruthRow row;
  row.table = TextMember(object, "table");
  const JsonValue* rowid = object.Find("rowid");
  const JsonValue* values = object.Find("values");
  if (row.table.empty() || rowid == nullptr || !JsonInteger(*rowid) || values == nullptr ||
      values->kind != JsonValue::Kind::kObject) {
    LineError("truth", line, "a row needs \"table\", \"rowid\" and \"values\"");
  }
  row.rowid = *JsonInteger(*rowid);
  row.fate = TextMember(object, "fate");
  const JsonValue* overflow = object.Find("overflow");
  row.overflow = overflow != nullptr && overflow->boolean;
  row.record = BytesFromHex(TextMember(object, "record")).value_or("");
  if (truth.FindTable(row.table) == nullptr) {
    TruthTable table;
    table.name = row.table;
    for (const auto& member : values->members) table.columns.push_back(member.first);
    truth.tables.push_back(std::move(table));
  }
  for (const std::string& column : truth.FindTable(row.table)->columns) {
    const JsonValue* value = values->Find(column);
    row.values.push_back(value != nullptr ? *value : JsonValue());
  }
  return row;
}

// The report value of `column`: under its own name, or with the report's
// suffix when a meta key has that name; null when absent.
const JsonValue& ReportValue(const ReportRow& row, const std::string& column) {
  static const JsonValue kNull;
  const bool clashes = std::find(std::begin(kMetaKeys), std::end(kMetaKeys), column) !=
                       std::end(kMetaKeys);
  const JsonValue* value = row.object.Find(clashes ? column + "_2" : column);
  return value != nullptr ? *value : kNull;
}

bool Found(std::string_view needle, const std::vector<std::string>& files) {
  if (needle.empty()) return true;
  const std::boyer_moore_horspool_searcher searcher(needle.begin(), needle.end());
  for (const std::string& file : files) {
    if (std::search(file.begin(), file.end(), searcher) != file.end()) return true;
  }
  return false;
}

std::string Percent(const Score& score) {
  if (score.of == 0) return "-";
  const int64_t tenths = score.count * 1000 / score.of;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

// At least `percent` of score.of (met when there is nothing to count).
bool AtLeast(const Score& score, int percent) {
  return score.of == 0 || score.count * 100 >= score.of * percent;
}

bool FalseRowsMet(const Score& score) { return score.count * 100 < score.of * 2 || score.count == 0; }

}  // namespace

const TruthTable* Truth::FindTable(std::string_view name) const {
  for (const TruthTable& table : tables) {
    if (table.name == name) return &table;
  }
  return nullptr;
}

Truth ParseTruth(std::string_view text) {
  Truth truth;
  bool header_seen = false;
  size_t number = 0;
  for (const std::string_view line : Lines(text)) {
    ++number;
    if (IsBlank(line)) continue;
    JsonValue object;
    try {
      object = ParseJson(line);
    } catch (const std::exception& e) {
      LineError("truth", number, e.what());
    }
    if (object.kind != JsonValue::Kind::kObject) LineError("truth", number, "not a JSON object");
    if (!header_seen) {
      if (object.Find("family") == nullptr) LineError("truth", number, "no header line");
      header_seen = true;
      truth.family = TextMember(object, "family");
      truth.journal = TextMember(object, "journal");
      const JsonValue* page_size = object.Find("page_size");
      truth.page_size = page_size != nullptr ? static_cast<int>(JsonInteger(*page_size).value_or(0)) : 0;
      ReadTables(object, truth);
      continue;
    }
    truth.rows.push_back(ReadRow(object, truth, number));
  }
  if (!header_seen) throw std::runtime_error("truth: empty");
  return truth;
}

std::vector<ReportRow> ParseReport(std::string_view text) {
  std::vector<ReportRow> rows;
  size_t number = 0;
  for (const std::string_view line : Lines(text)) {
    ++number;
    if (IsBlank(line)) continue;
    ReportRow row;
    row.line = std::string(line);
    try {
      row.object = ParseJson(line);
    } catch (const std::exception& e) {
      LineError("report", number, e.what());
    }
    if (row.object.kind != JsonValue::Kind::kObject) LineError("report", number, "not a JSON object");
    if (const JsonValue* rowid = row.object.Find("rowid")) row.rowid = JsonInteger(*rowid);
    row.state = TextMember(row.object, "state");
    row.recovery = TextMember(row.object, "recovery");
    rows.push_back(std::move(row));
  }
  return rows;
}

bool ValuesMatch(const JsonValue& report, const JsonValue& truth) {
  if (report.kind != truth.kind) return false;
  switch (report.kind) {
    case JsonValue::Kind::kNull:
      return true;
    case JsonValue::Kind::kString:
      return report.text == truth.text;
    case JsonValue::Kind::kNumber: {
      const auto report_integer = JsonInteger(report);
      const auto truth_integer = JsonInteger(truth);
      if (report_integer && truth_integer) return *report_integer == *truth_integer;
      const auto report_real = AsDouble(report.text);
      const auto truth_real = AsDouble(truth.text);
      return report_real && truth_real && *report_real == *truth_real;
    }
    default:
      return false;
  }
}

bool RowMatches(const ReportRow& row, const TruthTable& table, const TruthRow& version) {
  if (row.rowid && *row.rowid != version.rowid) return false;
  const bool partial = row.recovery == "partial";
  for (size_t c = 0; c < table.columns.size(); ++c) {
    const JsonValue& value = ReportValue(row, table.columns[c]);
    const bool ipk = static_cast<int>(c) == table.ipk_column;
    if (value.is_null() && (ipk || partial)) continue;
    // A partial row's text or blob may be cut where its bytes were lost.
    const JsonValue& truth = version.values[c];
    if (partial && value.kind == JsonValue::Kind::kString &&
        truth.kind == JsonValue::Kind::kString && !value.text.empty() &&
        truth.text.compare(0, value.text.size(), value.text) == 0)
      continue;
    if (!ValuesMatch(value, truth)) return false;
  }
  return true;
}

namespace {

// True iff a serial type with no content bytes lies in the record's first
// `taken` bytes, in a column other than `rowid_column`.
bool ValueHeldInTakenBytes(std::string_view record, size_t taken, int rowid_column) {
  size_t at = 0;
  while (at < record.size() && (static_cast<uint8_t>(record[at]) & 0x80)) ++at;
  ++at;  // past the header-length varint
  for (int column = 0; at < taken; ++column) {
    uint64_t type = 0;
    size_t end = at;
    do {
      type = (type << 7) | (static_cast<uint8_t>(record[end]) & 0x7f);
    } while ((static_cast<uint8_t>(record[end++]) & 0x80) && end < record.size());
    if (end > taken) return false;
    const bool no_content = type == 0 || type == 8 || type == 9 || type == 12 || type == 13;
    if (no_content && column != rowid_column) return true;
    at = end;
  }
  return false;
}

}  // namespace

bool Survives(const TruthRow& version, int page_size, const std::vector<std::string>& files,
              int rowid_column) {
  const std::string_view record = version.record;
  if (record.size() <= 2 || page_size < 512) return false;
  const int cell_prefix =
      VarintSize(record.size()) + VarintSize(static_cast<uint64_t>(version.rowid));
  const auto taken = static_cast<size_t>(std::max(0, 4 - cell_prefix));
  const std::vector<PayloadPiece> pieces =
      PayloadPieces(static_cast<int64_t>(record.size()), page_size);
  for (const PayloadPiece& piece : pieces) {
    const auto start = static_cast<size_t>(std::max<int64_t>(piece.start, static_cast<int64_t>(taken)));
    const auto end = static_cast<size_t>(piece.start + piece.size);
    if (start < end && !Found(record.substr(start, end - start), files)) return false;
  }
  if (taken == 0 || !ValueHeldInTakenBytes(record, taken, rowid_column)) return true;
  const PayloadPiece& local = pieces.front();
  return Found(record.substr(0, static_cast<size_t>(local.start + local.size)), files);
}

CarveMeasure MeasureCarve(const Truth& truth, const std::string& table_name,
                          const std::vector<ReportRow>& report,
                          const std::vector<std::string>& files, bool deleted_only_report) {
  const TruthTable* table = truth.FindTable(table_name);
  if (table == nullptr) throw std::runtime_error("The truth has no table " + table_name);
  std::vector<const TruthRow*> versions;
  std::multimap<int64_t, size_t> by_rowid;
  for (const TruthRow& row : truth.rows) {
    if (row.table != table_name) continue;
    by_rowid.emplace(row.rowid, versions.size());
    versions.push_back(&row);
  }

  CarveMeasure m;
  std::vector<char> right(versions.size(), 0);
  std::vector<char> seen_prior(versions.size(), 0);
  auto check = [&](const ReportRow& row, size_t index, bool& matched, bool& live_claimed) {
    const TruthRow& version = *versions[index];
    if (!RowMatches(row, *table, version)) return;
    matched = true;
    if (row.recovery != "partial") right[index] = 1;
    if (row.state == "prior") seen_prior[index] = 1;
    const bool claims_deleted = deleted_only_report || row.state == "deleted" || row.state == "unknown";
    if (version.fate == "live" && row.rowid && claims_deleted) live_claimed = true;
  };
  for (size_t r = 0; r < report.size(); ++r) {
    const ReportRow& row = report[r];
    bool matched = false;
    bool live_claimed = false;
    if (row.rowid) {
      const auto [first, last] = by_rowid.equal_range(*row.rowid);
      for (auto it = first; it != last; ++it) check(row, it->second, matched, live_claimed);
    } else {
      for (size_t i = 0; i < versions.size(); ++i) check(row, i, matched, live_claimed);
    }
    if (!matched) m.false_row_indexes.push_back(r);
    if (live_claimed) ++m.live_under_deleted.count;
  }
  m.false_rows.count = static_cast<int64_t>(m.false_row_indexes.size());
  m.false_rows.of = static_cast<int64_t>(report.size());

  for (size_t i = 0; i < versions.size(); ++i) {
    const TruthRow& version = *versions[i];
    if (version.fate == "live") ++m.live_under_deleted.of;
    if (version.fate == "prior") {
      ++m.prior_seen.of;
      m.prior_seen.count += seen_prior[i];
    }
    if (version.fate != "deleted" && version.fate != "dropped") continue;
    ++m.deleted.count;
    m.right.count += right[i];
    if (!Survives(version, truth.page_size, files, table->ipk_column)) continue;
    ++m.surviving.count;
    m.right_surviving.count += right[i];
    if (!right[i]) m.missed.push_back(&version);
    if (version.overflow) {
      ++m.overflow_right.of;
      m.overflow_right.count += right[i];
    }
    if (version.fate == "dropped") {
      ++m.dropped_right.of;
      m.dropped_right.count += right[i];
    }
  }
  m.deleted.of = static_cast<int64_t>(versions.size());
  m.surviving.of = m.deleted.count;
  m.right.of = m.deleted.count;
  m.right_surviving.of = m.surviving.count;
  return m;
}

std::string FormatMeasure(const std::string& table, const CarveMeasure& m) {
  struct Line {
    const char* name;
    const Score& score;
    std::string target;
  };
  auto verdict = [](bool met, const char* goal) {
    return std::string(goal) + (met ? ": met" : ": MISSED");
  };
  const Line lines[] = {
      {"deleted", m.deleted, ""},
      {"surviving", m.surviving, ""},
      {"right", m.right, ""},
      {"right_of_surviving", m.right_surviving, verdict(AtLeast(m.right_surviving, 99), ">= 99%")},
      {"overflow_right", m.overflow_right, verdict(AtLeast(m.overflow_right, 100), "= 100%")},
      {"dropped_right", m.dropped_right, verdict(AtLeast(m.dropped_right, 95), ">= 95%")},
      {"false_rows", m.false_rows, verdict(FalseRowsMet(m.false_rows), "< 2%")},
      {"live_under_deleted_only", m.live_under_deleted,
       verdict(m.live_under_deleted.count == 0, "= 0")},
      {"prior_seen", m.prior_seen, ""},
  };
  std::string out = "table\tmeasure\tcount\tof\tpercent\ttarget\n";
  for (const Line& line : lines) {
    out += table + '\t' + line.name + '\t' + std::to_string(line.score.count) + '\t' +
           std::to_string(line.score.of) + '\t' + Percent(line.score) + '\t' + line.target + '\n';
  }
  return out;
}

bool TargetsMet(const CarveMeasure& m) {
  return AtLeast(m.right_surviving, 99) && AtLeast(m.overflow_right, 100) &&
         AtLeast(m.dropped_right, 95) && m.live_under_deleted.count == 0 &&
         FalseRowsMet(m.false_rows);
}

}  // namespace quarrow::scenario
