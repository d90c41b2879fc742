// Platform file access: POSIX descriptors here, Win32 handles on Windows.
#include "engine/file_io.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>

#include "text_rule/error.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace quarrow {

bool StandardErrorIsTerminal() {
#ifdef _WIN32
  // Only a console has a console mode; _isatty would count NUL as one too.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

#ifdef _WIN32
std::filesystem::path SystemPath(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}
std::string Utf8Path(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}
#else
std::filesystem::path SystemPath(const std::string& path) { return path; }
std::string Utf8Path(const std::filesystem::path& path) { return path.string(); }
#endif

std::string FullPath(const std::string& path) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(SystemPath(path), error);
  return error ? path : Utf8Path(full);
}

void RequireOutputPath(const std::string& output_path) {
  if (output_path.empty()) {
    throw Error("No output file is given: enter the path of the report to write");
  }
}

namespace {

// True iff two full paths name the same file by their spelling alone (for a
// file that does not exist yet): Windows ignores the case of ASCII letters.
bool SameSpelling(const std::string& a, const std::string& b) {
#ifdef _WIN32
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
#else
  return a == b;
#endif
}

}  // namespace

void RefuseOverwritingInput(const std::string& input_path,
                            const std::string& output_path) {
  std::error_code error;
  if (output_path == "-") return;
  if (std::filesystem::equivalent(SystemPath(input_path), SystemPath(output_path), error)) {
    throw Error("The output file \"" + FullPath(output_path) +
                "\" is the input file; choose another output file");
  }
  // The log and journals beside the input are evidence too, whether they
  // exist yet or not.
  for (const char* suffix : {"-wal", "-journal", "-shm"}) {
    const std::string companion = input_path + suffix;
    if (std::filesystem::equivalent(SystemPath(companion), SystemPath(output_path), error) ||
        SameSpelling(FullPath(companion), FullPath(output_path))) {
      throw Error("The output file \"" + FullPath(output_path) + "\" is the input's " +
                  (suffix + 1) + " file; choose another output file");
    }
  }
}

namespace {

constexpr size_t kOutputBufferBytes = size_t{1} << 20;

[[noreturn]] void ThrowFileError(const char* what, const std::string& path,
                                 const std::string& reason) {
  // "-" is standard output, not a file of that name in the current folder.
  if (path == "-") throw Error("Cannot write to standard output. " + reason);
  throw Error(std::string(what) + " \"" + FullPath(path) + "\". " + reason);
}

#ifdef _WIN32
// The reason for a failed call: for the failures Linux knows too, in Linux's
// words, so that a message reads the same on both; otherwise the system's.
std::string SystemReason(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
      return "No such file or directory";
    case ERROR_ACCESS_DENIED:
      return "Permission denied";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "No space left on device";
    case ERROR_WRITE_PROTECT:
      return "Read-only file system";
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return "Broken pipe";
    default:
      break;
  }
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason =
      length == 0 ? "Error " + std::to_string(code) : Utf8Path(std::wstring(text, length));
  LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.'))
    reason.pop_back();
  return reason;
}
// The reason CreateFileW failed on `path`: a folder, which Windows refuses as
// "access denied", is named as Linux names it.
std::string OpenReason(DWORD code, const std::string& path) {
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return "Is a directory";
  return SystemReason(code);
}
std::string LastReason() { return SystemReason(GetLastError()); }
HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
#else
std::string LastReason() { return std::strerror(errno); }
#endif

}  // namespace

void InputFile::RequireRead(int64_t offset, size_t length, size_t done,
                            const std::string& reason) const {
  int64_t expected = std::clamp<int64_t>(size_ - offset, 0, static_cast<int64_t>(length));
  if (static_cast<int64_t>(done) >= expected) return;
  int64_t first = offset + static_cast<int64_t>(done);
  throw Error("Cannot read file \"" + FullPath(path_) + "\". Bytes " +
              std::to_string(first) + " to " + std::to_string(offset + expected - 1) +
              " could not be read: " +
              (reason.empty() ? "the file is shorter than when it was opened "
                                "(it changed while it was read)"
                              : reason));
}

#ifdef _WIN32

InputFile::InputFile(const std::string& path) : path_(path) {
  // Shared with readers only: a file that another program holds open for
  // writing is refused (it may be changing under the scan), and nothing can
  // cut or change this one while it is read. SQLite's own read-only handle
  // and a companion file's share alike.
  HANDLE handle = CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ThrowFileError("Cannot open file", path, OpenReason(GetLastError(), path));
  }
  auto refuse = [&](const std::string& reason) {
    CloseHandle(handle);
    ThrowFileError("Cannot open file", path, reason);
  };
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_PIPE) {
    refuse("It is a pipe or a socket, which cannot be read by position; "
           "copy it into a file first");
  }
  LARGE_INTEGER size;
  if (type != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    refuse(type == FILE_TYPE_DISK ? LastReason()
                                  : "It is a device, which cannot be read by position; "
                                    "copy it into a file first");
  }
  size_ = size.QuadPart;
  handle_ = reinterpret_cast<intptr_t>(handle);
}

InputFile::~InputFile() { CloseHandle(AsHandle(handle_)); }

// Not mapped on Windows: the guard that makes a mapped window safe against a
// shrinking file is a POSIX signal handler, and reads by copying give the same
// bytes.
MappedWindow InputFile::Map(int64_t, size_t) const { return {}; }

size_t InputFile::ReadAt(int64_t offset, size_t length, char* out) const {
  size_t done = 0;
  while (done < length) {
    // Positioned through OVERLAPPED: the handle's own position is not used,
    // so threads may read at once.
    OVERLAPPED at = {};
    const uint64_t position = static_cast<uint64_t>(offset) + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(length - done, size_t{1} << 30));
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), out + done, want, &got, &at)) {
      const DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF) break;  // as a read of 0 bytes on Linux
      RequireRead(offset, length, done, SystemReason(code));
      return done;
    }
    if (got == 0) break;
    done += got;
  }
  RequireRead(offset, length, done, "");
  return done;
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
  if (path == "-") {
    handle_ = reinterpret_cast<intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
    owns_handle_ = false;
    return;
  }
  HANDLE handle = CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ThrowFileError("Cannot create file", path, OpenReason(GetLastError(), path));
  }
  // Truncated in place; a device refuses and needs nothing.
  SetEndOfFile(handle);
  handle_ = reinterpret_cast<intptr_t>(handle);
}

void OutputFile::WriteAll(const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, size_t{1} << 30));
    const bool written = WriteFile(AsHandle(handle_), data + done, want, &wrote, nullptr);
    if (!written || wrote == 0) {
      const std::string reason = written ? SystemReason(ERROR_DISK_FULL) : LastReason();
      buffer_.clear();
      ThrowFileError("Cannot write file", path_, reason);
    }
    done += wrote;
  }
}

// No gathered write for files here: the pieces (often single lines) are
// copied into the buffer, so that the system sees large writes only.
void OutputFile::WriteAllOf(std::span<const std::string_view> pieces) {
  if (buffer_.capacity() < kOutputBufferBytes) buffer_.reserve(kOutputBufferBytes);
  for (std::string_view piece : pieces) {
    if (buffer_.size() + piece.size() > kOutputBufferBytes) Flush();
    if (piece.size() >= kOutputBufferBytes) {
      WriteAll(piece.data(), piece.size());
    } else {
      buffer_.append(piece);
    }
  }
}

namespace {

// Closes an output handle; returns the system's reason when that fails.
std::optional<std::string> CloseOutput(intptr_t handle) {
  if (CloseHandle(AsHandle(handle))) return std::nullopt;
  return LastReason();
}

}  // namespace

#else

InputFile::InputFile(const std::string& path) : path_(path) {
  // Non-blocking, so that opening a pipe with no writer returns at once; the
  // file type is checked before anything is read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) ThrowFileError("Cannot open file", path, LastReason());
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    std::string reason = LastReason();
    ::close(fd);
    ThrowFileError("Cannot open file", path, reason);
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(fd);
    ThrowFileError("Cannot open file", path, std::strerror(EISDIR));
  }
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
    ::close(fd);
    ThrowFileError("Cannot open file", path,
                   "It is a pipe or a socket, which cannot be read by position; "
                   "copy it into a file first");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (S_ISREG(info.st_mode)) {
    size_ = info.st_size;
    mappable_ = true;
  } else {
    // A block device reports its size through seeking, not stat; a pipe cannot
    // be read by position at all, and would scan as empty without a word.
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) {
      std::string reason = LastReason();
      ::close(fd);
      ThrowFileError("Cannot open file", path, reason);
    }
    size_ = end;
  }
  handle_ = fd;
}

InputFile::~InputFile() { ::close(static_cast<int>(handle_)); }

size_t InputFile::ReadAt(int64_t offset, size_t length, char* out) const {
  size_t done = 0;
  while (done < length) {
    ssize_t got = ::pread(static_cast<int>(handle_), out + done, length - done,
                          static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      RequireRead(offset, length, done, LastReason());
      return done;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  RequireRead(offset, length, done, "");
  return done;
}

MappedWindow InputFile::Map(int64_t offset, size_t length) const {
  if (!mappable_ || offset < 0 || offset > size_ ||
      static_cast<uint64_t>(size_ - offset) < length)
    return {};
  return MappedWindow::Map(handle_, offset, length);
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
  if (path == "-") {
    handle_ = STDOUT_FILENO;
    owns_handle_ = false;
    return;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) ThrowFileError("Cannot create file", path, LastReason());
  handle_ = fd;
}

void OutputFile::WriteAll(const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t wrote = ::write(static_cast<int>(handle_), data + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      std::string reason = wrote < 0 ? LastReason() : std::strerror(ENOSPC);
      buffer_.clear();
      ThrowFileError("Cannot write file", path_, reason);
    }
    done += static_cast<size_t>(wrote);
  }
}

void OutputFile::WriteAllOf(std::span<const std::string_view> pieces) {
  Flush();
  // A batch at most the system's limit of pieces per call.
  constexpr size_t kBatch = 1024;
  std::array<iovec, kBatch> batch;
  for (size_t first = 0; first < pieces.size(); first += kBatch) {
    const size_t count = std::min(kBatch, pieces.size() - first);
    for (size_t k = 0; k < count; ++k) {
      batch[k].iov_base = const_cast<char*>(pieces[first + k].data());
      batch[k].iov_len = pieces[first + k].size();
    }
    // A call may write less than it was given (a pipe, a signal): the rest
    // goes in the next, from where it stopped.
    iovec* next = batch.data();
    iovec* const end = batch.data() + count;
    while (next != end) {
      const ssize_t wrote = ::writev(static_cast<int>(handle_), next, static_cast<int>(end - next));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        // Nothing to write is not a failure: a batch of empty pieces.
        if (wrote == 0 && std::all_of(next, end, [](const iovec& v) { return v.iov_len == 0; }))
          break;
        std::string reason = wrote < 0 ? LastReason() : std::strerror(ENOSPC);
        ThrowFileError("Cannot write file", path_, reason);
      }
      auto left = static_cast<size_t>(wrote);
      while (next != end && left >= next->iov_len) left -= (next++)->iov_len;
      if (next != end) {
        next->iov_base = static_cast<char*>(next->iov_base) + left;
        next->iov_len -= left;
      }
    }
  }
}

namespace {

// Closes an output descriptor; returns the system's reason when that fails
// (an interrupted close has closed the descriptor all the same).
std::optional<std::string> CloseOutput(intptr_t handle) {
  if (::close(static_cast<int>(handle)) == 0 || errno == EINTR) return std::nullopt;
  return LastReason();
}

}  // namespace

#endif

void OutputFile::Close() {
  if (handle_ == -1) return;
  // The handle is closed on every path; a failed flush is the error to report.
  std::exception_ptr flush_error;
  try {
    WriteHeld();
    Flush();
  } catch (...) {
    flush_error = std::current_exception();
  }
  std::optional<std::string> close_error;
  if (owns_handle_) close_error = CloseOutput(handle_);
  handle_ = -1;
  if (flush_error) std::rethrow_exception(flush_error);
  if (close_error) ThrowFileError("Cannot write file", path_, *close_error);
}

void OutputFile::Flush() {
  WriteAll(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void OutputFile::WriteHeld() {
  if (held_.empty()) return;
  try {
    WriteAllOf(held_);
  } catch (...) {
    held_.clear();  // as a failed flush drops the buffer
    throw;
  }
  held_.clear();
}

void OutputFile::Write(const char* data, size_t length) {
  WriteHeld();
  if (buffer_.capacity() < kOutputBufferBytes) buffer_.reserve(kOutputBufferBytes);
  if (buffer_.size() + length > kOutputBufferBytes) Flush();
  if (length >= kOutputBufferBytes) {
    WriteAll(data, length);  // a large piece goes out as it is, uncopied
  } else {
    buffer_.append(data, length);
  }
  written_ += static_cast<int64_t>(length);
}

OutputFile::~OutputFile() {
  held_.clear();
  try {
    Close();
  } catch (const Error&) {
    // Only reached when the caller did not Close(); the error was its to see.
  }
}

}  // namespace quarrow
