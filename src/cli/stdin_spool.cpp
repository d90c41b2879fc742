#include "cli/stdin_spool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "engine/file_io.h"
#include "text_rule/error.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
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
  // Wide names throughout: the temporary folder lies under the user's name,
  // which may hold any character.
  std::wstring pattern = (folder / L"quarrow-stdin-XXXXXX").wstring();
  if (_wmktemp_s(pattern.data(), pattern.size() + 1) != 0)
    Fail("Cannot create a temporary file for standard input", std::strerror(errno));
  int fd = _wopen(pattern.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                  _S_IREAD | _S_IWRITE);
  if (fd >= 0) path = Utf8Path(pattern);
#else
  std::string pattern = (folder / "quarrow-stdin-XXXXXX").string();
  int fd = mkstemp(pattern.data());
#endif
  if (fd < 0) {
    Fail("Cannot create a temporary file for standard input in \"" + Utf8Path(folder) + "\"",
         std::strerror(errno));
  }
#ifndef _WIN32
  path = pattern;
#endif
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
int RemoveFile(const std::string& path) { return _wremove(SystemPath(path).c_str()); }

// The path of the file behind descriptor `fd` when it is a file on a disk
// (standard input redirected from a file), else empty.
std::string PathOfDiskFile(int fd) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) return "";
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetFinalPathNameByHandleW(handle, path.data(),
                                             static_cast<DWORD>(path.size()), 0);
    if (length == 0) return "";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(length);  // the size needed, with its NUL
  }
  // "\\?\C:\..." and "\\?\UNC\server\..." as people write them.
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    path = path.substr(4);
  }
  return Utf8Path(path);
}
#else
ssize_t ReadSome(int fd, char* data, size_t size) { return ::read(fd, data, size); }
ssize_t WriteSome(int fd, const char* data, size_t size) { return ::write(fd, data, size); }
int CloseFd(int fd) { return ::close(fd); }
int RemoveFile(const std::string& path) { return std::remove(path.c_str()); }
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
  // A redirected file is read in place there too, by its name.
  path_ = PathOfDiskFile(fd);
  if (!path_.empty()) return;
  _setmode(fd, _O_BINARY);
#endif
  int out = CreateTemporary(temporary_);
  try {
    Copy(fd, out, temporary_, cancel);
  } catch (...) {
    CloseFd(out);
    RemoveFile(temporary_);
    throw;
  }
  if (CloseFd(out) != 0) {
    std::string reason = std::strerror(errno);
    RemoveFile(temporary_);
    Fail("Cannot write the temporary file \"" + temporary_ + "\" for standard input", reason);
  }
  path_ = temporary_;
}

StandardInputFile::~StandardInputFile() {
  if (!temporary_.empty()) RemoveFile(temporary_);
}

}  // namespace quarrow
