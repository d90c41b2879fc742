// Helpers for tests that run whole commands: the command line called in
// process, and a snapshot of a folder (names, bytes and modification times) to
// show that a command left it exactly as it was.
#ifndef QUARROW_TESTS_COMMAND_HELPERS_H_
#define QUARROW_TESTS_COMMAND_HELPERS_H_

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_main.h"
#include "fixtures/sqlite_fixture.h"

namespace quarrow::testing {

struct CliRun {
  int status;
  std::string out;
  std::string err;
};

// Runs `quarrow-cli args...` through CliMain.
inline CliRun RunCli(std::vector<std::string> args) {
  args.insert(args.begin(), "quarrow-cli");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  int status = CliMain(out, err, static_cast<int>(argv.size()), argv.data());
  return {status, out.str(), err.str()};
}

// Every entry of a folder (not recursive): its bytes (files only) and its
// modification time to the nanosecond.
struct FileState {
  std::string bytes;
  int64_t mtime_ns = 0;
  bool operator==(const FileState&) const = default;
};
using FolderSnapshot = std::map<std::string, FileState>;

inline FolderSnapshot Snapshot(const std::filesystem::path& folder) {
  FolderSnapshot snapshot;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    FileState state;
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) == 0) {
      state.mtime_ns = int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
      if (S_ISREG(info.st_mode)) state.bytes = fixtures::ReadFile(entry.path().string());
    }
    snapshot[entry.path().filename().string()] = state;
  }
  return snapshot;
}

// The names in a snapshot, for messages.
inline std::string Names(const FolderSnapshot& snapshot) {
  std::string names;
  for (const auto& [name, state] : snapshot) names += name + " ";
  return names;
}

}  // namespace quarrow::testing

#endif  // QUARROW_TESTS_COMMAND_HELPERS_H_
