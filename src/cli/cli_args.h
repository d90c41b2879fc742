// The command line's grammar: which commands there are, their options and
// their help texts, parsed into a plain request. Parsing only: nothing is
// opened or read here.
#ifndef QUARROW_CLI_CLI_ARGS_H_
#define QUARROW_CLI_CLI_ARGS_H_

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/run_options.h"

namespace quarrow {

// What the user asked for.
struct CliRequest {
  enum class Kind { kRun, kHelp, kVersion };
  Kind kind = Kind::kRun;
  std::string help_text;  // for kHelp: the program's or one command's help

  std::string command;  // "find", "contacts", "scan" or "map"
  std::string input;    // "-" is standard input
  std::string output;   // "-" is standard output; scan has none
  std::optional<std::string> ddl;     // find --ddl FILE
  std::optional<std::string> table;   // find --table NAME
  bool all_tables = false;            // find --all-tables: OUTPUT is a folder
  std::optional<std::string> offset;  // as typed
  std::optional<std::string> length;  // as typed
  bool write_part = false;               // contacts --parts: OUTPUT is a part for merge
  std::vector<std::string> part_inputs;  // merge: the parts, in any order
  bool merge_to_part = false;            // merge --parts: OUTPUT is a part
  RunOptions options;
  bool quiet = false;
};

// A usage error: what() names the offending argument.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The short usage printed after a usage error.
extern const char* const kCliUsage;

// Parses argv[1..]. Throws UsageError.
CliRequest ParseCommandLine(const std::vector<std::string>& args);

// Every option the help texts name (for the manual page's test).
std::vector<std::string> CliHelpTexts();

}  // namespace quarrow

#endif  // QUARROW_CLI_CLI_ARGS_H_
