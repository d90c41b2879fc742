// Writes one carve scenario's database step by step through libsqlite3 and
// keeps its truth as it goes (carve_scenario.h). Every change is plain SQL,
// and every row written is read back at once, so that the truth holds what
// SQLite stored (affinities applied) and the record bytes it wrote.
//
// Owns one connection to "<dir>/db.sqlite", set up as the scenario's options
// say (page size, secure_delete OFF, auto_vacuum NONE, the journal mode).
// Changes run in autocommit mode unless inside Begin/Commit. Any SQLite
// failure throws std::runtime_error naming the statement and the reason. Not
// thread-safe; not copyable.
#ifndef QUARROW_TOOLS_CARVE_BUILDER_H_
#define QUARROW_TOOLS_CARVE_BUILDER_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "carve_record.h"
#include "carve_scenario.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quarrow::scenario {

// A column as CREATE TABLE or ALTER TABLE ADD COLUMN declares it.
struct ColumnSpec {
  std::string name;
  std::string type;         // the declared type ("" for none)
  std::string constraints;  // what follows the type: "NOT NULL", "DEFAULT 'x'"...
  bool ipk = false;         // INTEGER PRIMARY KEY
  SqlValue default_value;   // what an older row reads for it once added

  static ColumnSpec Ipk(std::string name) { return {std::move(name), "INTEGER", "PRIMARY KEY", true, {}}; }
  static ColumnSpec Of(std::string name, std::string type, std::string constraints = "") {
    return {std::move(name), std::move(type), std::move(constraints), false, {}};
  }
};

class ScenarioBuilder {
 public:
  // Creates "<dir>/db.sqlite", removing it and its -wal, -shm and -journal
  // first.
  ScenarioBuilder(const std::filesystem::path& dir, const ScenarioOptions& options);
  ~ScenarioBuilder();
  ScenarioBuilder(const ScenarioBuilder&) = delete;
  ScenarioBuilder& operator=(const ScenarioBuilder&) = delete;

  const ScenarioOptions& options() const { return options_; }

  void Begin();
  void Commit();

  void CreateTable(const std::string& name, const std::vector<ColumnSpec>& columns);
  // ALTER TABLE ADD COLUMN; `column.default_value` must be what its DEFAULT
  // clause gives.
  void AddColumn(const std::string& table, const ColumnSpec& column);
  // DROP TABLE: its live rows become kDropped.
  void Drop(const std::string& table);

  // Inserts a row, one value per column. The INTEGER PRIMARY KEY's value, an
  // integer, sets the rowid; NULL lets SQLite choose. Returns the rowid.
  int64_t Insert(const std::string& table, const std::vector<SqlValue>& values);
  // Rewrites live row `rowid` with `values` (one per column; the INTEGER
  // PRIMARY KEY's is ignored). The old version becomes kPrior unless SQLite
  // stored the very same values.
  void Update(const std::string& table, int64_t rowid, const std::vector<SqlValue>& values);
  // Deletes live row `rowid`, or every live row from `first` to `last` in one
  // statement.
  void Delete(const std::string& table, int64_t rowid);
  void DeleteRange(const std::string& table, int64_t first, int64_t last);

  // The last steps start: in WAL mode what was written so far is checkpointed
  // (the later frames stay in the -wal); in delete mode the rollback journal
  // is kept from now on (journal_mode PERSIST).
  void StartLastSteps();

  // The live rows' rowids, ascending.
  std::vector<int64_t> LiveRowids(const std::string& table) const;

  // Closes the connection (no checkpoint), removes the -shm and returns the
  // truth. Checks that the -wal or the -journal is there, as the mode says.
  Scenario Finish();

 private:
  struct Table {
    TableTruth truth;
    std::vector<ColumnSpec> columns;
    std::vector<Affinity> affinities;
    std::map<int64_t, size_t> live;  // rowid -> index in versions_
  };

  Table& Find(const std::string& name);
  const Table& Find(const std::string& name) const;
  void Exec(const std::string& sql);
  std::string QueryText(const std::string& sql);
  sqlite3_stmt* Prepared(const std::string& sql);
  void ForgetStatements();
  void Bind(sqlite3_stmt* stmt, int index, const SqlValue& value, const std::string& sql);
  void StepDone(sqlite3_stmt* stmt, const std::string& sql);
  [[noreturn]] void Fail(const std::string& sql) const;
  // Reads live row `rowid` back and records it as a new live version.
  void RecordVersion(Table& table, int64_t rowid);
  void MarkGone(Table& table, int64_t rowid, Fate fate);
  std::string SchemaSql(const std::string& table);

  ScenarioOptions options_;
  std::filesystem::path path_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  std::vector<Table> tables_;
  std::vector<RowVersion> versions_;  // in the order they were written
};

}  // namespace quarrow::scenario

#endif  // QUARROW_TOOLS_CARVE_BUILDER_H_
