// "Find data": carves every record that fits the DDL editor's column list out
// of a whole input file into a tab-separated report.
#ifndef QUARROW_SEARCH_FIND_DATA_H_
#define QUARROW_SEARCH_FIND_DATA_H_

#include <string>
#include <vector>

#include "engine/ports.h"

namespace quarrow {

// The DDL editor's 29 lines when the window opens; also the command line's
// column list when no DDL file is given.
std::vector<std::string> InitialDdlLines();

// Writes the report: EF BB BF "TABLE" CR LF, then per match the payload length,
// rowid and header length, then every column's field ("null" when suppressed),
// each followed by a TAB, then CR LF. Throws Error when the output path is empty,
// the input cannot be opened (before the output is touched), the report cannot be
// created or written, or the progress sink cancels (the report then keeps the
// lines found so far). Returns the number of records written.
int64_t FindData(const std::vector<std::string>& ddl_lines,
                 const std::string& input_path, const std::string& output_path,
                 ProgressSink* progress = nullptr);

// The command as the window and the command line run it: FindData over the
// editor's current lines, then the report loaded into the view.
void FindDataCommand(const DdlEditor& editor, const std::string& input_path,
                     const std::string& output_path, OutputView& view,
                     ProgressSink* progress = nullptr);

}  // namespace quarrow

#endif  // QUARROW_SEARCH_FIND_DATA_H_
