// Table definitions taken from the input itself: its schema read through
// libsqlite3 (read-only, immutable: nothing is created beside the evidence)
// when it opens as a database, else the schema table's records carved out of
// its raw bytes; and the multi-value label table, read the same way.
// Stateless functions; safe to call from any thread.
#ifndef QUARROW_SCHEMA_TABLE_DEFINITIONS_H_
#define QUARROW_SCHEMA_TABLE_DEFINITIONS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quarrow {

// Every table's CREATE TABLE text found in `path`, by table name. The first
// definition found wins. Empty when none is found; never throws for bad bytes
// (only for a file that cannot be opened).
std::map<std::string, std::string> ReadTableDefinitions(const std::string& path);

// The DDL lines (one per column, as LoadColumns reads them) of table `name`
// as `path` defines it, or nothing when it holds no usable definition.
std::optional<std::vector<std::string>> FindTableDdl(const std::string& path,
                                                     const std::string& name);

// `find --table NAME`: the DDL lines of NAME from `schema_from` when it is not
// empty, else from `input_path`. Throws Error naming --ddl when there is none.
std::vector<std::string> TableDdlLines(const std::string& input_path,
                                       const std::string& table_name,
                                       const std::string& schema_from);

// The multi-value label table: label id (rowid) to its text. Empty when the
// file holds none.
std::map<int64_t, std::string> ReadLabelTable(const std::string& path);

}  // namespace quarrow

#endif  // QUARROW_SCHEMA_TABLE_DEFINITIONS_H_
