// Copies of a person record as a link: when SQLite frees a cell it writes a
// freeblock header over its first four bytes (the payload length and the
// rowid), but the record itself, header and body, survives. Another copy of
// the same record elsewhere in the input (a freelist page, a journal page
// image, a WAL frame, a cell left in unallocated space) may have kept its
// whole cell, and with it the rowid. A record whose rowid is not proven takes
// the rowid of such a copy, and the values of that record id, by `copy`.
//
// Only where certain: the two records must be equal on every byte after the
// header-length varint, serial types and body (compared by a 128-bit hash:
// two records that differ share it by chance once in 2^128; a hostile input
// could craft a pair, but it could as well hold a forged whole copy), and
// every whole copy of those bytes must carry one rowid; copies that disagree
// link nothing. Two persons with equal values in every column
// (dates and identifiers included) are one record to this test: nothing in a
// freed cell tells them apart.
//
// RecordCopies holds one entry per distinct whole record (about 50 bytes). Not
// thread-safe while filled; const methods are, once sealed.
#ifndef QUARROW_CONTACTS_RECORD_COPIES_H_
#define QUARROW_CONTACTS_RECORD_COPIES_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "contacts/record_shape.h"
#include "engine/buffer.h"

namespace quarrow {

// The digest a record's bytes are compared by.
using CopyKey = std::array<uint8_t, 16>;

// The key of the record whose header-length varint ends at `position` of
// `view`, its sizes `sizes` as its serial types give them: its serial types
// and body, the bytes that follow the header-length varint. That varint is
// left out: a freeblock header written over a small cell's first four bytes
// covers it too (a one-byte payload length and a two-byte rowid). With
// `whole_cell` (a cell whose rowid is proven), the header length must agree
// with `sizes`. Nothing when the record runs past the buffer or is larger
// than a person's record can be.
std::optional<CopyKey> RecordCopyKey(const BufferView& view, int64_t position,
                                     const RecordSizes& sizes, bool whole_cell);

// The key of `record` (a record's header and body).
CopyKey CopyKeyOf(std::string_view record);

// A key as 32 lower-case hex digits, and back (nothing for another text).
std::string CopyKeyText(const CopyKey& key);
std::optional<CopyKey> ParseCopyKey(std::string_view text);

class RecordCopies {
 public:
  // Files a whole copy: the record `key` in a cell whose rowid `id` (1 to
  // LabelCells::kMaxId) its payload length proves; `id` 0 says that copies of
  // `key` disagree (ForEachCopy's entries, a shard's part). Other ids are
  // ignored. Before Seal only.
  void Add(const CopyKey& key, int id);
  // Ends filling; IdOf answers from then on.
  void Seal();

  bool empty() const { return copies_.empty(); }
  // The record id every whole copy of `key` carries; 0 when there is none,
  // or copies carry different ids.
  int IdOf(const CopyKey& key) const;
  // Calls `entry` with each key once, in key order, and its id (0: copies
  // disagree); filed again by Add, they say what these do. After Seal.
  template <typename Entry>
  void ForEachCopy(Entry&& entry) const {
    for (const Copy& copy : copies_) entry(copy.key, static_cast<int>(copy.id));
  }

 private:
  // A key is a hash already: its first eight bytes place it.
  struct KeyHash {
    size_t operator()(const CopyKey& key) const;
  };
  struct Copy {
    CopyKey key;
    int32_t id;  // 0: copies disagree
  };
  // While filling, one entry per key (copies of one record are many in a
  // WAL, a journal or an image of several books); sealed, by key.
  std::unordered_map<CopyKey, int32_t, KeyHash> filling_;
  std::vector<Copy> copies_;
  bool sealed_ = false;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_RECORD_COPIES_H_
