#include "contacts/record_copies.h"

#include <algorithm>

#include "contacts/label_cells.h"
#include <cstring>

namespace quarrow {

namespace {

// A person record is a few hundred bytes; one larger than this is not keyed,
// so that a hostile input's matches cost bounded hashing each.
constexpr uint64_t kMaxCopyRecord = 16 * 1024;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool KeyLess(const CopyKey& a, const CopyKey& b) { return a < b; }

}  // namespace

namespace {

uint64_t RotateLeft(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint64_t FinalMix(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

uint64_t Word(const char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

}  // namespace

// MurmurHash3's 128-bit x64 function (public domain): two lanes mixed by
// multiplication and rotation, 16 bytes a step; a few cycles per record.
CopyKey CopyKeyOf(std::string_view record) {
  constexpr uint64_t c1 = 0x87c37b91114253d5ULL, c2 = 0x4cf5ad432745937fULL;
  uint64_t h1 = 0, h2 = 0;
  const size_t blocks = record.size() / 16;
  const char* data = record.data();
  for (size_t i = 0; i < blocks; ++i) {
    uint64_t k1 = Word(data + 16 * i), k2 = Word(data + 16 * i + 8);
    h1 ^= RotateLeft(k1 * c1, 31) * c2;
    h1 = (RotateLeft(h1, 27) + h2) * 5 + 0x52dce729;
    h2 ^= RotateLeft(k2 * c2, 33) * c1;
    h2 = (RotateLeft(h2, 31) + h1) * 5 + 0x38495ab5;
  }
  const char* tail = data + 16 * blocks;
  const size_t rest = record.size() % 16;
  uint64_t k1 = 0, k2 = 0;
  for (size_t i = rest; i > 8; --i) k2 = (k2 << 8) | static_cast<uint8_t>(tail[i - 1]);
  for (size_t i = std::min<size_t>(rest, 8); i > 0; --i) k1 = (k1 << 8) | static_cast<uint8_t>(tail[i - 1]);
  if (rest > 8) h2 ^= RotateLeft(k2 * c2, 33) * c1;
  if (rest > 0) h1 ^= RotateLeft(k1 * c1, 31) * c2;
  h1 ^= record.size();
  h2 ^= record.size();
  h1 += h2;
  h2 += h1;
  h1 = FinalMix(h1);
  h2 = FinalMix(h2);
  h1 += h2;
  h2 += h1;
  CopyKey key;
  std::memcpy(key.data(), &h1, 8);
  std::memcpy(key.data() + 8, &h2, 8);
  return key;
}

std::optional<CopyKey> RecordCopyKey(const BufferView& view, int64_t position,
                                     const RecordSizes& sizes, bool whole_cell) {
  const uint64_t length_bytes = sizes.header_size < 0x80 ? 1 : sizes.header_size < 0x4000 ? 2 : 3;
  if (sizes.header_size <= length_bytes || sizes.record_size > kMaxCopyRecord) return std::nullopt;
  // A whole cell's header says how many serial types it holds: exactly those
  // read, or its bytes past them would be left out of the comparison.
  if (whole_cell && (length_bytes != 1 || view.At(position) != sizes.header_size))
    return std::nullopt;
  const int64_t start = position + 1;
  const auto size = static_cast<int64_t>(sizes.record_size - length_bytes);
  if (start + size > view.size()) return std::nullopt;
  if (const uint8_t* bytes = view.Span(start, size))
    return CopyKeyOf(std::string_view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size)));
  std::string record;
  record.reserve(static_cast<size_t>(size));
  for (int64_t at = start; at < start + size; ++at) record += static_cast<char>(view.At(at));
  return CopyKeyOf(record);
}

std::string CopyKeyText(const CopyKey& key) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * key.size());
  for (uint8_t byte : key) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

std::optional<CopyKey> ParseCopyKey(std::string_view text) {
  CopyKey key{};
  if (text.size() != 2 * key.size()) return std::nullopt;
  for (size_t k = 0; k < key.size(); ++k) {
    const int high = HexValue(text[2 * k]), low = HexValue(text[2 * k + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    key[k] = static_cast<uint8_t>(high << 4 | low);
  }
  return key;
}

size_t RecordCopies::KeyHash::operator()(const CopyKey& key) const {
  uint64_t head;
  std::memcpy(&head, key.data(), sizeof head);
  return static_cast<size_t>(head);
}

void RecordCopies::Add(const CopyKey& key, int id) {
  if (sealed_ || id < 0 || id > LabelCells::kMaxId) return;
  const auto [it, added] = filling_.try_emplace(key, id);
  if (!added && it->second != id) it->second = 0;
}

void RecordCopies::Seal() {
  if (sealed_) return;
  copies_.reserve(copies_.size() + filling_.size());
  for (const auto& [key, id] : filling_) copies_.push_back({key, id});
  filling_ = {};
  std::sort(copies_.begin(), copies_.end(),
            [](const Copy& a, const Copy& b) { return KeyLess(a.key, b.key); });
  sealed_ = true;
}

int RecordCopies::IdOf(const CopyKey& key) const {
  if (!sealed_) return 0;
  const auto at = std::lower_bound(copies_.begin(), copies_.end(), key,
                                   [](const Copy& copy, const CopyKey& k) { return KeyLess(copy.key, k); });
  return at != copies_.end() && at->key == key ? at->id : 0;
}

}  // namespace quarrow
