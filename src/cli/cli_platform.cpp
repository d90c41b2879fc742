#include "cli/cli_platform.h"

#ifndef _WIN32
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quarrow {

bool StandardOutputIsBrokenPipe() {
#ifdef _WIN32
  return false;
#else
  struct stat info;
  if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISFIFO(info.st_mode)) return false;
  // A pipe with no reader left reports an error condition on its writing end.
  struct pollfd check = {STDOUT_FILENO, 0, 0};
  return ::poll(&check, 1, 0) == 1 && (check.revents & POLLERR) != 0;
#endif
}

}  // namespace quarrow
