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
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

std::string FullPath(const std::string& path) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::absolute(path, error);
  return error ? path : full.string();
}

void RequireOutputPath(const std::string& output_path) {
  if (output_path.empty()) {
    throw Error("No output file is given: enter the path of the report to write");
  }
}

void RefuseOverwritingInput(const std::string& input_path,
                            const std::string& output_path) {
  std::error_code error;
  if (output_path == "-") return;
  if (std::filesystem::equivalent(input_path, output_path, error)) {
    throw Error("The output file \"" + FullPath(output_path) +
                "\" is the input file; choose another output file");
  }
  // The log and journals beside the input are evidence too, whether they
  // exist yet or not.
  for (const char* suffix : {"-wal", "-journal", "-shm"}) {
    const std::string companion = input_path + suffix;
    if (std::filesystem::equivalent(companion, output_path, error) ||
        FullPath(companion) == FullPath(output_path)) {
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
std::string SystemReason(DWORD code) {
  char text[512] = {};
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      text, sizeof text, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
    reason.pop_back();
  return reason;
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
  // Opened without sharing: a file another program holds open is refused, as
  // the user expects of a file that may still be changing.
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) ThrowFileError("Cannot open file", path, LastReason());
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size)) {
    std::string reason = LastReason();
    CloseHandle(handle);
    ThrowFileError("Cannot open file", path, reason);
  }
  size_ = size.QuadPart;
  handle_ = reinterpret_cast<intptr_t>(handle);
}

InputFile::~InputFile() { CloseHandle(AsHandle(handle_)); }

MappedWindow InputFile::Map(int64_t, size_t) const { return {}; }

size_t InputFile::ReadAt(int64_t offset, size_t length, char* out) const {
  size_t done = 0;
  while (done < length) {
    OVERLAPPED at = {};
    uint64_t position = static_cast<uint64_t>(offset) + done;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    DWORD want = static_cast<DWORD>(std::min<size_t>(length - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), out + done, want, &got, &at)) {
      RequireRead(offset, length, done, LastReason());
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
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) ThrowFileError("Cannot create file", path, LastReason());
  // Truncate in place; devices refuse and need nothing.
  SetEndOfFile(handle);
  handle_ = reinterpret_cast<intptr_t>(handle);
}

void OutputFile::WriteAll(const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    DWORD wrote = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    if (!WriteFile(AsHandle(handle_), data + done, want, &wrote, nullptr)) {
      buffer_.clear();
      ThrowFileError("Cannot write file", path_, LastReason());
    }
    done += wrote;
  }
}

void OutputFile::WriteAllOf(std::span<const std::string_view> pieces) {
  Flush();
  for (std::string_view piece : pieces) WriteAll(piece.data(), piece.size());
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
