#include "carve_scenario.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>

#include "carve_builder.h"
#include "carve_json.h"
#include "carve_values.h"

namespace quarrow::scenario {
namespace {

using Row = std::vector<SqlValue>;
using RowMaker = std::function<Row()>;
// The steps a family leaves for the scenario's last steps (those kept in the
// WAL or the rollback journal).
using LateSteps = std::vector<std::function<void()>>;

struct FamilyInfo {
  Family family;
  std::string_view name;
};

constexpr FamilyInfo kFamilies[] = {
    {Family::kIpk, "ipk"},         {Family::kNoIpk, "noipk"},     {Family::kRuns, "runs"},
    {Family::kBulk, "bulk"},       {Family::kReuse, "reuse"},     {Family::kOverflow, "overflow"},
    {Family::kDrop, "drop"},       {Family::kSimilar, "similar"}, {Family::kAddCol, "addcol"},
    {Family::kInts, "ints"},       {Family::kAll, "all"},
};

// What one family's recipe works with: the builder, its own value maker and
// the prefix of its table names ("" alone, "<family>_" within "all").
struct Part {
  ScenarioBuilder& b;
  ValueMaker& v;
  std::string prefix;
  LateSteps& late;

  std::string Name(const std::string& table) const { return prefix + table; }
};

// --- Helpers shared by the recipes -------------------------------------------

// `count` rows inserted in transactions of 20 to 60.
void InsertRows(Part& part, const std::string& table, int count, const RowMaker& make) {
  int done = 0;
  while (done < count) {
    const int batch = std::min(count - done, part.v.Between(20, 60));
    part.b.Begin();
    for (int i = 0; i < batch; ++i) part.b.Insert(table, make());
    part.b.Commit();
    done += batch;
  }
}

// `count` distinct items of `from` in random order.
std::vector<int64_t> Pick(Rng& rng, std::vector<int64_t> from, size_t count) {
  for (size_t i = from.size(); i > 1; --i) {
    std::swap(from[i - 1], from[static_cast<size_t>(rng.Below(static_cast<int>(i)))]);
  }
  from.resize(std::min(count, from.size()));
  return from;
}

// The first `count` of `rowids`, taken off it.
std::vector<int64_t> TakeFront(std::vector<int64_t>& rowids, size_t count) {
  count = std::min(count, rowids.size());
  std::vector<int64_t> front(rowids.begin(), rowids.begin() + static_cast<std::ptrdiff_t>(count));
  rowids.erase(rowids.begin(), rowids.begin() + static_cast<std::ptrdiff_t>(count));
  return front;
}

// Each row deleted by its own statement, in transactions of 1 to 4.
void DeleteSingly(Part& part, const std::string& table, const std::vector<int64_t>& rowids) {
  size_t done = 0;
  while (done < rowids.size()) {
    const size_t batch = std::min(rowids.size() - done, static_cast<size_t>(part.v.Between(1, 4)));
    part.b.Begin();
    for (size_t i = 0; i < batch; ++i) part.b.Delete(table, rowids[done + i]);
    part.b.Commit();
    done += batch;
  }
}

// Each row rewritten with new values from `make`, in one transaction.
void UpdateRows(Part& part, const std::string& table, const std::vector<int64_t>& rowids,
                const RowMaker& make) {
  part.b.Begin();
  for (const int64_t rowid : rowids) part.b.Update(table, rowid, make());
  part.b.Commit();
}

// Splits `count` scattered live rows of `table` into those deleted now and
// `late_count` deleted in the last steps; `updates` other rows are updated
// now, `late_updates` more in the last steps.
void DeleteAndEdit(Part& part, const std::string& table, int count, int late_count, int updates,
                   int late_updates, const RowMaker& make) {
  std::vector<int64_t> chosen =
      Pick(part.v.rng(), part.b.LiveRowids(table),
           static_cast<size_t>(count + updates + late_updates));
  std::vector<int64_t> early = TakeFront(chosen, static_cast<size_t>(count - late_count));
  std::vector<int64_t> late = TakeFront(chosen, static_cast<size_t>(late_count));
  std::vector<int64_t> edits = TakeFront(chosen, static_cast<size_t>(updates));
  std::vector<int64_t> late_edits = chosen;
  // Some updated rows are deleted later, so that a deleted row has a prior too.
  if (!edits.empty() && !late.empty()) late.back() = edits.front();
  UpdateRows(part, table, edits, make);
  DeleteSingly(part, table, early);
  part.late.push_back([&part, table, late, late_edits, make] {
    if (!late_edits.empty()) UpdateRows(part, table, late_edits, make);
    DeleteSingly(part, table, late);
  });
}

// --- The recipes ----------------------------------------------------------------

// t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL): 200 rows, 60
// deleted singly, 10 updated.
void Ipk(Part& part) {
  const std::string t = part.Name("t");
  part.b.CreateTable(t, {ColumnSpec::Ipk("id"), ColumnSpec::Of("name", "TEXT"),
                         ColumnSpec::Of("n", "INTEGER"), ColumnSpec::Of("x", "REAL")});
  ValueMaker& v = part.v;
  const RowMaker row = [&v] {
    return Row{SqlValue::Null(), v.OrNull(v.Text(0, 80), 5), v.OrNull(v.Integer(), 5),
               v.OrNull(v.Real(), 5)};
  };
  InsertRows(part, t, 200, row);
  DeleteAndEdit(part, t, 60, 20, 6, 4, row);
}

// As ipk, beside u(uid INT NOT NULL, name TEXT, n INTEGER), a table without
// an INTEGER PRIMARY KEY: 200 rows, 60 deleted singly.
void NoIpk(Part& part) {
  Ipk(part);
  const std::string u = part.Name("u");
  part.b.CreateTable(u, {ColumnSpec::Of("uid", "INT", "NOT NULL"), ColumnSpec::Of("name", "TEXT"),
                         ColumnSpec::Of("n", "INTEGER")});
  ValueMaker& v = part.v;
  const RowMaker row = [&v] {
    return Row{v.Integer(), v.OrNull(v.Text(0, 60), 5), v.OrNull(v.SmallInteger(), 10)};
  };
  InsertRows(part, u, 200, row);
  DeleteAndEdit(part, u, 60, 20, 0, 0, row);
}

// Deletes runs of 2 to 8 consecutive rowids (their freed cells merge), each
// as one range statement or as single statements in one transaction; the
// last three runs in the last steps.
void DeleteRuns(Part& part, const std::string& table) {
  std::vector<std::pair<int64_t, int64_t>> runs;
  const std::vector<int64_t> live = part.b.LiveRowids(table);
  size_t at = static_cast<size_t>(part.v.Between(2, 10));
  while (runs.size() < 10) {
    const size_t length = static_cast<size_t>(part.v.Between(2, 8));
    if (at + length > live.size()) break;
    runs.emplace_back(live[at], live[at + length - 1]);
    at += length + static_cast<size_t>(part.v.Between(3, 15));
  }
  auto remove = [&part, table](std::pair<int64_t, int64_t> run, bool as_range) {
    part.b.Begin();
    if (as_range) {
      part.b.DeleteRange(table, run.first, run.second);
    } else {
      for (int64_t rowid = run.first; rowid <= run.second; ++rowid) part.b.Delete(table, rowid);
    }
    part.b.Commit();
  };
  const size_t late_from = runs.size() > 3 ? runs.size() - 3 : 0;
  for (size_t i = 0; i < late_from; ++i) remove(runs[i], part.v.rng().Chance(50));
  std::vector<std::pair<int64_t, int64_t>> late(runs.begin() + static_cast<std::ptrdiff_t>(late_from),
                                                 runs.end());
  const bool as_range = part.v.rng().Chance(50);
  part.late.push_back([remove, late, as_range] {
    for (const auto& run : late) remove(run, as_range);
  });
}

// r(id INTEGER PRIMARY KEY, label TEXT NOT NULL, payload BLOB, qty INTEGER
// NOT NULL) and q(code TEXT NOT NULL, data BLOB, amount REAL, flag INTEGER
// NOT NULL), 200 rows each, runs of rows deleted.
void Runs(Part& part) {
  ValueMaker& v = part.v;
  const std::string r = part.Name("r");
  part.b.CreateTable(r, {ColumnSpec::Ipk("id"), ColumnSpec::Of("label", "TEXT", "NOT NULL"),
                         ColumnSpec::Of("payload", "BLOB"),
                         ColumnSpec::Of("qty", "INTEGER", "NOT NULL")});
  InsertRows(part, r, 200, [&v] {
    return Row{SqlValue::Null(), v.Text(1, 40), v.OrNull(v.Blob(0, 48), 10), v.SmallInteger()};
  });
  DeleteRuns(part, r);

  const std::string q = part.Name("q");
  part.b.CreateTable(q, {ColumnSpec::Of("code", "TEXT", "NOT NULL"), ColumnSpec::Of("data", "BLOB"),
                         ColumnSpec::Of("amount", "REAL"),
                         ColumnSpec::Of("flag", "INTEGER", "NOT NULL")});
  InsertRows(part, q, 200, [&v] {
    return Row{v.Text(3, 12), v.OrNull(v.Blob(1, 32), 10), v.OrNull(v.Real(), 5),
               SqlValue::Integer(v.rng().Below(2))};
  });
  DeleteRuns(part, q);
}

// b(id INTEGER PRIMARY KEY, title TEXT, body TEXT, n INTEGER) over about ten
// pages or more; whole ranges deleted, so that pages go to the freelist.
void Bulk(Part& part) {
  ValueMaker& v = part.v;
  const std::string b = part.Name("b");
  part.b.CreateTable(b, {ColumnSpec::Ipk("id"), ColumnSpec::Of("title", "TEXT"),
                         ColumnSpec::Of("body", "TEXT"), ColumnSpec::Of("n", "INTEGER")});
  const int rows = std::clamp(10 * part.b.options().page_size / 230, 300, 3000);
  InsertRows(part, b, rows, [&v] {
    return Row{SqlValue::Null(), v.Text(10, 40), v.OrNull(v.Text(100, 300), 5), v.SmallInteger()};
  });
  part.b.Begin();
  part.b.DeleteRange(b, rows * 20 / 100, rows * 55 / 100);
  part.b.Commit();
  std::vector<int64_t> singles;
  for (const int64_t rowid : part.b.LiveRowids(b)) {
    if (rowid < rows * 65 / 100 || rowid > rows * 90 / 100) singles.push_back(rowid);
  }
  DeleteSingly(part, b, Pick(v.rng(), singles, 10));
  part.late.push_back([&part, b, rows] {
    part.b.Begin();
    part.b.DeleteRange(b, rows * 70 / 100, rows * 85 / 100);
    part.b.Commit();
  });
}

// re(id INTEGER PRIMARY KEY, note TEXT, n INTEGER, x REAL) with rowids 10,
// 20, ...: rows deleted, then smaller rows inserted at the same rowid or just
// after it, which SQLite places in the freed space of the same page.
void Reuse(Part& part) {
  ValueMaker& v = part.v;
  const std::string re = part.Name("re");
  part.b.CreateTable(re, {ColumnSpec::Ipk("id"), ColumnSpec::Of("note", "TEXT"),
                          ColumnSpec::Of("n", "INTEGER"), ColumnSpec::Of("x", "REAL")});
  int64_t next_id = 0;
  InsertRows(part, re, 200, [&v, &next_id] {
    next_id += 10;
    return Row{SqlValue::Integer(next_id), v.Text(40, 160), v.Integer(), v.OrNull(v.Real(), 5)};
  });
  auto small_row = [&v](int64_t rowid) {
    return Row{SqlValue::Integer(rowid), v.OrNull(v.Text(0, 20), 10), v.SmallInteger(),
               v.OrNull(v.Real(), 20)};
  };
  // Deletes `count` of the first rows, then fills `fill` of the gaps: half at
  // the freed rowid itself, half beside it.
  auto delete_and_fill = [&part, re, small_row](size_t count, size_t fill) {
    std::vector<int64_t> first_rows;
    for (const int64_t rowid : part.b.LiveRowids(re)) {
      if (rowid % 10 == 0) first_rows.push_back(rowid);
    }
    const std::vector<int64_t> gone = Pick(part.v.rng(), first_rows, count);
    DeleteSingly(part, re, gone);
    const std::vector<int64_t> live = part.b.LiveRowids(re);
    part.b.Begin();
    for (size_t i = 0; i < std::min(fill, gone.size()); ++i) {
      const int64_t rowid = gone[i] + (i % 2 == 0 ? 0 : 5);
      if (!std::binary_search(live.begin(), live.end(), rowid)) {
        part.b.Insert(re, small_row(rowid));
      }
    }
    part.b.Commit();
  };
  delete_and_fill(50, 30);
  UpdateRows(part, re, Pick(v.rng(), part.b.LiveRowids(re), 6),
             [&v] { return Row{SqlValue::Null(), v.Text(0, 30), v.SmallInteger(), v.Real()}; });
  part.late.push_back([delete_and_fill] { delete_and_fill(12, 6); });
}

// o(id INTEGER PRIMARY KEY, title TEXT, body TEXT, data BLOB): 40 records of
// 1 to 10 KB in texts and blobs, spilling onto overflow pages; on pages of 8
// KB and more every fourth record written outgrows a page, so that some
// still spill.
void Overflow(Part& part) {
  ValueMaker& v = part.v;
  const std::string o = part.Name("o");
  part.b.CreateTable(o, {ColumnSpec::Ipk("id"), ColumnSpec::Of("title", "TEXT"),
                         ColumnSpec::Of("body", "TEXT"), ColumnSpec::Of("data", "BLOB")});
  const int page_size = part.b.options().page_size;
  auto made = std::make_shared<int>(0);
  const RowMaker row = [&v, page_size, made] {
    int low = 1024;
    int high = 10240;
    if (page_size >= 8192 && ++*made % 4 == 1) {
      low = page_size;
      high = page_size * 3 / 2;
    }
    switch (v.rng().Below(3)) {
      case 0:
        return Row{SqlValue::Null(), v.Text(5, 40), v.Text(low, high), SqlValue::Null()};
      case 1:
        return Row{SqlValue::Null(), v.Text(5, 40), v.OrNull(v.Text(0, 60), 30), v.Blob(low, high)};
      default:
        return Row{SqlValue::Null(), v.Text(5, 40), v.Text(low / 2, high / 2), v.Blob(low / 2, high / 2)};
    }
  };
  InsertRows(part, o, 40, row);
  DeleteAndEdit(part, o, 12, 4, 3, 1, row);
}

// k(id INTEGER PRIMARY KEY, name TEXT, n INTEGER) and g(id INTEGER PRIMARY
// KEY, label TEXT, amount REAL, data BLOB), 150 rows each, some deleted; g is
// dropped, before the last steps for odd seeds, in them for even ones.
void Drop(Part& part) {
  ValueMaker& v = part.v;
  const std::string k = part.Name("k");
  const std::string g = part.Name("g");
  part.b.CreateTable(k, {ColumnSpec::Ipk("id"), ColumnSpec::Of("name", "TEXT"),
                         ColumnSpec::Of("n", "INTEGER")});
  part.b.CreateTable(g, {ColumnSpec::Ipk("id"), ColumnSpec::Of("label", "TEXT"),
                         ColumnSpec::Of("amount", "REAL"), ColumnSpec::Of("data", "BLOB")});
  const RowMaker k_row = [&v] {
    return Row{SqlValue::Null(), v.OrNull(v.Text(0, 60), 5), v.OrNull(v.Integer(), 5)};
  };
  const RowMaker g_row = [&v] {
    return Row{SqlValue::Null(), v.Text(2, 50), v.OrNull(v.Real(), 5), v.OrNull(v.Blob(0, 60), 20)};
  };
  InsertRows(part, k, 150, k_row);
  InsertRows(part, g, 150, g_row);
  DeleteAndEdit(part, k, 30, 10, 0, 0, k_row);
  std::vector<int64_t> g_gone = Pick(v.rng(), part.b.LiveRowids(g), 25);
  UpdateRows(part, g, TakeFront(g_gone, 5), g_row);
  DeleteSingly(part, g, g_gone);
  if (part.b.options().seed % 2 == 1) {
    part.b.Drop(g);
  } else {
    part.late.push_back([&part, g] { part.b.Drop(g); });
  }
}

// s1(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL), s2 of the same
// kinds under other names, and s3(name TEXT, n INTEGER, x REAL) without an
// INTEGER PRIMARY KEY: 150 rows each, written in turns, 40 deleted in each.
void Similar(Part& part) {
  ValueMaker& v = part.v;
  const std::string s1 = part.Name("s1");
  const std::string s2 = part.Name("s2");
  const std::string s3 = part.Name("s3");
  part.b.CreateTable(s1, {ColumnSpec::Ipk("id"), ColumnSpec::Of("name", "TEXT"),
                          ColumnSpec::Of("n", "INTEGER"), ColumnSpec::Of("x", "REAL")});
  part.b.CreateTable(s2, {ColumnSpec::Ipk("id"), ColumnSpec::Of("title", "TEXT"),
                          ColumnSpec::Of("count", "INTEGER"), ColumnSpec::Of("ratio", "REAL")});
  part.b.CreateTable(s3, {ColumnSpec::Of("name", "TEXT"), ColumnSpec::Of("n", "INTEGER"),
                          ColumnSpec::Of("x", "REAL")});
  const RowMaker with_ipk = [&v] {
    return Row{SqlValue::Null(), v.OrNull(v.Text(0, 50), 5), v.OrNull(v.Integer(), 5),
               v.OrNull(v.Real(), 5)};
  };
  const RowMaker without = [&v] {
    return Row{v.OrNull(v.Text(0, 50), 5), v.OrNull(v.Integer(), 5), v.OrNull(v.Real(), 5)};
  };
  for (int done = 0; done < 150; done += 50) {
    part.b.Begin();
    for (int i = 0; i < 50; ++i) {
      part.b.Insert(s1, with_ipk());
      part.b.Insert(s2, with_ipk());
      part.b.Insert(s3, without());
    }
    part.b.Commit();
  }
  DeleteAndEdit(part, s1, 40, 10, 3, 1, with_ipk);
  DeleteAndEdit(part, s2, 40, 10, 0, 0, with_ipk);
  DeleteAndEdit(part, s3, 40, 10, 2, 0, without);
}

// a(id INTEGER PRIMARY KEY, name TEXT, n INTEGER): 120 rows, then ADD COLUMN
// tag TEXT DEFAULT 'plain' and ADD COLUMN score REAL, 80 more rows; old and
// new rows deleted, old rows updated (rewritten with every column).
void AddCol(Part& part) {
  ValueMaker& v = part.v;
  const std::string a = part.Name("a");
  part.b.CreateTable(a, {ColumnSpec::Ipk("id"), ColumnSpec::Of("name", "TEXT"),
                         ColumnSpec::Of("n", "INTEGER")});
  InsertRows(part, a, 120, [&v] {
    return Row{SqlValue::Null(), v.OrNull(v.Text(0, 60), 5), v.OrNull(v.Integer(), 5)};
  });
  const std::vector<int64_t> old_rows = part.b.LiveRowids(a);
  // The last row stays, so that the new rows' rowids follow the old ones.
  DeleteSingly(part, a, Pick(v.rng(), {old_rows.begin(), old_rows.end() - 1}, 15));

  ColumnSpec tag = ColumnSpec::Of("tag", "TEXT", "DEFAULT 'plain'");
  tag.default_value = SqlValue::Text("plain");
  part.b.AddColumn(a, tag);
  part.b.AddColumn(a, ColumnSpec::Of("score", "REAL"));
  const RowMaker row = [&v] {
    return Row{SqlValue::Null(), v.OrNull(v.Text(0, 60), 5), v.OrNull(v.Integer(), 5),
               v.OrNull(v.Text(1, 12), 20), v.OrNull(v.Real(), 20)};
  };
  InsertRows(part, a, 80, row);

  std::vector<int64_t> old_live;
  std::vector<int64_t> new_live;
  for (const int64_t rowid : part.b.LiveRowids(a)) {
    (rowid <= old_rows.back() ? old_live : new_live).push_back(rowid);
  }
  std::vector<int64_t> old_chosen = Pick(v.rng(), old_live, 21);
  std::vector<int64_t> new_chosen = Pick(v.rng(), new_live, 15);
  UpdateRows(part, a, TakeFront(old_chosen, 6), row);
  std::vector<int64_t> gone = TakeFront(old_chosen, 10);
  const std::vector<int64_t> new_gone = TakeFront(new_chosen, 10);
  gone.insert(gone.end(), new_gone.begin(), new_gone.end());
  DeleteSingly(part, a, gone);
  std::vector<int64_t> late = old_chosen;
  late.insert(late.end(), new_chosen.begin(), new_chosen.end());
  part.late.push_back([&part, a, late] { DeleteSingly(part, a, late); });
}

// i(id INTEGER PRIMARY KEY, a, b, c, d INTEGER): integers only, of every
// width; 60 deleted, 10 updated.
void Ints(Part& part) {
  ValueMaker& v = part.v;
  const std::string i = part.Name("i");
  part.b.CreateTable(i, {ColumnSpec::Ipk("id"), ColumnSpec::Of("a", "INTEGER"),
                         ColumnSpec::Of("b", "INTEGER"), ColumnSpec::Of("c", "INTEGER"),
                         ColumnSpec::Of("d", "INTEGER")});
  const RowMaker row = [&v] {
    return Row{SqlValue::Null(), v.Integer(), v.SmallInteger(), v.OrNull(v.Integer(), 10),
               v.Integer()};
  };
  InsertRows(part, i, 200, row);
  DeleteAndEdit(part, i, 60, 15, 6, 4, row);
}

using Recipe = void (*)(Part&);

Recipe RecipeOf(Family family) {
  switch (family) {
    case Family::kIpk: return Ipk;
    case Family::kNoIpk: return NoIpk;
    case Family::kRuns: return Runs;
    case Family::kBulk: return Bulk;
    case Family::kReuse: return Reuse;
    case Family::kOverflow: return Overflow;
    case Family::kDrop: return Drop;
    case Family::kSimilar: return Similar;
    case Family::kAddCol: return AddCol;
    case Family::kInts: return Ints;
    case Family::kAll: break;
  }
  throw std::runtime_error("No recipe for family " + std::string(FamilyName(family)));
}

// The values of one family's part: its own sequence per seed, the same
// whatever the page size and journal mode.
uint64_t PartSeed(uint64_t seed, Family family) {
  Rng mix(seed * 0x100000001B3ULL + static_cast<uint64_t>(family) + 1);
  return mix.Next();
}

void WriteValue(const SqlValue& value, std::string& out) {
  switch (value.kind) {
    case SqlValue::Kind::kNull: out += "null"; return;
    case SqlValue::Kind::kInteger: out += std::to_string(value.integer); return;
    case SqlValue::Kind::kReal: out += RealText(value.real); return;
    case SqlValue::Kind::kText: WriteJsonString(value.bytes, out); return;
    case SqlValue::Kind::kBlob: out += '"' + HexText(value.bytes) + '"'; return;
  }
}

void WriteHeader(const Scenario& scenario, std::string& out) {
  const ScenarioOptions& o = scenario.options;
  out += "{\"family\":";
  WriteJsonString(FamilyName(o.family), out);
  out += ",\"seed\":" + std::to_string(o.seed) + ",\"page_size\":" + std::to_string(o.page_size) +
         ",\"journal\":";
  WriteJsonString(JournalName(o.journal), out);
  out += ",\"tables\":[";
  for (size_t t = 0; t < scenario.tables.size(); ++t) {
    const TableTruth& table = scenario.tables[t];
    out += t == 0 ? "{\"name\":" : ",{\"name\":";
    WriteJsonString(table.name, out);
    out += ",\"columns\":[";
    for (size_t c = 0; c < table.columns.size(); ++c) {
      if (c > 0) out += ',';
      WriteJsonString(table.columns[c], out);
    }
    out += "],\"ipk\":";
    if (table.ipk_column < 0) {
      out += "null";
    } else {
      WriteJsonString(table.columns[static_cast<size_t>(table.ipk_column)], out);
    }
    out += std::string(",\"dropped\":") + (table.dropped ? "true" : "false") + ",\"sql\":";
    WriteJsonString(table.sql, out);
    out += '}';
  }
  out += "]}\n";
}

}  // namespace

std::string_view FamilyName(Family family) {
  for (const FamilyInfo& info : kFamilies) {
    if (info.family == family) return info.name;
  }
  return "?";
}

std::optional<Family> FamilyFromName(std::string_view name) {
  for (const FamilyInfo& info : kFamilies) {
    if (info.name == name) return info.family;
  }
  return std::nullopt;
}

const std::vector<Family>& AllFamilies() {
  static const std::vector<Family> kAllFamilies = [] {
    std::vector<Family> all;
    for (const FamilyInfo& info : kFamilies) all.push_back(info.family);
    return all;
  }();
  return kAllFamilies;
}

std::string_view JournalName(JournalMode journal) {
  return journal == JournalMode::kWal ? "wal" : "delete";
}

std::string_view FateName(Fate fate) {
  switch (fate) {
    case Fate::kLive: return "live";
    case Fate::kDeleted: return "deleted";
    case Fate::kDropped: return "dropped";
    case Fate::kPrior: return "prior";
  }
  return "?";
}

Scenario MakeCarveScenario(const std::filesystem::path& dir, const ScenarioOptions& options) {
  ScenarioBuilder builder(dir, options);
  std::vector<Family> families = {options.family};
  if (options.family == Family::kAll) {
    // The drop comes last, so that the other parts' inserts do not take the
    // dropped table's pages from the freelist before the carver sees them.
    families.assign(AllFamilies().begin(), AllFamilies().end() - 1);
    std::stable_partition(families.begin(), families.end(),
                          [](Family f) { return f != Family::kDrop; });
  }
  // Value makers outlive the late steps that use them.
  std::vector<std::unique_ptr<ValueMaker>> makers;
  LateSteps late;
  std::vector<std::unique_ptr<Part>> parts;
  for (const Family family : families) {
    makers.push_back(std::make_unique<ValueMaker>(PartSeed(options.seed, family)));
    const std::string prefix =
        options.family == Family::kAll ? std::string(FamilyName(family)) + "_" : "";
    parts.push_back(std::make_unique<Part>(Part{builder, *makers.back(), prefix, late}));
    RecipeOf(family)(*parts.back());
  }
  builder.StartLastSteps();
  for (const auto& step : late) step();
  return builder.Finish();
}

std::string TruthText(const Scenario& scenario) {
  std::string out;
  WriteHeader(scenario, out);
  for (const RowVersion& row : scenario.rows) {
    const TableTruth* table = nullptr;
    for (const TableTruth& t : scenario.tables) {
      if (t.name == row.table) table = &t;
    }
    if (table == nullptr) throw std::runtime_error("Row of unknown table " + row.table);
    out += "{\"table\":";
    WriteJsonString(row.table, out);
    out += ",\"rowid\":" + std::to_string(row.rowid) + ",\"fate\":\"" +
           std::string(FateName(row.fate)) + "\",\"values\":{";
    for (size_t c = 0; c < table->columns.size(); ++c) {
      if (c > 0) out += ',';
      WriteJsonString(table->columns[c], out);
      out += ':';
      const bool ipk = static_cast<int>(c) == table->ipk_column;
      WriteValue(ipk ? SqlValue::Integer(row.rowid) : row.values[c], out);
    }
    out += std::string("},\"overflow\":") + (row.overflow ? "true" : "false") + ",\"record\":\"" +
           HexText(row.record) + "\"}\n";
  }
  return out;
}

}  // namespace quarrow::scenario
