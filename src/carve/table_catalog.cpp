#include "carve/table_catalog.h"

#include <set>

#include "carve/record_values.h"
#include "engine/file_io.h"
#include "pagemap/sqlite_format.h"
#include "schema/table_definitions.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

bool Carvable(const TableDefinition& definition) {
  return !definition.without_rowid && !definition.columns.empty();
}

CatalogTable Entry(const TableDefinition& definition, uint32_t root, bool live,
                   std::string origin) {
  return {{FitTableOf(definition), root, live, {}}, std::move(origin), definition};
}

const FitTable& SchemaTable() {
  static const FitTable table = FitTableOf(*ParseCreateTable(
      "CREATE TABLE sqlite_master(type text, name text, tbl_name text, rootpage integer, "
      "sql text)"));
  return table;
}

// Tables whose schema rows were freed: each freed row of type "table" whose
// name is no live table's, with its root page; the first found wins.
void AddDroppedTables(TableCarver& carver, std::vector<CatalogTable>& catalog,
                      ProgressSink* progress) {
  std::set<std::string> known;
  for (const CatalogTable& table : catalog) known.insert(AsciiLower(table.target.table.name));
  // A table's schema row begins its body with its type, "table", which lies
  // in the cell's own page even when the statement spills: only records
  // just before those bytes are looked at.
  CarveTarget schema{SchemaTable(), 1, true, "table"};
  std::vector<std::string> scratch;
  carver.Carve(schema, {}, [&](const CarvedRecord& record) {
    if (record.recovery == Recovery::kPartial) return;
    std::vector<RecordValue> values = DecodeRecord(record, schema.table, scratch);
    if (values.size() < 5 || values[0].kind != RecordValue::Kind::kText ||
        values[0].bytes != "table" || values[4].kind != RecordValue::Kind::kText)
      return;
    std::optional<TableDefinition> definition = ParseCreateTable(values[4].bytes);
    if (!definition || !Carvable(*definition) || known.count(AsciiLower(definition->name))) return;
    const uint32_t root = values[3].kind == RecordValue::Kind::kInteger &&
                                  values[3].integer > 0 && values[3].integer <= UINT32_MAX
                              ? static_cast<uint32_t>(values[3].integer)
                              : 0;
    known.insert(AsciiLower(definition->name));
    catalog.push_back(Entry(*definition, root, false, "dropped"));
  }, progress);
}

bool IsDatabaseFile(const std::string& path) {
  InputFile file(path);
  char magic[sqlite_format::kDatabaseMagicSize] = {};
  return file.ReadAt(0, sizeof magic, magic) == sizeof magic &&
         sqlite_format::IsDatabaseMagic(reinterpret_cast<const uint8_t*>(magic));
}

// The database whose journal or WAL is at `input_path`, beside it; empty
// when the input is neither or no database lies there.
std::string DatabaseBeside(const std::string& input_path) {
  const std::string database = DatabasePathBeside(input_path);
  try {
    if (!database.empty() && IsDatabaseFile(database)) return database;
  } catch (const std::exception&) {
    // None there, or unreadable: the input's own schema rows are all there is.
  }
  return {};
}

std::vector<CatalogTable> CatalogFromFile(const std::string& path) {
  std::vector<CatalogTable> catalog;
  if (IsDatabaseFile(path)) {
    for (const auto& [name, sql] : ReadInputSchema(path).tables)
      if (auto definition = ParseCreateTable(sql); definition && Carvable(*definition))
        catalog.push_back(Entry(*definition, 0, false, "schema file"));
    return catalog;
  }
  InputFile file(path);
  std::string text(static_cast<size_t>(file.size()), '\0');
  text.resize(file.ReadAt(0, text.size(), text.data()));
  for (const TableDefinition& definition : ParseSchemaText(text))
    if (Carvable(definition)) catalog.push_back(Entry(definition, 0, false, "schema file"));
  return catalog;
}

}  // namespace

std::vector<TableDefinition> ParseSchemaText(std::string_view text) {
  std::vector<TableDefinition> tables;
  size_t at = 0;
  while (at < text.size()) {
    // Statements end at a ';' outside quotes.
    size_t end = at;
    char quote = 0;
    for (; end < text.size(); ++end) {
      const char c = text[end];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '\'' || c == '"' || c == '`' || c == '[') {
        quote = c == '[' ? ']' : c;
      } else if (c == ';') {
        break;
      }
    }
    if (auto table = ParseCreateTable(text.substr(at, end - at))) tables.push_back(*table);
    at = end + 1;
  }
  return tables;
}

std::vector<CatalogTable> ReadCatalog(TableCarver& carver, const std::string& input_path,
                                      const std::string& schema_from, ProgressSink* progress) {
  if (!schema_from.empty()) return CatalogFromFile(schema_from);
  std::vector<CatalogTable> catalog;
  if (carver.image().valid()) {
    for (const SchemaRow& row : carver.image().Schema()) {
      if (row.type != "table") continue;
      if (auto definition = ParseCreateTable(row.sql); definition && Carvable(*definition))
        catalog.push_back(Entry(*definition, row.root_page, true, "database"));
    }
  } else {
    for (const auto& [name, sql] : ReadInputSchema(input_path).tables)
      if (auto definition = ParseCreateTable(sql); definition && Carvable(*definition))
        catalog.push_back(Entry(*definition, 0, false, "carved"));
  }
  AddDroppedTables(carver, catalog, progress);
  // A table dropped before the journal's or the log's transactions began
  // left its freed schema row in the database, not in them.
  if (const std::string database = DatabaseBeside(input_path);
      !database.empty() && carver.image().valid()) {
    TableCarver beside(database, 1);
    AddDroppedTables(beside, catalog, nullptr);
  }
  return catalog;
}

const CatalogTable* FindCatalogTable(const std::vector<CatalogTable>& catalog,
                                     const std::string& name) {
  for (const CatalogTable& table : catalog)
    if (AsciiLower(table.target.table.name) == AsciiLower(name)) return &table;
  return nullptr;
}

}  // namespace quarrow
