// The table carver's scenarios: real SQLite databases (made with libsqlite3)
// whose tables had rows deleted, updated and dropped in the ways that leave
// their records in the file for the carver to find, together with the truth:
// every row version that ever existed and what became of it.
//
// A scenario is a family (what is done to the tables), a seed (the values and
// which rows), a page size (512 to 65536) and a journal mode. Each writes, in
// its folder, "db.sqlite" (secure_delete OFF, auto_vacuum NONE) and:
// - wal: "db.sqlite-wal", never checkpointed on close, holding the committed
//   frames of the last steps (some deletions always among them); the earlier
//   steps were checkpointed into the database. No -shm is left.
// - delete: "db.sqlite-journal", the rollback journal of the last steps kept
//   (journal_mode PERSIST) with the old page images it holds.
//
// Families: ipk, noipk, runs, bulk, reuse, overflow, drop, similar, addcol,
// ints and all (every other family in one file, tables named "<family>_...").
// The content is a pure function of the options (a fixed generator, no clock),
// and so, for one SQLite version, are the files. Not thread-safe.
#ifndef QUARROW_TOOLS_CARVE_SCENARIO_H_
#define QUARROW_TOOLS_CARVE_SCENARIO_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carve_record.h"

namespace quarrow::scenario {

enum class Family { kIpk, kNoIpk, kRuns, kBulk, kReuse, kOverflow, kDrop, kSimilar, kAddCol,
                    kInts, kAll };
enum class JournalMode { kWal, kDelete };

// "ipk", "noipk", ..., "all"; and back (std::nullopt for any other name).
std::string_view FamilyName(Family family);
std::optional<Family> FamilyFromName(std::string_view name);
// Every family, kAll last.
const std::vector<Family>& AllFamilies();
// "wal" or "delete".
std::string_view JournalName(JournalMode journal);

struct ScenarioOptions {
  Family family = Family::kIpk;
  uint64_t seed = 1;
  int page_size = 4096;  // a power of two from 512 to 65536
  JournalMode journal = JournalMode::kWal;
};

// What became of a row version: still the table's row, deleted with DELETE,
// in a table dropped while it was live, or replaced by an UPDATE.
enum class Fate { kLive, kDeleted, kDropped, kPrior };
std::string_view FateName(Fate fate);

struct TableTruth {
  std::string name;
  std::string sql;                   // CREATE TABLE as sqlite_master held it last
  std::vector<std::string> columns;  // in table order, added columns included
  int ipk_column = -1;               // the INTEGER PRIMARY KEY's index, or -1
  bool dropped = false;
};

struct RowVersion {
  std::string table;
  int64_t rowid = 0;
  Fate fate = Fate::kLive;
  // One per column of the table as SQLite reads it: the INTEGER PRIMARY KEY
  // as the rowid, a column added after the version was written as its
  // DEFAULT (or NULL).
  std::vector<SqlValue> values;
  std::string record;     // the record bytes SQLite wrote (carve_record.h)
  bool overflow = false;  // the record spilled onto overflow pages
};

struct Scenario {
  ScenarioOptions options;
  std::vector<TableTruth> tables;  // in creation order
  std::vector<RowVersion> rows;    // by table, then rowid, then age (oldest first)
};

// Makes the scenario in the folder `dir` (created when missing), replacing
// db.sqlite and its -wal, -shm and -journal there, and returns its truth.
// Throws std::runtime_error naming the path or statement and SQLite's reason,
// or a bad option.
Scenario MakeCarveScenario(const std::filesystem::path& dir, const ScenarioOptions& options);

// The truth as JSON lines, each ended by LF. First a header:
//   {"family":"ipk","seed":1,"page_size":4096,"journal":"wal","tables":[
//    {"name":"t","columns":["id",...],"ipk":"id"|null,"dropped":false,"sql":"..."}]}
// then one line per row version:
//   {"table":"t","rowid":5,"fate":"live"|"deleted"|"dropped"|"prior",
//    "values":{"id":5,"name":"...",...},"overflow":false,"record":"<hex>"}
// Integers are JSON numbers, reals numbers (RealText), texts strings, blobs
// lowercase hex strings, NULL null.
std::string TruthText(const Scenario& scenario);

}  // namespace quarrow::scenario

#endif  // QUARROW_TOOLS_CARVE_SCENARIO_H_
