// The few platform calls of the command line that the core does not make.
#ifndef QUARROW_CLI_CLI_PLATFORM_H_
#define QUARROW_CLI_CLI_PLATFORM_H_

#include <string>
#include <vector>

namespace quarrow {

// True iff standard output is a pipe whose reading end is closed: a failed
// write there is the reader's choice (| head), not an error to report.
bool StandardOutputIsBrokenPipe();

// The program's arguments (`argv` of main) as UTF-8, the encoding of every
// path in the program: as given on POSIX; on Windows taken from the wide
// command line, since the narrow `argv` is in the ANSI code page and has lost
// every character outside it.
std::vector<std::string> Utf8Arguments(int argc, char* argv[]);

// Sets the standard streams up for the command line before anything is
// written: on Windows, standard output binary (no LF made CR LF, so that
// reports and scan lines are the bytes they are on Linux) and a console's
// output read as UTF-8. Nothing to do elsewhere.
void PrepareStandardStreams();

}  // namespace quarrow

#endif  // QUARROW_CLI_CLI_PLATFORM_H_
