#include "contacts/record_copies.h"

#include <algorithm>

#include "contacts/label_cells.h"
#include "report/sha256.h"

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

CopyKey CopyKeyOf(std::string_view record) {
  const std::string hex = Sha256Hex(record);
  CopyKey key{};
  for (size_t k = 0; k < key.size(); ++k)
    key[k] = static_cast<uint8_t>(HexValue(hex[2 * k]) << 4 | HexValue(hex[2 * k + 1]));
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

void RecordCopies::Add(const CopyKey& key, int id) {
  if (id < 0 || id > LabelCells::kMaxId) return;
  copies_.push_back({key, id});
  // Copies of one record are many in a WAL or a journal: kept once as they come.
  if (copies_.size() >= 2 * compacted_ + 4096) Compact();
}

void RecordCopies::Seal() {
  Compact();
  sealed_ = true;
}

void RecordCopies::Compact() {
  std::sort(copies_.begin(), copies_.end(), [](const Copy& a, const Copy& b) {
    return KeyLess(a.key, b.key) || (a.key == b.key && a.id < b.id);
  });
  // One entry per key: its id, or 0 when its copies disagree.
  size_t kept = 0;
  for (size_t at = 0; at < copies_.size(); ++at) {
    if (kept > 0 && copies_[kept - 1].key == copies_[at].key) {
      if (copies_[kept - 1].id != copies_[at].id) copies_[kept - 1].id = 0;
      continue;
    }
    copies_[kept++] = copies_[at];
  }
  copies_.resize(kept);
  compacted_ = kept;
}

int RecordCopies::IdOf(const CopyKey& key) const {
  if (!sealed_) return 0;
  const auto at = std::lower_bound(copies_.begin(), copies_.end(), key,
                                   [](const Copy& copy, const CopyKey& k) { return KeyLess(copy.key, k); });
  return at != copies_.end() && at->key == key ? at->id : 0;
}

}  // namespace quarrow
