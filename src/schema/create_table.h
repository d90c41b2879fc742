// Parsing of CREATE TABLE texts as SQLite stores them in its schema table:
// column names (quoted or not), declared types and the kind each gives by
// SQLite's type-affinity rules; table constraints are not columns. Pure
// functions over text; never throws.
#ifndef QUARROW_SCHEMA_CREATE_TABLE_H_
#define QUARROW_SCHEMA_CREATE_TABLE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/columns.h"

namespace quarrow {

struct ColumnDefinition {
  std::string name;           // unquoted
  std::string declared_type;  // as written, words joined by single spaces
  int32_t kind = kAny;        // ColumnKind by the declared type's affinity
};

struct TableDefinition {
  std::string name;  // unquoted, without a schema prefix
  std::vector<ColumnDefinition> columns;
};

// The most columns a definition may have (SQLite's own hard limit).
inline constexpr size_t kMaxTableColumns = 32767;

// Parses "CREATE [TEMP] TABLE [IF NOT EXISTS] [schema.]name (...)". Returns
// nothing for any other text (a view, a virtual table, CREATE TABLE ... AS
// SELECT), for a text cut before its closing parenthesis, and for a table of
// no columns or more than kMaxTableColumns.
std::optional<TableDefinition> ParseCreateTable(std::string_view sql);

// The column kind of a declared type: INTEGER for a type holding "INT" or
// SQLite's REAL affinity (values stored as integers or doubles), TEXT for
// "CHAR", "CLOB" or "TEXT", BLOB for "BLOB", kAny for no type at all and for
// NUMERIC affinity (which keeps texts that do not read as numbers).
int32_t KindOfDeclaredType(std::string_view declared_type);

// One DDL line per column, "name KIND", that LoadColumns reads back as the
// same name and kind. A name that LoadColumns would misread (holding a space,
// "*" or one of the kind words) is spelled so that it reads right.
std::vector<std::string> DdlLinesOf(const TableDefinition& table);

}  // namespace quarrow

#endif  // QUARROW_SCHEMA_CREATE_TABLE_H_
