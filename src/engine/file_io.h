// The only platform-specific file access of the core: positioned reads of an
// input file and in-place writes of an output file. Everything above it is
// portable. Errors carry the full path and the system's reason.
#ifndef QUARROW_ENGINE_FILE_IO_H_
#define QUARROW_ENGINE_FILE_IO_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mapped_window.h"

namespace quarrow {

// Returns true iff standard error is a terminal (progress is drawn only there).
bool StandardErrorIsTerminal();

// Paths are UTF-8 byte strings everywhere. These convert them to and from the
// system's paths: as they are on POSIX; through UTF-16 on Windows, where a
// narrow std::filesystem::path would take the bytes in the ANSI code page.
std::filesystem::path SystemPath(const std::string& path);
std::string Utf8Path(const std::filesystem::path& path);

// Returns `path` made absolute (not resolving links), as error messages show it.
std::string FullPath(const std::string& path);

// Throws Error when `output_path` is empty: checked before any input is read.
void RequireOutputPath(const std::string& output_path);

// Throws Error when `output_path` names the same file as `input_path`, or one
// of the files SQLite keeps beside it ("<input>-wal", "-journal", "-shm"): a
// report written in place would truncate the evidence before it is read.
void RefuseOverwritingInput(const std::string& input_path,
                            const std::string& output_path);

// An input file opened read-only. Reads are positioned, so one handle serves
// several threads at once. Not copyable.
//
// Its size is taken when it is opened, and every byte below that size must be
// read: a file that shrinks while it is scanned, or a disk that fails, is an
// error that stops the command (exit 1) and names the bytes that could not be
// read, never a run of zeros scanned as if it were data. On Windows the file
// is shared with readers only: one that another program holds open for
// writing is refused, and nothing can change or cut it while it is open.
class InputFile {
 public:
  // Throws Error 'Cannot open file "<full path>". <reason>' when the file cannot
  // be opened for reading or is not a regular file or device. A folder, a pipe
  // or a socket is refused at once: a pipe is never waited on.
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  int64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // Reads up to `length` bytes at `offset` into `out`; returns how many were
  // read (fewer only past size()). Throws Error 'Cannot read file "<full path>".
  // Bytes A to B could not be read: <reason>' when fewer bytes below size()
  // could be read.
  size_t ReadAt(int64_t offset, size_t length, char* out) const;
  // Maps bytes [offset, offset + length) for reading in place; empty when the
  // file is not a regular file, the bytes reach past size(), or the system
  // refuses (see mapped_window.h for a window that faults).
  MappedWindow Map(int64_t offset, size_t length) const;

 private:
  // Throws the read error when `done` bytes at `offset` are fewer than the
  // file held there when it was opened; `reason` is the system's, or empty
  // when the file simply ended early.
  void RequireRead(int64_t offset, size_t length, size_t done,
                   const std::string& reason) const;

  std::string path_;
  int64_t size_ = 0;
  intptr_t handle_ = -1;
  bool mappable_ = false;
};

// An output file opened for writing and truncated in place (never deleted or
// replaced, so devices and pipes keep working), or standard output for "-".
// Writes go through a large buffer. Not copyable.
class OutputFile {
 public:
  // Throws Error 'Cannot create file "<full path>". <reason>'.
  explicit OutputFile(const std::string& path);
  // Flushes what is buffered; errors at this point are lost, so call Close().
  // Bytes still held are dropped: unclosed, the file is being given up (an
  // error unwinding), and what they pointed at may be gone.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Throws Error 'Cannot write file "<full path>". <reason>' ('Cannot write to
  // standard output. <reason>' for "-").
  void Write(const char* data, size_t length);
  void Write(const std::string& text) { Write(text.data(), text.size()); }
  // Takes `bytes` to write after what was written before, without copying
  // them: they must stay as they are until WriteHeld, the next Write or Close,
  // each of which writes what is held first, in one gathered write where the
  // system has one.
  void Hold(std::string_view bytes) {
    held_.push_back(bytes);
    written_ += static_cast<int64_t>(bytes.size());
  }
  // Writes the bytes held. Throws as Write does.
  void WriteHeld();
  // Flushes and closes; throws as Write does. Idempotent.
  void Close();
  // Bytes accepted so far.
  int64_t written() const { return written_; }

 private:
  void Flush();
  // Writes all `size` bytes; throws Error naming the file on failure.
  void WriteAll(const char* data, size_t size);
  // Flushes, then writes all of `pieces` in order; throws as WriteAll does.
  void WriteAllOf(std::span<const std::string_view> pieces);
  std::string path_;
  std::string buffer_;
  std::vector<std::string_view> held_;  // see Hold
  int64_t written_ = 0;
  intptr_t handle_ = -1;
  bool owns_handle_ = true;
};

}  // namespace quarrow

#endif  // QUARROW_ENGINE_FILE_IO_H_
