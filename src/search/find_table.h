// "Find data" by a known definition: `find --table NAME` carves the table NAME
// of the input's catalog (carve/table_catalog.h: live, dropped, carved, or
// from `--schema-from`) with the whole-cell rule and freed cells rebuilt
// (carve/table_carver.h), and `find --all-tables` carves every table of the
// catalog into a folder. The DDL editor's lines keep the specified rule
// (find_data.h).
//
// A line: the payload length, the rowid and the header length (empty when
// destroyed), then every column's value: integers in decimal, reals in their
// shortest exact decimal form, texts as their bytes, blobs in lowercase hex,
// NULL and lost values empty (null in jsonl); an INTEGER PRIMARY KEY column
// shows the rowid. With `details`: the record's offset, STATUS (where it
// lies), STATE (live, prior, deleted, unknown) and RECOVERY (intact, rebuilt,
// partial). `deleted_only` keeps deleted and unknown records, less unknown
// ones equal to a live row.
#ifndef QUARROW_SEARCH_FIND_TABLE_H_
#define QUARROW_SEARCH_FIND_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ports.h"
#include "engine/run_options.h"

namespace quarrow {

// Writes table `table_name`'s report to `output_path` ("-": standard output).
// Throws Error when the output path is empty, the input cannot be opened, the
// table has no definition (naming --ddl), the report cannot be written, or the
// progress sink cancels. Returns the number of records written.
int64_t FindTable(const std::string& input_path, const std::string& table_name,
                  const std::string& output_path, ProgressSink* progress = nullptr,
                  const RunOptions& options = {});

// Writes every table's report to `output_dir` (created when missing) as
// "<table>.<tsv|csv|jsonl>", names made safe for any file system, plus
// "tables.tsv": each table, where its definition came from, its column count
// and its records by status. Returns the number of records written in all.
int64_t FindAllTables(const std::string& input_path, const std::string& output_dir,
                      ProgressSink* progress = nullptr, const RunOptions& options = {});

// A table the input defines, as the window lists it.
struct TableListing {
  std::string name;
  std::string origin;                   // "database", "dropped", "carved", "schema file"
  std::vector<std::string> ddl_lines;   // its columns as DDL lines, for the editor
};

// The tables of the input's catalog (live, dropped, carved; or `schema_from`'s).
// Throws Error when the input cannot be opened.
std::vector<TableListing> ListTables(const std::string& input_path,
                                     const std::string& schema_from = "",
                                     ProgressSink* progress = nullptr);

// The command as the window runs it when a listed table is chosen: the
// table's DDL lines (its listing's) into the editor, FindTable, then the
// report into the view.
int64_t FindTableCommand(DdlEditor& editor, const TableListing& table,
                         const std::string& input_path, const std::string& output_path,
                         OutputView& view, ProgressSink* progress = nullptr,
                         const RunOptions& options = {});

// A table name as a file name any file system takes: bytes other than ASCII
// letters, digits, '-' and '_' become '_'; device names of Windows and a
// leading dot are prefixed with '_'; never empty.
std::string SafeFileName(const std::string& name);

}  // namespace quarrow

#endif  // QUARROW_SEARCH_FIND_TABLE_H_
