// A record read by its own header when its table has grown since it was
// written. A phone's address book adds columns to its tables over the years
// (34 person columns, then 36, then 38; 6 multi-value columns, then 7), and a
// record written before that has fewer columns than the input's definition.
// Scanned with the whole definition, such a record is either missed or read
// with its first values taken for the missing serial types. So the scan
// matches the columns every layout shares (the built-in ones), and each match
// is then read as SQLite reads a record: its columns are the serial types its
// header holds, the ones it lacks are NULL, its values start where its header
// ends.
//
// How many columns a match has, in this order:
// 1. Its header length, when its header holds whole serial types ending
//    exactly there, at least the shared ones, and the cell around it is
//    sound: whole (the payload length in front is the record's size), or
//    freed, the freeblock header SQLite wrote over its payload length and
//    rowid giving the cell's size (the cell alone, or with a freeblock right
//    after it), and no more columns than the definition.
// 2. Where that freeblock header overwrote the header length too, its size,
//    left in front of the serial types, tells the cell's size, which one
//    column count gives (the cell alone, or with a freeblock right after it).
// 3. Else the whole definition, as a scan with it would have read the match.
// 4. Else rules 1 and 2 with the freeblock holding the cell and the free
//    space it took in later: fragments and cells freed after it, left whole.
//    (Weaker: a cell SQLite wrote later into the freed space, freed again,
//    can make another count seem to fit where the record's tail was.)
// A match none of these fits is no record of the table. Columns the record has
// beyond the definition are skipped.
//
// The same reading serves a definition that may be narrower than the table's
// records: the built-in one, where the input's own definition was found only
// damaged or cut. Rules 1 and 2 (strong) then take records of more columns
// than it too.
//
// Immutable once built; Shape is const and thread-safe (the scan's workers
// call it, each with its own output columns).
#ifndef QUARROW_CONTACTS_RECORD_SHAPE_H_
#define QUARROW_CONTACTS_RECORD_SHAPE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/scan.h"

namespace quarrow {

// A record's header size (its length varint included) and whole size.
struct RecordSizes {
  uint64_t header_size = 0;
  uint64_t record_size = 0;
  uint64_t largest_field = 0;  // the largest serial type's size (a sum may wrap past it)
};

// The sizes of a record whose header holds the serial types of `columns`
// (their serial and seg) after its own length varint, as SQLite writes it.
RecordSizes SizesOf(const ColumnList& columns);

// A record as its cell and header give it, at a match whose header-length
// varint ends at `position`.
struct CellRecord {
  uint64_t header_size = 0;  // from the header-length varint; 0 when no header is there
  uint64_t record_size = 0;  // the header plus the sizes of its serial types
  int64_t header_start = 0;  // where the header-length varint starts
  size_t columns = 0;        // its serial types
  std::optional<int64_t> rowid;  // when the payload length in front agrees
};

// Reads the record at `position` of `view`: its header when whole serial types
// end exactly at its length, and the rowid in front when the payload length
// before it is the record's size, as SQLite writes it (SQLite overwrites both
// with a freeblock header when it frees the cell). With `one_byte_length`,
// the header length is the byte at `position` alone, whatever the bytes
// before it (a freeblock header's size may end in a byte with the high bit
// set, which a varint would take in).
CellRecord ReadCellRecord(const BufferView& view, int64_t position,
                          bool one_byte_length = false);

// ReadCellRecord(view, position).rowid, without reading the header where the
// bytes in front of the rowid cannot be a record's payload length: most
// matches that are no whole cell (a freed one, whose payload length and rowid
// a freeblock header overwrote; stray bytes) end there.
std::optional<int64_t> CellRowid(const BufferView& view, int64_t position);

// The same for a match as the scan found it, `sizes` SizesOf its columns as
// matched: where their serial types are the whole header, it is not read
// again.
std::optional<int64_t> MatchedCellRowid(const Match& match, const RecordSizes& sizes);

// A match read as a record: where its values start and its sizes.
struct ShapedRecord {
  int64_t body_start = 0;
  RecordSizes sizes;
};

class RecordShaper {
 public:
  // `definition` is the table's column list as the input defines it (only its
  // kinds are read); the scan matches its first `shared` columns (at most all
  // of them), the ones every layout of the table has. With `narrower`, the
  // table's records may have more columns than the definition (see above).
  RecordShaper(const ColumnList& definition, size_t shared, int threshold,
               bool narrower = false);

  // The column list the scan runs with: the definition's first `shared`.
  const ColumnList& scan_columns() const { return scan_; }
  // True iff matches are read as records by their own header: the scan
  // matches fewer columns than the definition has, or the definition may be
  // narrower than the records. When false, Shape passes matches through as
  // they are.
  bool shapes() const { return scan_.size() < kinds_.size() || narrower_; }

  // Reads the match (`found`: the scan's columns, with their seg and serial)
  // as a record of the definition: `shaped` gets the definition's columns
  // (copied from it once; seg and serial set, NULL for the columns the record
  // lacks) and `record` where its values start and its sizes (columns past
  // the definition's counted). Returns false when the match is no record of
  // the table (see above); `shaped` is undefined then.
  bool Shape(const Match& match, const ColumnList& found, ColumnList& shaped,
             ShapedRecord& record) const;

 private:
  // The serial types from `from` as they read up to `limit` varints, at most
  // `count` of them; how many were read and where they end.
  struct TypesRead {
    size_t count = 0;
    int64_t end = 0;
    uint64_t body_size = 0;  // their sizes, summed
  };
  TypesRead ReadTypes(const BufferView& view, int64_t from, int64_t stop, size_t count,
                      ColumnList& shaped) const;
  // True iff the serial types of shaped[from, to) fit the definition's kinds.
  bool Fit(const ColumnList& shaped, size_t from, size_t to) const;
  // Rule 1: the columns and body start its header length gives, in a sound
  // cell; a freed one `strong`ly held by its freeblock, or else weakly.
  // `cell` is the match read as a cell; `one_byte`, read when first needed,
  // the same with a one-byte header length.
  bool ByHeaderLength(const Match& match, const CellRecord& cell,
                      std::optional<CellRecord>& one_byte, bool strong, ColumnList& shaped,
                      ShapedRecord& record) const;
  bool ByCell(const Match& match, const CellRecord& cell, bool strong, ColumnList& shaped,
              ShapedRecord& record) const;
  // Rules 2 and 4: the one column count the freeblock's size agrees with,
  // `strong`: by the cell alone or with a freeblock right after it; else
  // with fragments and whole cells too.
  bool ByFreeblockSize(const Match& match, bool strong, ColumnList& shaped,
                       ShapedRecord& record) const;
  // Rule 3: the whole definition, as MatchHeader reads it.
  bool ByDefinition(const Match& match, ColumnList& shaped, ShapedRecord& record) const;
  // How a freed cell of `cell_size` bytes at `cell_start` accounts for
  // `freeblock_size` bytes: not at all; alone or with a freeblock right after
  // it (strongly); or with the fragments and freed cells after it that
  // SQLite merges into one freeblock (weakly). With `strong_only`, kNo for
  // what would hold only weakly (the merged cells after it are not read).
  enum class Holds { kNo, kWeakly, kStrongly };
  static Holds FreeblockHolds(const BufferView& view, int64_t cell_start, uint64_t cell_size,
                              uint64_t freeblock_size, bool strong_only);
  // The size field of a freeblock header at `cell_start`.
  static uint64_t FreeblockSizeAt(const BufferView& view, int64_t cell_start);

  ColumnList definition_;
  ColumnList scan_;
  std::vector<int32_t> kinds_;
  int threshold_;
  bool narrower_;
};

}  // namespace quarrow

#endif  // QUARROW_CONTACTS_RECORD_SHAPE_H_
