#include "cli/stdin_spool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "text_rule/error.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quarrow {

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& reason) {
  throw Error(what + ". " + reason);
}

// Creates a new, empty file in the temporary folder; returns its descriptor and
// sets `path`.
int CreateTemporary(std::string& path) {
  std::filesystem::path folder;
  std::error_code error;
  folder = std::filesystem::temp_directory_path(error);
  if (error) folder = ".";
#ifdef _WIN32
  std::string pattern = (folder / "quarrow-stdin-XXXXXX").string();
  if (_mktemp_s(pattern.data(), pattern.size() + 1) != 0)
    Fail("Cannot create a temporary file for standard input", std::strerror(errno));
  int fd = _open(pattern.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, 0600);
#else
  std::string pattern = (folder / "quarrow-stdin-XXXXXX").string();
  int fd = mkstemp(pattern.data());
#endif
  if (fd < 0) {
    Fail("Cannot create a temporary file for standard input in \"" + folder.string() + "\"",
         std::strerror(errno));
  }
  path = pattern;
  return fd;
}

#ifdef _WIN32
using ssize_t = int;
ssize_t ReadSome(int fd, char* data, size_t size) {
  return _read(fd, data, static_cast<unsigned>(size));
}
ssize_t WriteSome(int fd, const char* data, size_t size) {
  return _write(fd, data, static_cast<unsigned>(size));
}
int CloseFd(int fd) { return _close(fd); }
#else
ssize_t ReadSome(int fd, char* data, size_t size) { return ::read(fd, data, size); }
ssize_t WriteSome(int fd, const char* data, size_t size) { return ::write(fd, data, size); }
int CloseFd(int fd) { return ::close(fd); }
#endif

void WriteAll(int fd, const char* data, size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t wrote = WriteSome(fd, data, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      Fail("Cannot write the temporary file \"" + path + "\" for standard input",
           std::strerror(wrote < 0 ? errno : ENOSPC));
    }
    data += wrote;
    size -= static_cast<size_t>(wrote);
  }
}

void Copy(int from, int to, const std::string& path, const std::atomic<bool>* cancel) {
  std::vector<char> block(size_t{1} << 20);
  for (;;) {
    if (cancel && cancel->load()) {
      throw Error("Reading standard input was cancelled; nothing was written");
    }
    ssize_t got = ReadSome(from, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("Cannot read standard input", std::strerror(errno));
    if (got == 0) return;
    WriteAll(to, block.data(), static_cast<size_t>(got), path);
  }
}

}  // namespace

StandardInputFile::StandardInputFile(const std::atomic<bool>* cancel, int fd) {
#ifndef _WIN32
  // A redirected regular file can be read by position as it is.
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    path_ = "/dev/fd/" + std::to_string(fd);
    return;
  }
#else
  _setmode(fd, _O_BINARY);
#endif
  int out = CreateTemporary(temporary_);
  try {
    Copy(fd, out, temporary_, cancel);
  } catch (...) {
    CloseFd(out);
    std::remove(temporary_.c_str());
    throw;
  }
  if (CloseFd(out) != 0) {
    std::string reason = std::strerror(errno);
    std::remove(temporary_.c_str());
    Fail("Cannot write the temporary file \"" + temporary_ + "\" for standard input", reason);
  }
  path_ = temporary_;
}

StandardInputFile::~StandardInputFile() {
  if (!temporary_.empty()) std::remove(temporary_.c_str());
}

}  // namespace quarrow
