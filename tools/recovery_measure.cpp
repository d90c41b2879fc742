#include "recovery_measure.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <tuple>

namespace quarrow::sample {

namespace {

constexpr size_t kReportFields = 46;  // without details
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

const char* const kLabelColumns[] = {"MOBILE", "IPHONE", "HOME", "OTHER", "WORK", "WORKFAX",
                                     "Unknown"};

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> out;
  size_t begin = 0;
  for (;;) {
    const size_t tab = line.find('\t', begin);
    out.push_back(line.substr(begin, tab == std::string_view::npos ? tab : tab - begin));
    if (tab == std::string_view::npos) return out;
    begin = tab + 1;
  }
}

int64_t ParseInt(std::string_view text, size_t line_number) {
  int64_t value = 0;
  bool any = false;
  for (char c : text) {
    if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) {
      any = false;
      break;
    }
    value = value * 10 + (c - '0');
    any = true;
  }
  if (!any) {
    throw std::runtime_error("manifest line " + std::to_string(line_number) +
                             ": not a number: \"" + std::string(text) + "\"");
  }
  return value;
}

// The name in "_$!<Name>!$_", or the text itself.
std::string_view Unwrapped(std::string_view label) {
  constexpr std::string_view kOpen = "_$!<";
  constexpr std::string_view kClose = ">!$_";
  if (label.size() > kOpen.size() + kClose.size() && label.substr(0, kOpen.size()) == kOpen &&
      label.substr(label.size() - kClose.size()) == kClose) {
    return label.substr(kOpen.size(), label.size() - kOpen.size() - kClose.size());
  }
  return label;
}

std::string_view TrimSpaces(std::string_view text) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// A cell's comma-separated items, without the spaces around them (the report
// joins values with a comma and spaces; no measured value holds a comma).
std::vector<std::string_view> Items(std::string_view cell) {
  std::vector<std::string_view> out;
  while (!cell.empty()) {
    const size_t at = cell.find(',');
    std::string_view item = TrimSpaces(cell.substr(0, at));
    if (!item.empty()) out.push_back(item);
    if (at == std::string_view::npos) break;
    cell.remove_prefix(at + 1);
  }
  return out;
}

bool HasItem(std::string_view cell, std::string_view value) {
  const std::vector<std::string_view> items = Items(cell);
  return std::find(items.begin(), items.end(), value) != items.end();
}

// Column indexes by header name; the first of equal names wins.
class Columns {
 public:
  explicit Columns(const std::vector<std::string>& header) {
    for (size_t i = 0; i < header.size(); ++i) index_.emplace(header[i], i);
  }
  size_t Of(const std::string& name) const {
    auto it = index_.find(name);
    if (it == index_.end()) {
      throw std::runtime_error("the contacts report has no column \"" + name + "\"");
    }
    return it->second;
  }

 private:
  std::map<std::string, size_t> index_;
};

using NameKey = std::tuple<std::string, std::string, std::string>;

NameKey KeyOf(const ManifestPerson& p) {
  if (p.first.empty() && p.last.empty()) return {"", "", p.organization};
  return {p.first, p.last, ""};
}

// Everything the measure looks up in a report, indexed once.
class ReportIndex {
 public:
  explicit ReportIndex(const ContactsReport& report) : report_(report), columns_(report.header) {
    const size_t first = columns_.Of("First");
    const size_t last = columns_.Of("Last");
    const size_t organization = columns_.Of("Organization");
    for (const char* prefix : {"", "EMAIL_"}) {
      for (const char* name : kLabelColumns) label_columns_.push_back(columns_.Of(prefix + std::string(name)));
    }
    for (size_t r = 0; r < report.rows.size(); ++r) {
      const std::vector<std::string>& row = report.rows[r];
      const bool nameless = row[first].empty() && row[last].empty();
      NameKey key{row[first], row[last], nameless ? row[organization] : ""};
      rows_by_name_[key].push_back(r);
      const bool named = key != NameKey{};
      for (size_t col : label_columns_) {
        for (std::string_view item : Items(row[col])) {
          all_items_.emplace(item);
          if (named) names_of_item_[std::string(item)].insert(key);
        }
      }
    }
  }

  const std::vector<size_t>* RowsOf(const ManifestPerson& p) const {
    auto it = rows_by_name_.find(KeyOf(p));
    return it == rows_by_name_.end() ? nullptr : &it->second;
  }

  bool InColumn(const std::vector<size_t>* rows, const ManifestValue& v) const {
    if (rows == nullptr) return false;
    const size_t col = columns_.Of(LabelColumnName(v.label, v.property));
    return std::any_of(rows->begin(), rows->end(),
                       [&](size_t r) { return HasItem(report_.rows[r][col], v.value); });
  }

  bool InAnyColumn(const std::vector<size_t>* rows, const ManifestValue& v) const {
    if (rows == nullptr) return false;
    return std::any_of(rows->begin(), rows->end(), [&](size_t r) {
      return std::any_of(label_columns_.begin(), label_columns_.end(),
                         [&](size_t col) { return HasItem(report_.rows[r][col], v.value); });
    });
  }

  bool Anywhere(const ManifestValue& v) const { return all_items_.count(v.value) > 0; }

  // The names of the rows `v` stands in that carry a name.
  const std::set<NameKey>* NamesBeside(const ManifestValue& v) const {
    auto it = names_of_item_.find(v.value);
    return it == names_of_item_.end() ? nullptr : &it->second;
  }

 private:
  const ContactsReport& report_;
  Columns columns_;
  std::vector<size_t> label_columns_;
  std::map<NameKey, std::vector<size_t>> rows_by_name_;
  std::set<std::string, std::less<>> all_items_;
  std::map<std::string, std::set<NameKey>> names_of_item_;
};

void Count(Score& score, bool found) {
  ++score.total;
  if (found) ++score.found;
}

}  // namespace

std::vector<ManifestPerson> ParseManifest(std::string_view text) {
  std::vector<ManifestPerson> persons;
  size_t line_number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // a CR LF copy
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string_view> f = SplitTabs(line);
    auto bad = [&](const std::string& why) {
      return std::runtime_error("manifest line " + std::to_string(line_number) + ": " + why);
    };
    if (f[0] == "person") {
      if ((f.size() != 6 && f.size() != 10) || (f[2] != "live" && f[2] != "deleted"))
        throw bad("not a person line");
      ManifestPerson p;
      p.rowid = ParseInt(f[1], line_number);
      p.deleted = f[2] == "deleted";
      p.first = f[3];
      p.last = f[4];
      p.organization = f[5];
      if (f.size() == 10) {
        p.layout = static_cast<int>(ParseInt(f[6], line_number));
        p.created = ParseInt(f[7], line_number);
        p.modified = ParseInt(f[8], line_number);
        p.external_uuid = f[9];
      }
      persons.push_back(std::move(p));
    } else if (f[0] == "edit") {
      if (f.size() != 7) throw bad("not an edit line");
      if (persons.empty()) throw bad("an edit before any person");
      if (ParseInt(f[1], line_number) != persons.back().rowid) throw bad("an edit of another person");
      ManifestEdit e;
      e.old_modified = ParseInt(f[2], line_number);
      e.new_modified = ParseInt(f[3], line_number);
      e.old_number = f[5];
      e.new_number = f[6];
      persons.back().edits.push_back(std::move(e));
    } else if (f[0] == "value") {
      if (f.size() != 7) throw bad("not a value line");
      if (persons.empty()) throw bad("a value before any person");
      ManifestValue v;
      v.record_id = ParseInt(f[1], line_number);
      v.property = static_cast<int>(ParseInt(f[2], line_number));
      v.label = f[3];
      v.value = f[4];
      if (v.record_id != persons.back().rowid) throw bad("a value of another person");
      persons.back().values.push_back(std::move(v));
    } else {
      throw bad("neither a person, a value nor an edit");
    }
  }
  return persons;
}

ContactsReport ParseContactsReport(std::string_view bytes) {
  if (bytes.substr(0, kByteOrderMark.size()) != kByteOrderMark) {
    throw std::runtime_error("the contacts report does not start with a byte-order mark");
  }
  bytes.remove_prefix(kByteOrderMark.size());
  // The header row's names hold no line end: its TABs tell the field count.
  const std::string_view header_line = bytes.substr(0, bytes.find("\r\n"));
  const size_t fields = static_cast<size_t>(
      std::count(header_line.begin(), header_line.end(), '\t'));
  if (fields < kReportFields) {
    throw std::runtime_error("the contacts report's header row has fewer than 46 fields");
  }
  const std::string count = std::to_string(fields);
  ContactsReport report;
  std::vector<std::string> row;
  size_t rows_read = 0;
  while (!bytes.empty()) {
    const size_t tab = bytes.find('\t');
    if (tab == std::string_view::npos) {
      throw std::runtime_error("the contacts report's row " + std::to_string(rows_read + 1) +
                               " does not end after " + count + " fields");
    }
    row.emplace_back(bytes.substr(0, tab));
    bytes.remove_prefix(tab + 1);
    if (row.size() < fields) continue;
    if (bytes.substr(0, 2) != "\r\n") {
      throw std::runtime_error("the contacts report's row " + std::to_string(rows_read + 1) +
                               " does not end with CR LF after " + count + " fields");
    }
    bytes.remove_prefix(2);
    if (rows_read++ == 0) {
      report.header = std::move(row);
    } else {
      report.rows.push_back(std::move(row));
    }
    row.clear();
  }
  if (!row.empty() || rows_read == 0) {
    throw std::runtime_error("the contacts report ends inside a row");
  }
  return report;
}

std::string LabelColumnName(std::string_view label, int property) {
  const std::string_view name = Unwrapped(label);
  static const std::map<std::string_view, std::string_view> kColumns = {
      {"Mobile", "MOBILE"}, {"iPhone", "IPHONE"}, {"Home", "HOME"},
      {"Other", "OTHER"},   {"Work", "WORK"},     {"WorkFAX", "WORKFAX"},
  };
  auto it = kColumns.find(name);
  std::string column(it == kColumns.end() ? std::string_view("Unknown") : it->second);
  return property == 4 ? "EMAIL_" + column : column;
}

bool IsExcludedValue(std::string_view value) {
  return value.find_first_of("#*") != std::string_view::npos;
}

RecoveryMeasure MeasureRecovery(const std::vector<ManifestPerson>& persons,
                                const ContactsReport& report) {
  const ReportIndex index(report);
  // A text several persons have (a company's info@ address) is each one's:
  // beside any of their names it is no wrong link.
  std::map<std::string, std::set<NameKey>> owners;
  std::set<NameKey> names_in_book;
  for (const ManifestPerson& p : persons) {
    names_in_book.insert(KeyOf(p));
    for (const ManifestValue& v : p.values) owners[v.value].insert(KeyOf(p));
  }
  RecoveryMeasure m;
  for (const ManifestPerson& p : persons) {
    const std::vector<size_t>* rows = index.RowsOf(p);
    Count(p.deleted ? m.deleted_persons : m.live_persons, rows != nullptr);
    for (const ManifestValue& v : p.values) {
      if (v.property != 3 && v.property != 4) continue;
      if (IsExcludedValue(v.value)) {
        ++m.excluded_values;
        continue;
      }
      if (!p.deleted) {
        Count(m.live_values, index.InColumn(rows, v));
        continue;
      }
      Count(m.deleted_values_filed, index.InColumn(rows, v));
      Count(m.deleted_values_in_row, index.InAnyColumn(rows, v));
      Count(m.deleted_values_anywhere, index.Anywhere(v));
      if (const std::set<NameKey>* names = index.NamesBeside(v)) {
        ++m.deleted_values_beside_name;
        const std::set<NameKey>& own = owners[v.value];
        if (std::any_of(names->begin(), names->end(),
                        [&](const NameKey& name) {
                          // A name no person has (bytes a freeblock header
                          // overwrote) attributes the value to no one.
                          return names_in_book.count(name) != 0 && own.count(name) == 0;
                        }))
          ++m.deleted_values_wrong_name;
      }
    }
  }
  return m;
}

namespace {

// A report's rows by the name they carry (NameKey: First and Last, or a
// nameless row's Organization).
class RowsByName {
 public:
  explicit RowsByName(const ContactsReport& report) : columns_(report.header) {
    const size_t first = columns_.Of("First"), last = columns_.Of("Last");
    const size_t organization = columns_.Of("Organization");
    for (const std::vector<std::string>& row : report.rows) {
      const bool nameless = row[first].empty() && row[last].empty();
      rows_[{row[first], row[last], nameless ? row[organization] : ""}].push_back(&row);
    }
  }
  const std::vector<const std::vector<std::string>*>& Of(const ManifestPerson& p) const {
    static const std::vector<const std::vector<std::string>*> kNone;
    auto it = rows_.find(KeyOf(p));
    return it == rows_.end() ? kNone : it->second;
  }
  size_t Column(const std::string& name) const { return columns_.Of(name); }

 private:
  Columns columns_;
  std::map<NameKey, std::vector<const std::vector<std::string>*>> rows_;
};

}  // namespace

StateMeasure MeasureStates(const std::vector<ManifestPerson>& persons,
                           const ContactsReport& details, const ContactsReport& deleted_only) {
  const RowsByName all(details), kept(deleted_only);
  const size_t state = all.Column("STATE"), modified = all.Column("ModificationDate");
  const size_t created = all.Column("CreationDate"), uuid = all.Column("ExternalUUID");
  const size_t kept_rowid = kept.Column("NUM_1");
  int newest_layout = 0;
  for (const ManifestPerson& p : persons) newest_layout = std::max(newest_layout, p.layout);
  StateMeasure m;
  for (const ManifestPerson& p : persons) {
    const auto& rows = all.Of(p);
    if (!p.deleted) {
      for (const auto* row : kept.Of(p))
        ++((*row)[kept_rowid] == std::to_string(p.rowid) ? m.live_rowid_rows : m.live_name_rows);
      for (const ManifestEdit& edit : p.edits) {
        bool found = false;
        for (const auto* row : rows) {
          if ((*row)[modified] != std::to_string(edit.old_modified)) continue;
          found = true;
          const std::string& s = (*row)[state];
          ++(s == "prior" ? m.earlier_prior : s == "unknown" ? m.earlier_unknown : m.earlier_other);
        }
        Count(m.earlier_versions, found);
      }
      continue;
    }
    if (!rows.empty()) {
      Count(m.deleted_kept, !kept.Of(p).empty());
      Count(m.deleted_by_state, std::all_of(rows.begin(), rows.end(), [&](const auto* row) {
              return (*row)[state] == "deleted" || (*row)[state] == "unknown";
            }));
    }
    if (p.layout != 0 && p.layout < newest_layout) {
      Count(m.pre_upgrade_found, !rows.empty());
      Count(m.pre_upgrade_columns, std::any_of(rows.begin(), rows.end(), [&](const auto* row) {
              return (*row)[created] == std::to_string(p.created) &&
                     (*row)[modified] == std::to_string(p.modified) &&
                     (*row)[uuid] == p.external_uuid;
            }));
    }
  }
  return m;
}

std::string FormatScore(const Score& score) {
  std::string out = std::to_string(score.found) + " of " + std::to_string(score.total);
  if (score.total == 0) return out + " (-)";
  // Rounded down, so that 100.0% means all of them.
  const int64_t permille = score.found * 1000 / score.total;
  return out + " (" + std::to_string(permille / 10) + "." + std::to_string(permille % 10) + "%)";
}

}  // namespace quarrow::sample
