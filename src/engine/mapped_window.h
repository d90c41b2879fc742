// A window of an input file mapped into memory, so that the scan reads the
// page cache's bytes where they lie instead of copying each window first (the
// copy was about a third of a scan of bytes with few candidates).
//
// The catch with a mapping is a file that shrinks while it is mapped: reading a
// byte past its new end raises SIGBUS, which would kill the process. Windows
// are therefore guarded: a SIGBUS raised by a read inside a window, on any
// thread, maps zeros over the page at fault, and the window reports faulted().
// Its bytes are then not the file's: the caller throws away what it made of
// them and reads them again with InputFile::ReadAt, which names the bytes that
// could not be read. A SIGBUS anywhere else keeps its usual action.
//
// At most 64 windows are mapped at once; past that, Map gives an empty window
// (read by copying instead). Only regular files are mapped. Movable, also to
// another thread; not copyable.
#ifndef QUARROW_ENGINE_MAPPED_WINDOW_H_
#define QUARROW_ENGINE_MAPPED_WINDOW_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarrow {

class MappedWindow {
 public:
  // An empty window: the caller reads by copying.
  MappedWindow() = default;
  // Maps `length` bytes at `offset` of the open file `handle` (a POSIX
  // descriptor); empty when the platform or the system refuses, or when 64
  // windows are mapped already.
  static MappedWindow Map(intptr_t handle, int64_t offset, size_t length);
  ~MappedWindow();
  MappedWindow(MappedWindow&& other) noexcept;
  MappedWindow& operator=(MappedWindow&& other) noexcept;
  MappedWindow(const MappedWindow&) = delete;
  MappedWindow& operator=(const MappedWindow&) = delete;

  explicit operator bool() const { return base_ != nullptr; }
  // The file's bytes [offset, offset + length).
  std::string_view bytes() const { return bytes_; }
  // True when a read of the window found bytes the file no longer holds.
  bool faulted() const;

 private:
  void Release();

  void* base_ = nullptr;  // the mapping, from the page boundary below offset
  size_t mapped_ = 0;
  int slot_ = -1;  // its guarded range
  std::string_view bytes_;
};

}  // namespace quarrow

#endif  // QUARROW_ENGINE_MAPPED_WINDOW_H_
