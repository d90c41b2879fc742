#include "carve_builder.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "repeatable_sqlite.h"

namespace quarrow::scenario {
namespace {

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// Names in CREATE and ALTER TABLE stand bare, as most applications write them.
std::string Declaration(const ColumnSpec& column) {
  std::string text = column.name;
  if (!column.type.empty()) text += " " + column.type;
  if (!column.constraints.empty()) text += " " + column.constraints;
  return text;
}

SqlValue ColumnValue(sqlite3_stmt* stmt, int index) {
  switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_INTEGER:
      return SqlValue::Integer(sqlite3_column_int64(stmt, index));
    case SQLITE_FLOAT:
      return SqlValue::Real(sqlite3_column_double(stmt, index));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
      return SqlValue::Text(std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, index))));
    }
    case SQLITE_BLOB: {
      const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, index));
      const auto size = static_cast<size_t>(sqlite3_column_bytes(stmt, index));
      return SqlValue::Blob(size == 0 ? std::string() : std::string(blob, size));
    }
    default:
      return SqlValue::Null();
  }
}

}  // namespace

ScenarioBuilder::ScenarioBuilder(const std::filesystem::path& dir, const ScenarioOptions& options)
    : options_(options), path_(dir / "db.sqlite") {
  const int p = options.page_size;
  if (p < 512 || p > 65536 || (p & (p - 1)) != 0) {
    throw std::runtime_error("The page size must be a power of two from 512 to 65536, not " +
                             std::to_string(p));
  }
  std::filesystem::create_directories(dir);
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::error_code ignored;
    std::filesystem::remove(path_.string() + suffix, ignored);
  }
  if (sqlite3_open_v2(path_.string().c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      RepeatableSqliteVfs()) !=
      SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("Cannot create database \"" + path_.string() + "\": " + reason);
  }
  // Debian's SQLite zeroes deleted cells by default; the scenarios need them.
  Exec("PRAGMA secure_delete=OFF");
  Exec("PRAGMA auto_vacuum=NONE");
  Exec("PRAGMA synchronous=OFF");
  Exec("PRAGMA page_size=" + std::to_string(p));
  if (options.journal == JournalMode::kWal) {
    // Checkpoints only where StartLastSteps asks, and none on close.
    Exec("PRAGMA wal_autocheckpoint=0");
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (QueryText("PRAGMA journal_mode=WAL") != "wal") Fail("PRAGMA journal_mode=WAL");
  } else {
    if (QueryText("PRAGMA journal_mode=DELETE") != "delete") Fail("PRAGMA journal_mode=DELETE");
  }
}

ScenarioBuilder::~ScenarioBuilder() {
  ForgetStatements();
  if (db_ != nullptr) sqlite3_close(db_);
}

void ScenarioBuilder::Begin() { Exec("BEGIN"); }
void ScenarioBuilder::Commit() { Exec("COMMIT"); }

void ScenarioBuilder::CreateTable(const std::string& name, const std::vector<ColumnSpec>& columns) {
  std::string sql = "CREATE TABLE " + name + " (";
  Table table;
  table.truth.name = name;
  for (size_t i = 0; i < columns.size(); ++i) {
    sql += (i == 0 ? "" : ", ") + Declaration(columns[i]);
    table.truth.columns.push_back(columns[i].name);
    table.affinities.push_back(AffinityOf(columns[i].type));
    if (columns[i].ipk) table.truth.ipk_column = static_cast<int>(i);
  }
  sql += ")";
  Exec(sql);
  table.columns = columns;
  tables_.push_back(std::move(table));
}

void ScenarioBuilder::AddColumn(const std::string& table_name, const ColumnSpec& column) {
  Table& table = Find(table_name);
  ForgetStatements();
  Exec("ALTER TABLE " + table_name + " ADD COLUMN " + Declaration(column));
  table.columns.push_back(column);
  table.truth.columns.push_back(column.name);
  table.affinities.push_back(AffinityOf(column.type));
}

void ScenarioBuilder::Drop(const std::string& table_name) {
  Table& table = Find(table_name);
  table.truth.sql = SchemaSql(table_name);
  ForgetStatements();
  Exec("DROP TABLE " + Quoted(table_name));
  while (!table.live.empty()) MarkGone(table, table.live.begin()->first, Fate::kDropped);
  table.truth.dropped = true;
}

int64_t ScenarioBuilder::Insert(const std::string& table_name, const std::vector<SqlValue>& values) {
  Table& table = Find(table_name);
  if (values.size() != table.columns.size()) {
    throw std::runtime_error("Insert into " + table_name + ": wrong value count");
  }
  std::string names;
  std::string marks;
  for (size_t i = 0; i < values.size(); ++i) {
    names += (i == 0 ? "" : ", ") + Quoted(table.columns[i].name);
    marks += i == 0 ? "?" : ", ?";
  }
  const std::string sql = "INSERT INTO " + Quoted(table_name) + " (" + names + ") VALUES (" + marks + ")";
  sqlite3_stmt* stmt = Prepared(sql);
  for (size_t i = 0; i < values.size(); ++i) Bind(stmt, static_cast<int>(i) + 1, values[i], sql);
  StepDone(stmt, sql);
  const int64_t rowid = sqlite3_last_insert_rowid(db_);
  RecordVersion(table, rowid);
  return rowid;
}

void ScenarioBuilder::Update(const std::string& table_name, int64_t rowid,
                             const std::vector<SqlValue>& values) {
  Table& table = Find(table_name);
  auto live = table.live.find(rowid);
  if (live == table.live.end() || values.size() != table.columns.size()) {
    throw std::runtime_error("Update of " + table_name + ": no live row " + std::to_string(rowid) +
                             " or wrong value count");
  }
  std::string sets;
  std::vector<const SqlValue*> bound;
  for (size_t i = 0; i < values.size(); ++i) {
    if (table.columns[i].ipk) continue;
    sets += (sets.empty() ? "" : ", ") + Quoted(table.columns[i].name) + " = ?";
    bound.push_back(&values[i]);
  }
  const std::string sql = "UPDATE " + Quoted(table_name) + " SET " + sets + " WHERE rowid = ?";
  sqlite3_stmt* stmt = Prepared(sql);
  for (size_t i = 0; i < bound.size(); ++i) Bind(stmt, static_cast<int>(i) + 1, *bound[i], sql);
  sqlite3_bind_int64(stmt, static_cast<int>(bound.size()) + 1, rowid);
  StepDone(stmt, sql);

  const size_t old_index = live->second;
  RecordVersion(table, rowid);
  const size_t new_index = table.live.at(rowid);
  if (versions_[new_index].record == versions_[old_index].record) {
    // Nothing changed: the same version, not an older one.
    versions_.pop_back();
    table.live[rowid] = old_index;
  } else {
    versions_[old_index].fate = Fate::kPrior;
  }
}

void ScenarioBuilder::Delete(const std::string& table_name, int64_t rowid) {
  DeleteRange(table_name, rowid, rowid);
}

void ScenarioBuilder::DeleteRange(const std::string& table_name, int64_t first, int64_t last) {
  Table& table = Find(table_name);
  const std::string sql = "DELETE FROM " + Quoted(table_name) + " WHERE rowid BETWEEN ? AND ?";
  sqlite3_stmt* stmt = Prepared(sql);
  sqlite3_bind_int64(stmt, 1, first);
  sqlite3_bind_int64(stmt, 2, last);
  StepDone(stmt, sql);
  std::vector<int64_t> gone;
  for (auto it = table.live.lower_bound(first); it != table.live.end() && it->first <= last; ++it) {
    gone.push_back(it->first);
  }
  if (static_cast<int64_t>(gone.size()) != sqlite3_changes64(db_) || gone.empty()) {
    throw std::runtime_error("Delete from " + table_name + " of rowids " + std::to_string(first) +
                             " to " + std::to_string(last) + " removed an unexpected row count");
  }
  for (const int64_t rowid : gone) MarkGone(table, rowid, Fate::kDeleted);
}

void ScenarioBuilder::StartLastSteps() {
  if (options_.journal == JournalMode::kWal) {
    // Every frame so far goes into the database; the WAL restarts with the
    // next write, over the frames it held.
    Exec("PRAGMA wal_checkpoint(PASSIVE)");
  } else if (QueryText("PRAGMA journal_mode=PERSIST") != "persist") {
    Fail("PRAGMA journal_mode=PERSIST");
  }
}

std::vector<int64_t> ScenarioBuilder::LiveRowids(const std::string& table_name) const {
  std::vector<int64_t> rowids;
  for (const auto& entry : Find(table_name).live) rowids.push_back(entry.first);
  return rowids;
}

Scenario ScenarioBuilder::Finish() {
  for (Table& table : tables_) {
    if (!table.truth.dropped) table.truth.sql = SchemaSql(table.truth.name);
  }
  ForgetStatements();
  if (sqlite3_close(db_) != SQLITE_OK) Fail("close");
  db_ = nullptr;
  std::error_code ignored;
  std::filesystem::remove(path_.string() + "-shm", ignored);
  const char* kept = options_.journal == JournalMode::kWal ? "-wal" : "-journal";
  if (std::filesystem::file_size(path_.string() + kept, ignored) == 0 || ignored) {
    throw std::runtime_error("No " + std::string(kept) + " file was kept beside \"" +
                             path_.string() + "\"");
  }

  Scenario scenario;
  scenario.options = options_;
  std::map<std::string, size_t> order;
  for (const Table& table : tables_) {
    order[table.truth.name] = scenario.tables.size();
    scenario.tables.push_back(table.truth);
  }
  std::vector<size_t> indexes(versions_.size());
  for (size_t i = 0; i < indexes.size(); ++i) indexes[i] = i;
  std::stable_sort(indexes.begin(), indexes.end(), [&](size_t a, size_t b) {
    const RowVersion& x = versions_[a];
    const RowVersion& y = versions_[b];
    if (x.table != y.table) return order[x.table] < order[y.table];
    return x.rowid < y.rowid;
  });
  for (const size_t i : indexes) {
    RowVersion row = versions_[i];
    const Table& table = tables_[order[row.table]];
    // A version written before ADD COLUMN reads the column's default.
    for (size_t c = row.values.size(); c < table.columns.size(); ++c) {
      row.values.push_back(table.columns[c].default_value);
    }
    row.overflow = Overflows(static_cast<int64_t>(row.record.size()), options_.page_size);
    scenario.rows.push_back(std::move(row));
  }
  return scenario;
}

ScenarioBuilder::Table& ScenarioBuilder::Find(const std::string& name) {
  for (Table& table : tables_) {
    if (table.truth.name == name) return table;
  }
  throw std::runtime_error("No table " + name + " in the scenario");
}

const ScenarioBuilder::Table& ScenarioBuilder::Find(const std::string& name) const {
  return const_cast<ScenarioBuilder*>(this)->Find(name);
}

void ScenarioBuilder::Exec(const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string reason = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw std::runtime_error("SQLite error in \"" + path_.string() + "\" [" + sql + "]: " + reason);
  }
}

std::string ScenarioBuilder::QueryText(const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
  std::string text;
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    const unsigned char* value = sqlite3_column_text(stmt, 0);
    if (value != nullptr) text = reinterpret_cast<const char*>(value);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    }
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) Fail(sql);
  return text;
}

sqlite3_stmt* ScenarioBuilder::Prepared(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
  statements_.emplace(sql, stmt);
  return stmt;
}

void ScenarioBuilder::ForgetStatements() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  statements_.clear();
}

void ScenarioBuilder::Bind(sqlite3_stmt* stmt, int index, const SqlValue& value,
                           const std::string& sql) {
  int rc = SQLITE_OK;
  const auto size = static_cast<int>(value.bytes.size());
  switch (value.kind) {
    case SqlValue::Kind::kNull: rc = sqlite3_bind_null(stmt, index); break;
    case SqlValue::Kind::kInteger: rc = sqlite3_bind_int64(stmt, index, value.integer); break;
    case SqlValue::Kind::kReal: rc = sqlite3_bind_double(stmt, index, value.real); break;
    case SqlValue::Kind::kText:
      rc = sqlite3_bind_text(stmt, index, value.bytes.data(), size, SQLITE_TRANSIENT);
      break;
    case SqlValue::Kind::kBlob:
      // An empty blob is a zero-length blob, not NULL.
      rc = size == 0 ? sqlite3_bind_zeroblob(stmt, index, 0)
                     : sqlite3_bind_blob(stmt, index, value.bytes.data(), size, SQLITE_TRANSIENT);
      break;
  }
  if (rc != SQLITE_OK) Fail(sql);
}

void ScenarioBuilder::StepDone(sqlite3_stmt* stmt, const std::string& sql) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE) Fail(sql);
}

void ScenarioBuilder::Fail(const std::string& sql) const {
  throw std::runtime_error("SQLite error in \"" + path_.string() + "\" [" + sql +
                           "]: " + (db_ != nullptr ? sqlite3_errmsg(db_) : "not open"));
}

void ScenarioBuilder::RecordVersion(Table& table, int64_t rowid) {
  std::string names;
  for (size_t i = 0; i < table.columns.size(); ++i) {
    names += (i == 0 ? "" : ", ") + Quoted(table.columns[i].name);
  }
  const std::string sql = "SELECT " + names + " FROM " + Quoted(table.truth.name) + " WHERE rowid = ?";
  sqlite3_stmt* stmt = Prepared(sql);
  sqlite3_bind_int64(stmt, 1, rowid);
  if (sqlite3_step(stmt) != SQLITE_ROW) {
    sqlite3_reset(stmt);
    Fail(sql);
  }
  RowVersion row;
  row.table = table.truth.name;
  row.rowid = rowid;
  for (int i = 0; i < static_cast<int>(table.columns.size()); ++i) {
    row.values.push_back(ColumnValue(stmt, i));
  }
  sqlite3_reset(stmt);
  row.record = EncodeRecord(row.values, table.affinities, table.truth.ipk_column);
  table.live[rowid] = versions_.size();
  versions_.push_back(std::move(row));
}

void ScenarioBuilder::MarkGone(Table& table, int64_t rowid, Fate fate) {
  auto it = table.live.find(rowid);
  versions_[it->second].fate = fate;
  table.live.erase(it);
}

std::string ScenarioBuilder::SchemaSql(const std::string& table) {
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?";
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) Fail(sql);
  sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  std::string text;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* value = sqlite3_column_text(stmt, 0);
    if (value != nullptr) text = reinterpret_cast<const char*>(value);
  }
  sqlite3_finalize(stmt);
  return text;
}

}  // namespace quarrow::scenario
