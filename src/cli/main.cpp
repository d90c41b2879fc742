#include <exception>
#include <iostream>
#include <new>

#include "cli/cli_main.h"
#include "engine/file_io.h"

int main(int argc, char* argv[]) {
  try {
    return quarrow::CliMain(std::cout, std::cerr, argc, argv,
                            quarrow::StandardErrorIsTerminal());
  } catch (const std::bad_alloc&) {
    std::cerr << "quarrow-cli: out of memory\n";
  } catch (const std::exception& error) {
    std::cerr << "quarrow-cli: " << error.what() << '\n';
  }
  return 1;
}
