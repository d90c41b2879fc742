// The table-definition readers. Input: a byte choosing the reader, then text or
// file bytes.
//  - 0: the bytes are a CREATE TABLE text. A definition parsed has 1 to
//    kMaxTableColumns columns, and its DDL lines read back through LoadColumns
//    as the same kinds and names of the same length (respelled where a DDL
//    line cannot carry a character), none suppressed.
//  - 1: the bytes are carved in memory. Every table found has a CREATE TABLE
//    text whose definition, if it parses, holds within the same limits.
//  - otherwise: the bytes are an input file read through libsqlite3 (or
//    carved when it is no database). The reader does not throw, leaves the
//    file as it was and creates nothing beside it.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/columns.h"
#include "schema/create_table.h"
#include "schema/table_definitions.h"
#include "support.h"

namespace {

using namespace quarrow;
using namespace quarrow::fuzz;

void CheckDefinition(const TableDefinition& table) {
  QUARROW_FUZZ_CHECK(!table.columns.empty() && table.columns.size() <= kMaxTableColumns,
                     std::to_string(table.columns.size()) + " columns");
  const ColumnList columns = LoadColumns(DdlLinesOf(table));
  QUARROW_FUZZ_CHECK(columns.size() == table.columns.size(), "DDL lines lost columns");
  for (size_t i = 0; i < columns.size(); ++i) {
    // Names a DDL line cannot carry are respelled character for character.
    const std::string& name = table.columns[i].name;
    QUARROW_FUZZ_CHECK(columns[i].name.size() == std::max<size_t>(name.size(), 1) &&
                           columns[i].name.find_first_of(" *") == std::string::npos,
                       "column " + std::to_string(i) + " reads back as \"" + columns[i].name +
                           "\" for \"" + name + "\"");
    QUARROW_FUZZ_CHECK(columns[i].tp == table.columns[i].kind,
                       "column " + std::to_string(i) + " reads back as another kind");
    QUARROW_FUZZ_CHECK(!columns[i].off, "column " + std::to_string(i) + " reads as suppressed");
  }
}

void CheckSchema(const InputSchema& schema) {
  for (const auto& [name, sql] : schema.tables) {
    if (auto table = ParseCreateTable(sql)) CheckDefinition(*table);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(data, size);
  const uint8_t mode = in.Byte();
  const std::string bytes(in.Rest());
  if (mode == 0) {
    if (auto table = ParseCreateTable(bytes)) CheckDefinition(*table);
    return 0;
  }
  if (mode == 1) {
    CheckSchema(CarveInputSchema(bytes));
    return 0;
  }
  const std::string input = TempFile("schema.db");
  WriteWholeFile(input, bytes);
  const auto folder = std::filesystem::path(input).parent_path();
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++entries;
  CheckSchema(ReadInputSchema(input));
  size_t after = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++after;
  QUARROW_FUZZ_CHECK(after == entries, "a file was created beside the input");
  QUARROW_FUZZ_CHECK(ReadWholeFile(input) == bytes, "the input file changed");
  return 0;
}
