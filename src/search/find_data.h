// "Find data": carves every record that fits the DDL editor's column list out
// of a whole input file into a report: tab-separated as specified (the
// default), csv or jsonl (see report/).
#ifndef QUARROW_SEARCH_FIND_DATA_H_
#define QUARROW_SEARCH_FIND_DATA_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ports.h"
#include "engine/run_options.h"

namespace quarrow {

// The DDL editor's 29 lines when the window opens; also the command line's
// column list when no DDL file is given.
std::vector<std::string> InitialDdlLines();

// The csv and jsonl names of the three numbers in front of a record's fields.
inline constexpr const char* kFindNumberNames[3] = {"payload_length", "rowid",
                                                    "header_length"};

// Writes the report. tsv: EF BB BF "TABLE" CR LF, then per match the payload
// length, rowid and header length, then every column's field ("null" when
// suppressed), each followed by a TAB, then CR LF. csv: a header row of
// kFindNumberNames and the columns' names, then one row per match with the
// same fields (a byte-order mark first with `options.bom`). jsonl: one object
// per match, "offset" (the header's byte position in the input) first, then
// the same fields by name; suppressed columns and NULL fields are null.
// `options.threads` sets the scan's workers; `details` and `deleted_only` are
// passed on for the page map (they change nothing yet).
// Throws Error when the output path is empty, the input cannot be opened (before
// the output is touched), the report cannot be created or written, or the
// progress sink cancels (the report then keeps the records found so far, and
// the message says it is incomplete and how many it holds). Returns the number
// of records written.
int64_t FindData(const std::vector<std::string>& ddl_lines,
                 const std::string& input_path, const std::string& output_path,
                 ProgressSink* progress = nullptr, const RunOptions& options = {});

// The command as the window and the command line run it: FindData over the
// editor's current lines, then the report loaded into the view. Returns the
// number of records written.
int64_t FindDataCommand(const DdlEditor& editor, const std::string& input_path,
                        const std::string& output_path, OutputView& view,
                        ProgressSink* progress = nullptr, const RunOptions& options = {});

}  // namespace quarrow

#endif  // QUARROW_SEARCH_FIND_DATA_H_
