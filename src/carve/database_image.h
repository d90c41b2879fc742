// The database an input holds or lies beside, read as SQLite itself reads it:
// each page from the latest committed WAL frame holding it, else from the
// database file. Gives pages, the schema table's rows, the live cells of a
// table b-tree with their overflow chains assembled, and the freelist.
//
// Which database: the input itself when it starts with a database header
// (with "<input>-wal" beside it applied, when valid); the database beside a
// "-wal" input (with that WAL applied) or beside a "-journal" input. Companion
// files are only read.
//
// Hostile structure: every page number, cell pointer and chain is checked
// against the page and file limits before use; b-tree and chain walks keep a
// visited set, so loops end; what cannot be read is skipped. Never throws for
// bad structure. Immutable once built; const methods are thread-safe.
#ifndef QUARROW_CARVE_DATABASE_IMAGE_H_
#define QUARROW_CARVE_DATABASE_IMAGE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/buffer.h"
#include "pagemap/wal_index.h"

namespace quarrow {

// One row of the schema table (sqlite_master).
struct SchemaRow {
  std::string type;  // "table", "index", "view", "trigger"
  std::string name;
  std::string table_name;
  uint32_t root_page = 0;
  std::string sql;
};

// The path of the database a "-wal" or "-journal" input lies beside: its
// name without that suffix; empty for any other name.
std::string DatabasePathBeside(const std::string& input_path);

class DatabaseImage {
 public:
  // The database for the input at `input_path` (see above). Throws Error only
  // when the input cannot be opened; no database gives !valid().
  static std::unique_ptr<DatabaseImage> ForInput(const std::string& input_path);
  // `database` from its offset 0, with `wal` (may be null) applied.
  DatabaseImage(std::shared_ptr<const ByteSource> database,
                std::shared_ptr<const ByteSource> wal);
  DatabaseImage(const DatabaseImage&) = delete;
  DatabaseImage& operator=(const DatabaseImage&) = delete;

  // True iff a valid database header was read.
  bool valid() const { return page_size_ != 0; }
  uint32_t page_size() const { return page_size_; }
  uint32_t usable_size() const { return usable_size_; }
  // Pages of the database as it stands (the WAL's size after its last commit
  // when one is applied).
  uint32_t page_count() const { return page_count_; }
  bool wal_applied() const { return wal_index_.committed_frames > 0; }
  // The committed WAL frame SQLite reads page `number` from, 0 when it reads
  // the database file's.
  int64_t LatestFrame(uint32_t number) const {
    return wal_applied() ? wal_index_.FrameOf(number) : 0;
  }

  // Page `number` (1-based) as SQLite reads it. False when it is out of range
  // or cannot be read whole.
  bool ReadPage(uint32_t number, std::string& out) const;
  // Page `number` as SQLite read it once the transaction holding frame
  // `frames` had committed (0: the database file alone): the page as a
  // record in that frame saw it. A frame of an earlier generation of the log
  // (left past the current one's end when a checkpoint restarted it) is read
  // with the frames of its own generation that survive.
  bool ReadPageAsOf(uint32_t number, int64_t frames, std::string& out) const;

  // Calls `row` with the rowid and whole payload of each live cell of the
  // table b-tree rooted at `root`, in rowid order. A payload whose overflow
  // chain is broken is passed with what could be read. `pages`, when given,
  // receives every b-tree page number visited, and `overflow_pages` every
  // page of the live cells' overflow chains.
  void ForEachRow(uint32_t root,
                  const std::function<void(int64_t rowid, std::string_view payload)>& row,
                  std::vector<uint32_t>* pages = nullptr,
                  std::vector<uint32_t>* overflow_pages = nullptr) const;

  // The schema table's live rows.
  std::vector<SchemaRow> Schema() const;

  // Every page on the freelist, trunks and leaves (trunks flagged).
  struct FreePage {
    uint32_t number = 0;
    bool trunk = false;
  };
  std::vector<FreePage> FreelistPages() const;

  // Appends up to `need` bytes of the overflow chain starting at page `first`
  // to `out`. Returns true iff all `need` bytes were read (the chain neither
  // broke, looped nor left the database). `pages`, when given, receives the
  // chain's page numbers.
  bool ReadOverflow(uint32_t first, uint64_t need, std::string& out,
                    std::vector<uint32_t>* pages = nullptr) const;

 private:
  std::shared_ptr<const ByteSource> database_;
  std::shared_ptr<const ByteSource> wal_;
  WalIndex wal_index_;
  uint32_t page_size_ = 0;
  uint32_t usable_size_ = 0;
  uint32_t page_count_ = 0;
  uint32_t first_freelist_trunk_ = 0;
  // Every committed frame of each page, ascending.
  // The frames of one generation of the log, by page, and its commits.
  struct FrameGeneration {
    std::unordered_map<uint32_t, std::vector<int64_t>> frames_of;  // ascending
    std::vector<int64_t> commit_frames;                             // ascending
  };
  // The frame of `frames` nearest the transaction holding frame `at`: the
  // one that transaction wrote, else the last before it; 0 when none.
  static int64_t FrameAsOf(const std::vector<int64_t>& frames,
                           const std::vector<int64_t>& commit_frames, int64_t at);
  void IndexEarlierGenerations(uint64_t salt);

  std::unordered_map<uint32_t, std::vector<int64_t>> frames_of_;
  std::vector<int64_t> commit_frames_;  // ascending
  // Frames past the committed ones that carry another salt: earlier
  // generations, by salt; and each such frame's salt.
  std::unordered_map<uint64_t, FrameGeneration> earlier_;
  std::unordered_map<int64_t, uint64_t> earlier_salt_of_;
};

}  // namespace quarrow

#endif  // QUARROW_CARVE_DATABASE_IMAGE_H_
