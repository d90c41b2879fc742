#include <cstdio>
#include <exception>
#include <iostream>
#include <new>

#include "cli/cli_main.h"

#ifdef _WIN32
#include <io.h>
#define QUARROW_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define QUARROW_ISATTY(fd) isatty(fd)
#endif

int main(int argc, char* argv[]) {
  try {
    return quarrow::CliMain(std::cout, std::cerr, argc, argv,
                            QUARROW_ISATTY(fileno(stderr)) != 0);
  } catch (const std::bad_alloc&) {
    std::cerr << "quarrow-cli: out of memory\n";
  } catch (const std::exception& error) {
    std::cerr << "quarrow-cli: " << error.what() << '\n';
  }
  return 1;
}
