// A window of an input file mapped into memory, so that the scan reads the
// page cache's bytes where they lie instead of copying each window first (the
// copy was about a third of a scan of bytes with few candidates).
//
// The catch with a mapping is a file that shrinks while it is mapped: reading a
// byte past its new end raises SIGBUS, which would kill the process. A window
// therefore guards itself: a SIGBUS raised by a read inside the thread's
// current window maps zeros over the page at fault, and the window reports
// faulted(). Its bytes are then not the file's: the caller throws away what it
// made of them and reads the window again with InputFile::ReadAt, which names
// the bytes that could not be read. A SIGBUS anywhere else keeps its usual
// action.
//
// One guarded window per thread at a time: while a thread holds one, mapping
// another gives an empty window (read by copying instead). Only regular files
// are mapped. Not copyable; movable within the thread that mapped it.
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
  // descriptor); empty when the platform or the system refuses, or when this
  // thread already holds a window.
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
  std::string_view bytes_;
};

}  // namespace quarrow

#endif  // QUARROW_ENGINE_MAPPED_WINDOW_H_
