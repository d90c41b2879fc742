// Helpers for tests that run whole commands: the command line called in
// process, and a snapshot of a folder (names, bytes and modification times) to
// show that a command left it exactly as it was.
#ifndef QUARROW_TESTS_COMMAND_HELPERS_H_
#define QUARROW_TESTS_COMMAND_HELPERS_H_

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_main.h"
#include "engine/file_io.h"
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

// The modification time of `path` (of a link itself, not its target) in
// nanoseconds; 0 when it cannot be read.
inline int64_t ModifiedNs(const std::filesystem::path& path) {
#ifdef _WIN32
  // No lstat here; the system keeps times in steps of 100 ns.
  std::error_code error;
  const auto time = std::filesystem::last_write_time(path, error);
  return error ? 0
               : std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch())
                     .count();
#else
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
#endif
}

inline FolderSnapshot Snapshot(const std::filesystem::path& folder) {
  FolderSnapshot snapshot;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    FileState state;
    state.mtime_ns = ModifiedNs(entry.path());
    if (entry.is_regular_file() && !entry.is_symlink()) {
      std::ifstream in(entry.path(), std::ios::binary);  // the path's own encoding
      state.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    snapshot[Utf8Path(entry.path().filename())] = state;
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
