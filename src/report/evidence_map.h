// The picture of the evidence: the input drawn as a grid of cells, each
// coloured by what most of its bytes are (a table's b-tree pages, an index,
// freelist trunk or leaf, overflow, a superseded page, a WAL frame, a journal
// image, unmapped: pagemap/page_layout.h), with the recovered records marked
// in the cells that hold them by state (live, prior, deleted, unknown:
// carve/record_state.h), a legend naming the tables and the cell size, and a
// title line naming the input, its size and SHA-256, the command and the date.
// Written as SVG text (no library), for a case file.
//
// Large inputs are drawn by bins: a cell holds whole pages, as many as it
// takes to keep the grid at kMaxCells cells or fewer; small ones get a cell
// per page. The picture has at most a few thousand elements whatever the
// input's size (a rect and its tooltip per cell; the marks of each state are
// one path), and the builder's memory is bounded by the cell count, not the
// input's size or the number of records.
//
// How a command draws one (the map command; find and contacts with --map):
//   EvidenceMapBuilder builder = StartEvidenceMap(input_path, name, command_line);
//   // for each record recovered, in any order:
//   builder.AddRecord(offset, state);
//   WriteEvidenceSvg(builder.Finish(), output_path);
// or, from a layout already at hand:
//   EvidenceMapBuilder builder(info, layout.summary().page_size);
//   builder.AddLayout(layout);                    // or AddSpan, in order
//
// Thread safety: a builder belongs to one thread; a finished EvidenceMap is a
// plain value.
#ifndef QUARROW_REPORT_EVIDENCE_MAP_H_
#define QUARROW_REPORT_EVIDENCE_MAP_H_

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "carve/record_state.h"
#include "pagemap/page_layout.h"
#include "pagemap/page_status.h"

namespace quarrow {

inline constexpr int64_t kMaxCells = 1024;
inline constexpr int64_t kGridColumns = 64;  // the most cells in a row
inline constexpr int kRecordStates = 4;  // RecordState's values, kLive to kUnknown

// What the title line says.
struct EvidenceMapInfo {
  std::string input_name;  // as the user named the input
  int64_t input_size = 0;
  std::string sha256;      // 64 hex digits; empty: not computed
  std::string command;     // the command line that drew it
  std::string date;        // when, as the title shows it
};

// A colour of the picture: a role, and for table pages the table's name
// (empty: a table no schema row names). Index pages are one kind whatever
// their index.
struct EvidenceKind {
  PageRole role = PageRole::kUnmapped;
  std::string table;
  std::string colour;  // "#rrggbb"
  int64_t bytes = 0;   // of the input
  int64_t pages = 0;   // whole or cut pages (frames, records) of the input
  // What the legend calls it: "ABPerson (table)", "index", "unmapped".
  std::string Label() const;
};

// One cell: bytes [start, end) of the input.
struct EvidenceCell {
  int64_t start = 0;
  int64_t end = 0;
  int32_t kind = 0;  // into EvidenceMap::kinds: the kind of most of its bytes
  // The kinds of most bytes, most first, with their bytes (kind -1: none).
  std::array<std::pair<int32_t, int64_t>, 3> shares{{{-1, 0}, {-1, 0}, {-1, 0}}};
  std::array<int64_t, kRecordStates> records{};  // by RecordState
};

// Where things lie in the picture, in its own units (SVG user units, pixels
// at 100 %). Shared by the SVG writer and the window, which draws the same.
struct EvidenceBox {
  double x = 0, y = 0, width = 0, height = 0;
};

struct EvidenceMap {
  EvidenceMapInfo info;
  // The most cells in a row (1 to kGridColumns): fewer make a narrower,
  // taller picture for a narrow panel. Fewer cells than this make one row
  // of larger cells.
  int64_t columns = kGridColumns;
  int64_t page_size = 0;   // the unit cells are made of
  int64_t cell_bytes = 0;  // bytes per cell (the last cell may be shorter)
  std::vector<EvidenceCell> cells;
  std::vector<EvidenceKind> kinds;
  std::array<int64_t, kRecordStates> records{};  // by state, inside the input
  int64_t records_outside = 0;  // offsets past the input's end (not drawn)

  // The cell holding byte `offset`, or -1.
  int64_t CellOf(int64_t offset) const;
  // The cell at point (x, y), or -1.
  int64_t CellAt(double x, double y) const;
  EvidenceBox CellBox(int64_t cell) const;
  // The mark of `state` in `cell`.
  EvidenceBox MarkBox(int64_t cell, RecordState state) const;
  // The whole picture's size.
  double Width() const;
  double Height() const;
  // Where the grid starts, the rows' offset labels to its left.
  double GridTop() const;
};

// The state a record's status gives where nothing better tells it (the map
// command's contacts records; report lines without a STATE): a live cell is
// live; a freeblock or a freelist page holds deleted records; anywhere else
// (a superseded page, a WAL frame, a journal image, unmapped bytes) it cannot
// say.
RecordState StateOfStatus(const PageStatus& status);

// "2026-05-01 12:34:56 UTC", now: the title's date.
std::string UtcNowText();

// Colours of the record marks, by state.
std::string_view RecordStateColour(RecordState state);

class EvidenceMapBuilder {
 public:
  // `page_size`: the size of the input's pages (its first database's), so
  // that a cell holds whole pages; 0 when it has none (cells then hold whole
  // 512-byte sectors). `columns`: EvidenceMap::columns.
  EvidenceMapBuilder(EvidenceMapInfo info, int64_t page_size,
                     int64_t columns = kGridColumns);
  EvidenceMapBuilder(EvidenceMapBuilder&&) = default;

  // Bytes [start, end) are of `role` (and of table `table` for kTable) and
  // made of pages of `unit` bytes (0: none). Spans come in increasing order
  // without overlap: bytes before the end of an earlier span are ignored.
  // Bytes no span covers are unmapped.
  void AddSpan(int64_t start, int64_t end, PageRole role, std::string_view table,
               int64_t unit);
  // Every span of `layout`, table pages named after their tree's table.
  void AddLayout(const PageLayout& layout);
  // A record whose header lies at `offset` of the input. Any order.
  void AddRecord(int64_t offset, RecordState state);
  void SetSha256(std::string hex) { map_.info.sha256 = std::move(hex); }

  // The picture's model; the builder is spent.
  EvidenceMap Finish();

 private:
  int32_t KindOf(PageRole role, std::string_view table);
  void AddBytes(int64_t start, int64_t end, int32_t kind);
  void CloseCell(int64_t cell);

  EvidenceMap map_;
  std::unordered_map<std::string, int32_t> kind_ids_;
  int64_t covered_ = 0;  // spans have covered [0, covered_)
  // Bytes by kind of the cell being filled (cells fill in order).
  int64_t open_cell_ = -1;
  std::vector<std::pair<int32_t, int64_t>> open_shares_;
  int tables_ = 0;  // table kinds so far, for their colours
};

// A builder for the input at `input_path` with its page layout drawn, and
// the title's size, SHA-256 (taken on the layout's read: one read of the
// input) and date filled in; `input_name` and `command` as the title shows
// them. `keep_going`, when set, is asked after each piece of the input is
// read: false stops the read with Error `stopped_message`. `columns` as the
// builder takes it. Throws Error when the input cannot be opened or read.
EvidenceMapBuilder StartEvidenceMap(
    const std::string& input_path, std::string input_name, std::string command,
    const std::function<bool(int64_t done, int64_t total)>& keep_going = {},
    const std::string& stopped_message = {}, int64_t columns = kGridColumns);

// The picture as SVG text (UTF-8; texts that are no valid UTF-8 have the
// bad bytes replaced).
std::string EvidenceSvg(const EvidenceMap& map);

// Writes EvidenceSvg(map) to `path` in place ("-": standard output). Throws
// Error 'Cannot create file "<full path>". <reason>' (or "Cannot write ...").
void WriteEvidenceSvg(const EvidenceMap& map, const std::string& path);

}  // namespace quarrow

#endif  // QUARROW_REPORT_EVIDENCE_MAP_H_
