// Table definitions taken from the input itself: its schema read through
// libsqlite3 (read-only and immutable: nothing is created beside the evidence)
// when it opens as a database, else the schema table's records carved out of
// its raw bytes; and the multi-value label table, read the same way.
// Stateless functions; safe to call from any thread.
#ifndef QUARROW_SCHEMA_TABLE_DEFINITIONS_H_
#define QUARROW_SCHEMA_TABLE_DEFINITIONS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ports.h"
#include "schema/create_table.h"

namespace quarrow {

struct InputSchema {
  enum class Source {
    kNone,      // nothing usable found: callers use their built-in schemas
    kDatabase,  // read through libsqlite3
    kCarved,    // carved out of the raw bytes
  };
  Source source = Source::kNone;
  // Every table's CREATE TABLE text, by table name; the first found wins.
  std::map<std::string, std::string> tables;
  // The multi-value label table: label id (its rowid) to its text.
  std::map<int64_t, std::string> labels;
  // Tables whose definition was carved only cut or damaged (none whole was
  // found): their columns are not known.
  std::set<std::string> unsound;

  // The parsed definition of table `name`, or nothing when the input has none
  // that parses.
  std::optional<TableDefinition> Table(const std::string& name) const;
};

// Reads `path`'s table definitions and label table: through libsqlite3 when
// the file opens as a database that holds a schema; else by carving "CREATE
// TABLE" texts and label records out of the bytes, in one pass (`progress` sees
// it; cancelling it gives what was found so far). Throws Error only when the
// file cannot be opened; bad bytes give an empty result. The other file of a
// WAL-mode database (`path` + "-wal" beside a database, the database beside a
// "-wal" file) adds the tables and labels `path` lacks; it is only read.
InputSchema ReadInputSchema(const std::string& path, ProgressSink* progress = nullptr);

// `find --table NAME`: the DDL lines of NAME from `schema_from` when it is not
// empty, else from `input_path`. Throws Error naming --ddl when there is none.
std::vector<std::string> TableDdlLines(const std::string& input_path,
                                       const std::string& table_name,
                                       const std::string& schema_from);

// The carving half of ReadInputSchema over bytes in memory (for tests and the
// fuzzer): CREATE TABLE texts and label records found in `bytes`.
InputSchema CarveInputSchema(std::string_view bytes);

}  // namespace quarrow

#endif  // QUARROW_SCHEMA_TABLE_DEFINITIONS_H_
