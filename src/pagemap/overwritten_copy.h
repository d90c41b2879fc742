// The test of old copies whose last bytes were overwritten: an image of a row
// left in a page that was later reused (a leaf that became an interior page,
// a freed cell that a new cell partly covers) is no exact copy of the live
// cell any more, yet it is no deleted data either. Which bytes count:
//
// A record's byte is foreign when the present structure of the page it lies in
// holds it for something else, which overwrote it:
// - the page header and cell pointer array;
// - every cell of the page but the record's own (the cell whose payload starts
//   at the record, in an old page image that still lists it);
// - the first 4 bytes of every freeblock (its link and size);
// - in every page that is no table leaf (table interior, index), the whole cell
//   content area: such a page holds no table record, so one lying there is
//   older than the page's role, and that role has written every byte from the
//   content area's start to the usable end. In a table interior page the area
//   is taken to reach down over the dead cells lying right below its start
//   (a 4-byte child that is another b-tree page of this database, then a
//   minimal rowid varint): cells the page dropped, which moved the start up.
// - in a table leaf, the dead cells that overwrote the record's tail: a cell
//   image starting inside the record (past its first byte) whose payload-size
//   varint and record header agree, and which ends exactly where a cell, the
//   end of a freeblock or the content area begins. Its intact prefix lies over
//   the record's bytes, so it was written after the record; the record's own
//   bytes would pass all three checks only by chance.
// Everything else (the gap, freeblocks' bodies, fragments) may still be the
// record's own and is compared; what differs there keeps the record.
//
// A record is an overwritten copy of a live cell when the live cell has the
// same payload size and the same header bytes (so the same serial types), the
// same rowid when the record's cell prefix (payload-size and rowid varints) is
// still in front of it and not foreign, every non-foreign byte of the record's
// local payload equals the live cell's, and its lead bytes (the header and the
// first kLeadBodyBytes body bytes, or the whole body when shorter) are none
// foreign: a record with less of its own is kept. Without its prefix (a
// freeblock header overwrote it, perhaps with the header-length byte, which
// the serial types then imply) the record is matched without a rowid, as the
// exact copy test matches freed copies; a deleted row whose own bytes all
// equal a live row's (a deleted duplicate) goes with it there too.
// A genuine older version of an edited row keeps the bytes that differ, and so
// stays deleted data; a row whose differing bytes were all overwritten no
// longer holds the older values anyway. A page the map holds no structure for
// (a WAL frame, a journal record, a freelist page) says nothing: its records
// are kept.
// Pure functions over bytes the caller holds; thread-safe.
#ifndef QUARROW_PAGEMAP_OVERWRITTEN_COPY_H_
#define QUARROW_PAGEMAP_OVERWRITTEN_COPY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pagemap/database_walk.h"

namespace quarrow {

// Marks which bytes of [begin, end) of `page` (a whole page image: its usable
// area first) are foreign to the record whose header-length byte lies at
// `record_start` (begin <= record_start < end): foreign[i] is 1 for byte
// begin + i. `header_offset` is 100 for page 1, else 0. `is_btree_page`
// tells whether a page number is another b-tree page of the same database. Returns false (nothing can be said) when the page holds no b-tree
// page header, or [begin, end) reaches into its header, pointer array or past
// its usable area.
bool MarkForeignBytes(std::string_view page, uint32_t header_offset, uint32_t usable_size,
                      uint32_t begin, uint32_t record_start, uint32_t end,
                      const std::function<bool(uint32_t)>& is_btree_page,
                      std::vector<uint8_t>& foreign);

// The rowid of the table-leaf cell prefix that ends right before
// `record_start`: the varint of `payload_size`, then a rowid varint (of 1 to 8
// bytes), lying at or after `floor`. Sets `prefix_start` to its first byte.
// Nothing when the bytes there are no such prefix.
std::optional<int64_t> CellPrefixRowid(std::string_view page, uint32_t floor,
                                       uint32_t record_start, uint64_t payload_size,
                                       uint32_t& prefix_start);

// A record's header as its cell held it, read from `record` (its bytes from
// the header-length byte on). A freeblock header written over the cell's
// prefix may have taken the header-length byte too: when the bytes there give
// no header of `size_hint` bytes of record (the size the caller's column list
// gives, with a one-byte header length; 0 when unknown), the length is
// restored as the serial types after it imply, and `length_restored` is set.
struct RecordHeader {
  std::string bytes;        // the header, header-length varint first
  uint64_t record_size = 0;
  bool length_restored = false;
};
bool ReadRecordHeader(std::string_view record, uint64_t size_hint, RecordHeader& header);

// True iff the lead bytes (LeadSize of `header_size` and the record's size)
// are none foreign and every non-foreign byte of `record` equals `live`'s. All
// three have the same size (the record's local payload).
bool OwnBytesMatch(std::string_view record, std::string_view live,
                   std::span<const uint8_t> foreign, uint64_t header_size);

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_OVERWRITTEN_COPY_H_
