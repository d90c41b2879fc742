#include <atomic>
#include <csignal>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#endif

#include "cli/cli_main.h"
#include "cli/cli_platform.h"
#include "engine/file_io.h"

namespace {

// Set by SIGINT and SIGTERM; the running command polls it through its progress
// sink and stops as a Cancel in the window stops it.
std::atomic<bool> cancel_requested{false};

extern "C" void RequestCancel(int) { cancel_requested.store(true); }

void InstallSignalHandlers() {
#ifdef _WIN32
  std::signal(SIGINT, RequestCancel);
  std::signal(SIGBREAK, RequestCancel);  // Ctrl-Break
  std::signal(SIGTERM, RequestCancel);
#else
  // No SA_RESTART: a read of standard input that waits is interrupted, so the
  // copy sees the request.
  struct sigaction action = {};
  action.sa_handler = RequestCancel;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
#ifdef SIGPIPE
  // A closed pipe shows as a failed write, so that the progress line can be
  // wiped before the process ends.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

}  // namespace

int main(int argc, char* argv[]) {
  static_assert(std::atomic<bool>::is_always_lock_free);
  InstallSignalHandlers();
  quarrow::PrepareStandardStreams();
  int status = 1;
  try {
    const std::vector<std::string> arguments = quarrow::Utf8Arguments(argc, argv);
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    status = quarrow::CliMain(
        quarrow::CliContext{std::cout, std::cerr, quarrow::StandardErrorIsTerminal(),
                            &cancel_requested},
        static_cast<int>(pointers.size()), pointers.data());
  } catch (const std::bad_alloc&) {
    std::cerr << "quarrow-cli: out of memory\n";
  } catch (const std::exception& error) {
    std::cerr << "quarrow-cli: " << error.what() << '\n';
  }
#ifdef SIGPIPE
  if (status == quarrow::kExitBrokenPipe) {
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
  }
#endif
  return status;
}
