// The buffer a search works on: N bytes, the first of them file bytes from a
// start offset, every byte past what the file holds a zero. It is not held in
// memory as a whole: bytes are read on demand through a byte source, so inputs
// of any size scan in bounded memory. BufferView is a window of it held in
// memory, through which the hot loop reads.
//
// Read errors: only bytes past the file's end (as it was when opened) are
// zeros. A file source that cannot deliver bytes below that end (the file
// shrank while it was scanned, or the disk failed) throws Error naming the
// bytes; the error leaves Read, the view and the scan, and the command stops
// with that message.
#ifndef QUARROW_ENGINE_BUFFER_H_
#define QUARROW_ENGINE_BUFFER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "engine/file_io.h"

namespace quarrow {

// Where a buffer's bytes come from. Implementations must allow concurrent reads.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int64_t size() const = 0;
  // Reads up to `length` bytes at `offset` (0 <= offset); returns the count read,
  // fewer only past size(). Throws Error when bytes below size() cannot be read.
  virtual size_t ReadAt(int64_t offset, size_t length, char* out) const = 0;
  // Maps bytes [offset, offset + length) for reading in place, where the
  // source can; an empty window means: read them with ReadAt.
  virtual MappedWindow Map(int64_t /*offset*/, size_t /*length*/) const { return {}; }
};

// Bytes held in memory: the one-buffer reference, and small inputs in tests.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  int64_t size() const override { return static_cast<int64_t>(bytes_.size()); }
  size_t ReadAt(int64_t offset, size_t length, char* out) const override;

 private:
  std::string bytes_;
};

// An open input file as a byte source.
class FileSource : public ByteSource {
 public:
  explicit FileSource(const std::string& path) : file_(path) {}
  int64_t size() const override { return file_.size(); }
  size_t ReadAt(int64_t offset, size_t length, char* out) const override {
    return file_.ReadAt(offset, length, out);
  }
  MappedWindow Map(int64_t offset, size_t length) const override {
    return file_.Map(offset, length);
  }

 private:
  InputFile file_;
};

class Buffer {
 public:
  Buffer(std::shared_ptr<const ByteSource> source, int64_t start_offset,
         int64_t length);
  // A buffer holding exactly `bytes`.
  static Buffer FromBytes(std::string bytes);

  int64_t size() const { return length_; }
  int64_t start_offset() const { return start_offset_; }
  // The candidates a scan tries: buffer positions [first, end). Every byte
  // stays readable as context, so a shard of the input finds exactly what the
  // whole scan finds there. By default every position.
  void LimitCandidates(int64_t first, int64_t end) {
    candidates_first_ = first;
    candidates_end_ = end;
  }
  // The same in input offsets (a --range): [first, end) less start_offset().
  void LimitCandidatesToInput(int64_t first, int64_t end);
  int64_t candidates_first() const { return candidates_first_; }
  int64_t candidates_end() const { return candidates_end_; }
  // Copies bytes [p, p + length) into `out` (resized to length); bytes outside
  // [0, size()) read as 0.
  void Read(int64_t p, size_t length, std::string& out) const;
  // Maps bytes [p, p + length) for reading in place when they are all file
  // bytes of a source that maps; else an empty window (use Read). A window
  // that faulted() holds zeros where the file shrank: read it again with Read.
  MappedWindow Map(int64_t p, size_t length) const;

 private:
  std::shared_ptr<const ByteSource> source_;
  int64_t start_offset_;
  int64_t length_;
  int64_t candidates_first_ = 0;
  int64_t candidates_end_ = INT64_MAX;
};

// How a command obtains its buffer length and start offset: the file's size, 0,
// or a number converted from a field text.
struct BufferShape {
  enum class Length { kFileSize, kNumber };
  Length length_from = Length::kFileSize;
  int64_t length = 0;  // for kNumber
  int64_t start_offset = 0;
};

// Opens the file (throwing the file-open error first), then asks
// `shape_after_open` for the length and start offset (it may throw a conversion
// error; the file is closed then). A negative start offset is refused with a
// clear message. Bytes past the file's end read as zeros.
Buffer LoadBuffer(const std::string& path,
                  const std::function<BufferShape()>& shape_after_open);

// A window of a buffer held in memory: bytes [start, start + bytes.size()).
// Reads outside the window fall back to the buffer, a block at a time, so that
// a walk back across a long run of bytes costs block reads, not one read per
// byte. The view never outlives the bytes it points to. Not thread-safe: each
// scanning thread has its own.
class BufferView {
 public:
  BufferView(const Buffer& buffer, int64_t start, std::string_view bytes)
      : buffer_(&buffer), start_(start), bytes_(bytes) {}

  int64_t size() const { return buffer_->size(); }
  // The window: the buffer's bytes from position start() on, as the view holds
  // them (valid as long as the view's bytes).
  int64_t start() const { return start_; }
  std::string_view bytes() const { return bytes_; }
  uint8_t At(int64_t p) const {
    uint64_t index = static_cast<uint64_t>(p - start_);
    if (index < bytes_.size()) return static_cast<uint8_t>(bytes_[index]);
    return OutsideAt(p);
  }
  // Returns the bytes [p, p + length) when the window holds all of them and they
  // lie inside the buffer, else nullptr. Valid as long as the view.
  const uint8_t* Span(int64_t p, int64_t length) const {
    uint64_t index = static_cast<uint64_t>(p - start_);
    if (p < 0 || p + length > size() || index > bytes_.size() ||
        static_cast<uint64_t>(length) > bytes_.size() - index)
      return nullptr;
    return reinterpret_cast<const uint8_t*>(bytes_.data()) + index;
  }
  // Appends bytes [p, p + length) to `out`, cut at the buffer's end; p >= 0.
  void AppendTo(int64_t p, int64_t length, std::string& out) const;

 private:
  uint8_t OutsideAt(int64_t p) const;

  const Buffer* buffer_;
  int64_t start_;
  std::string_view bytes_;
  // The block last read outside the window.
  mutable std::string block_;
  mutable int64_t block_start_ = 0;
};

}  // namespace quarrow

#endif  // QUARROW_ENGINE_BUFFER_H_
