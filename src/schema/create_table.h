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
  bool not_null = false;      // NOT NULL
  bool primary_key = false;   // PRIMARY KEY, on the column or in a table constraint
  // The DEFAULT's literal as SQLite reads it back for rows written before an
  // ADD COLUMN: a number or string literal (unquoted), NULL, TRUE or FALSE.
  // Empty when there is none or it is an expression.
  std::optional<std::string> default_value;
  bool default_is_text = false;  // the literal was a quoted string
};

struct TableDefinition {
  std::string name;  // unquoted, without a schema prefix
  std::vector<ColumnDefinition> columns;
  bool without_rowid = false;  // WITHOUT ROWID: rows are index records, no rowid
  bool composite_key = false;  // PRIMARY KEY(a, b, ...) of several columns

  // The column that aliases the rowid (a column declared "INTEGER PRIMARY
  // KEY", alone in the key, of a rowid table), or -1.
  int RowidColumn() const;
};

// The most columns a definition may have (SQLite's own hard limit).
inline constexpr size_t kMaxTableColumns = 32767;

// Parses "CREATE [TEMP] TABLE [IF NOT EXISTS] [schema.]name (...)". Returns
// nothing for any other text (a view, a virtual table, CREATE TABLE ... AS
// SELECT), for a text cut before its closing parenthesis, for a column whose
// type is followed by a byte that is no SQL token (punctuation other than
// parentheses, commas and dots, control bytes) before its constraints, and
// for a table of no columns or more than kMaxTableColumns.
std::optional<TableDefinition> ParseCreateTable(std::string_view sql);

// The column kind of a declared type: INTEGER for a type holding "INT" or
// SQLite's REAL affinity (values stored as integers or doubles), TEXT for
// "CHAR", "CLOB" or "TEXT", BLOB for "BLOB", kAny for no type at all and for
// NUMERIC affinity (which keeps texts that do not read as numbers).
int32_t KindOfDeclaredType(std::string_view declared_type);

// `name` with ASCII letters lowered: table names compare as SQLite compares
// them, case folded in ASCII only.
std::string AsciiLower(std::string_view name);

// One DDL line per column, "name KIND", that LoadColumns reads back as the
// same name and kind. A name that LoadColumns would misread (holding a space,
// "*" or one of the kind words) is spelled so that it reads right.
std::vector<std::string> DdlLinesOf(const TableDefinition& table);

}  // namespace quarrow

#endif  // QUARROW_SCHEMA_CREATE_TABLE_H_
