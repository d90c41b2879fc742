// The tables an input defines, for `find --table` and `--all-tables`: the live
// tables of its database; dropped tables, whose freed schema records (rows of
// the schema table in freeblocks and freelist pages) still hold their CREATE
// TABLE text and root page; and, for an input with no database, the CREATE
// TABLE texts carved out of its bytes. `--schema-from` replaces them all with
// another file's: a database, or a text of CREATE TABLE statements.
#ifndef QUARROW_CARVE_TABLE_CATALOG_H_
#define QUARROW_CARVE_TABLE_CATALOG_H_

#include <string>
#include <vector>

#include "carve/table_carver.h"
#include "engine/ports.h"

namespace quarrow {

struct CatalogTable {
  CarveTarget target;
  // "database", "dropped", "carved" or "schema file".
  std::string origin;
  TableDefinition definition;  // as parsed, for the DDL lines the window shows
};

// The catalog of the input `carver` reads (at `input_path`). Throws Error when
// `schema_from` cannot be read. Tables without rowids and virtual tables are
// left out (their rows are not table-leaf cells).
std::vector<CatalogTable> ReadCatalog(TableCarver& carver, const std::string& input_path,
                                      const std::string& schema_from,
                                      ProgressSink* progress = nullptr);

// The CREATE TABLE statements of a text (statements ended by ';').
std::vector<TableDefinition> ParseSchemaText(std::string_view text);

// The catalog's table named `name` (ASCII case folded), or null.
const CatalogTable* FindCatalogTable(const std::vector<CatalogTable>& catalog,
                                     const std::string& name);

}  // namespace quarrow

#endif  // QUARROW_CARVE_TABLE_CATALOG_H_
