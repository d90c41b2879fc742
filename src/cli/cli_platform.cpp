#include "cli/cli_platform.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#else
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quarrow {

#ifdef _WIN32

bool StandardOutputIsBrokenPipe() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (GetFileType(out) != FILE_TYPE_PIPE) return false;
  // An empty write fails only when no reader is left.
  DWORD wrote = 0;
  if (WriteFile(out, "", 0, &wrote, nullptr)) return false;
  const DWORD code = GetLastError();
  return code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE;
}

std::vector<std::string> Utf8Arguments(int argc, char* argv[]) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string argument(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument.data(), length, nullptr, nullptr);
    argument.pop_back();  // the terminating NUL
    arguments.push_back(std::move(argument));
  }
  LocalFree(wide);
  return arguments;
}

void PrepareStandardStreams() {
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
}

#else

bool StandardOutputIsBrokenPipe() {
  struct stat info;
  if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISFIFO(info.st_mode)) return false;
  // A pipe with no reader left reports an error condition on its writing end.
  struct pollfd check = {STDOUT_FILENO, 0, 0};
  return ::poll(&check, 1, 0) == 1 && (check.revents & POLLERR) != 0;
}

std::vector<std::string> Utf8Arguments(int argc, char* argv[]) {
  return std::vector<std::string>(argv, argv + argc);
}

void PrepareStandardStreams() {}

#endif

}  // namespace quarrow
