#include "engine/buffer.h"

#include <algorithm>
#include <cstring>

#include "text_rule/error.h"

namespace quarrow {

size_t MemorySource::ReadAt(int64_t offset, size_t length, char* out) const {
  if (offset < 0 || offset >= size()) return 0;
  size_t count = std::min<size_t>(length, bytes_.size() - static_cast<size_t>(offset));
  std::memcpy(out, bytes_.data() + offset, count);
  return count;
}

Buffer::Buffer(std::shared_ptr<const ByteSource> source, int64_t start_offset,
               int64_t length)
    : source_(std::move(source)), start_offset_(start_offset), length_(length) {}

void Buffer::LimitCandidatesToInput(int64_t first, int64_t end) {
  // Offsets before the buffer's start are no candidates of it.
  const auto position = [this](int64_t offset) {
    return offset <= start_offset_ ? 0 : offset - start_offset_;
  };
  LimitCandidates(position(first), end == INT64_MAX ? INT64_MAX : position(end));
}

Buffer Buffer::FromBytes(std::string bytes) {
  int64_t length = static_cast<int64_t>(bytes.size());
  return Buffer(std::make_shared<MemorySource>(std::move(bytes)), 0, length);
}

void Buffer::Read(int64_t p, size_t length, std::string& out) const {
  // Resizing a reused string costs nothing; only bytes not read are zeroed.
  out.resize(length);
  char* data = out.data();
  int64_t from = std::max<int64_t>(p, 0);
  int64_t to = std::min<int64_t>(p + static_cast<int64_t>(length), length_);
  size_t got = 0;
  if (from < to) {
    got = source_->ReadAt(start_offset_ + from, static_cast<size_t>(to - from),
                          data + (from - p));
  }
  // Bytes before position 0, and from the end of what was read on, are zeros.
  size_t head = static_cast<size_t>(std::min<int64_t>(from - p, length));
  std::memset(data, 0, head);
  std::memset(data + head + got, 0, length - head - got);
}

MappedWindow Buffer::Map(int64_t p, size_t length) const {
  if (p < 0 || p > length_ || static_cast<uint64_t>(length_ - p) < length) return {};
  return source_->Map(start_offset_ + p, length);
}

namespace {

void CheckStartOffset(int64_t start_offset) {
  if (start_offset < 0) {
    throw Error("The start offset " + std::to_string(start_offset) +
                " is negative; it must be 0 or more");
  }
}

}  // namespace

Buffer LoadBuffer(const std::string& path,
                  const std::function<BufferShape()>& shape_after_open) {
  auto source = std::make_shared<FileSource>(path);
  BufferShape shape = shape_after_open();
  CheckStartOffset(shape.start_offset);
  int64_t length = shape.length_from == BufferShape::Length::kFileSize
                       ? source->size()
                       : std::max<int64_t>(shape.length, 0);
  return Buffer(std::move(source), shape.start_offset, length);
}

uint8_t BufferView::OutsideAt(int64_t p) const {
  if (p < 0 || p >= size()) return 0;
  uint64_t index = static_cast<uint64_t>(p - block_start_);
  if (index >= block_.size()) {
    // Reads here walk backwards (cell prefixes) or forwards (long headers):
    // a block centred on p serves both.
    constexpr int64_t kBlock = 64 * 1024;
    block_start_ = std::max<int64_t>(p - kBlock / 2, 0);
    buffer_->Read(block_start_, static_cast<size_t>(std::min(kBlock, size() - block_start_)),
                  block_);
    index = static_cast<uint64_t>(p - block_start_);
  }
  return static_cast<uint8_t>(block_[index]);
}

void BufferView::AppendTo(int64_t p, int64_t length, std::string& out) const {
  int64_t end = std::min(p + length, size());
  if (p >= end) return;
  uint64_t index = static_cast<uint64_t>(p - start_);
  if (index < bytes_.size() && static_cast<uint64_t>(end - start_) <= bytes_.size()) {
    out.append(bytes_.data() + index, static_cast<size_t>(end - p));
    return;
  }
  std::string outside;
  buffer_->Read(p, static_cast<size_t>(end - p), outside);
  out += outside;
}

}  // namespace quarrow
