// The command line: parses the arguments, runs one command of the core and
// turns its errors into messages and exit statuses. main() only installs the
// signal handlers and calls this, so tests drive exactly what users run.
#ifndef QUARROW_CLI_CLI_MAIN_H_
#define QUARROW_CLI_CLI_MAIN_H_

#include <atomic>
#include <ostream>

namespace quarrow {

// Exit statuses. kExitBrokenPipe is returned, with nothing printed, when
// standard output is a pipe that nobody reads any more; main() then ends the
// process as SIGPIPE would, as other filters do.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;
inline constexpr int kExitBrokenPipe = 141;

struct CliContext {
  std::ostream& out;  // help, version, and the scan's lines
  std::ostream& err;  // messages, progress, the summary line
  // Progress and the summary line are drawn on `err` only when it is a
  // terminal (and --quiet is not given).
  bool err_is_terminal = false;
  // Set by SIGINT or SIGTERM: the running command stops as the window's Cancel
  // stops it.
  const std::atomic<bool>* cancel = nullptr;
  int stdin_fd = 0;  // what INPUT "-" reads
};

// 0 success; 1 the command failed (its message on `err` after "quarrow-cli: ");
// 2 a usage error (what is wrong, the usage and a pointer to --help on `err`);
// 130 cancelled (the message says what the report holds). A report named "-"
// goes to the process's standard output.
int CliMain(const CliContext& context, int argc, const char* const argv[]);

// The same with no cancel source and standard input as descriptor 0.
int CliMain(std::ostream& out, std::ostream& err, int argc, const char* const argv[],
            bool err_is_terminal = false);

}  // namespace quarrow

#endif  // QUARROW_CLI_CLI_MAIN_H_
