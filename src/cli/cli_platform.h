// The few platform calls of the command line that the core does not make.
#ifndef QUARROW_CLI_CLI_PLATFORM_H_
#define QUARROW_CLI_CLI_PLATFORM_H_

namespace quarrow {

// True iff standard output is a pipe whose reading end is closed: a failed
// write there is the reader's choice (| head), not an error to report.
bool StandardOutputIsBrokenPipe();

}  // namespace quarrow

#endif  // QUARROW_CLI_CLI_PLATFORM_H_
