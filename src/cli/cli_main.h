// The command line: parses the arguments, runs one command of the core and
// turns its errors into messages and exit statuses. main() only calls this,
// so tests drive exactly what users run.
#ifndef QUARROW_CLI_CLI_MAIN_H_
#define QUARROW_CLI_CLI_MAIN_H_

#include <ostream>

namespace quarrow {

// Exit statuses: 0 success, 1 the command failed (message on `err` after
// "quarrow-cli: "), 2 a usage error (usage on `err`). Window-scan lines go to
// `out`; a report named "-" goes to the process's standard output. Progress is
// drawn on `err` only when `err_is_terminal` is set.
int CliMain(std::ostream& out, std::ostream& err, int argc, const char* const argv[],
            bool err_is_terminal = false);

}  // namespace quarrow

#endif  // QUARROW_CLI_CLI_MAIN_H_
