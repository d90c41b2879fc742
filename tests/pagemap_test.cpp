// The page map against real databases built with SQLite: each record image of
// a known row is found in the file by its exact bytes, and its status must say
// whether SQLite still holds it (live) or not, in rollback journal and WAL
// modes, at several page sizes; hand-corrupted structure must map without a
// crash or hang and leave what it cannot read `unknown`.
#include "pagemap/page_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/database_starts.h"
#include "pagemap/cell_key_set.h"
#include "pagemap/cell_site_index.h"
#include "pagemap/overwritten_copy.h"
#include "pagemap/page_status.h"
#include "text_rule/error.h"
#include "sqlite_fixture.h"
#ifdef QUARROW_HAVE_SAMPLE_BOOK
#include "sample_book.h"
#endif

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::SqliteDbOptions;
using fixtures::TempDir;
using fixtures::WriteFile;

const PageStatus kLive{Status::kLive, 0};
const PageStatus kUnknown{Status::kUnknown, 0};

std::string Varint(uint64_t v) {
  std::string groups;
  do {
    groups.insert(groups.begin(), static_cast<char>(v & 0x7f));
    v >>= 7;
  } while (v != 0);
  for (size_t i = 0; i + 1 < groups.size(); ++i) groups[i] = static_cast<char>(groups[i] | 0x80);
  return groups;
}

// A row of t(id INTEGER PRIMARY KEY, name TEXT, note TEXT) and its record
// image as SQLite stores it (the id is the rowid, stored as NULL).
struct Row {
  int64_t rowid = 0;
  std::string name;
  std::string note;
  bool deleted = false;
  std::string Record() const {
    std::string types = Varint(0) + Varint(13 + 2 * name.size()) + Varint(13 + 2 * note.size());
    return Varint(types.size() + 1) + types + name + note;
  }
};

std::vector<Row> MakeRows(int count, int note_base = 10) {
  std::vector<Row> rows;
  for (int i = 1; i <= count; ++i) {
    Row row;
    row.rowid = i;
    row.name = "person-" + std::to_string(100000 + i);
    row.note = "#" + std::to_string(i) + ":" +
               std::string(static_cast<size_t>(note_base + (i * 37) % 90), static_cast<char>('a' + i % 26));
    rows.push_back(row);
  }
  return rows;
}

void CreateAndInsert(SqliteDb& db, const std::vector<Row>& rows) {
  db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, note TEXT)");
  db.Exec("CREATE INDEX t_name ON t(name)");
  db.Exec("BEGIN");
  for (const Row& row : rows) db.Run("INSERT INTO t VALUES(?, ?, ?)", {row.rowid, row.name, row.note});
  db.Exec("COMMIT");
}

// Deletes the rows `pick` chooses, in one transaction.
template <typename Pick>
void DeleteRows(SqliteDb& db, std::vector<Row>& rows, Pick pick) {
  db.Exec("BEGIN");
  for (Row& row : rows) {
    if (!pick(row.rowid)) continue;
    db.Run("DELETE FROM t WHERE id = ?", {row.rowid});
    row.deleted = true;
  }
  db.Exec("COMMIT");
}

std::vector<int64_t> FindAll(const std::string& haystack, const std::string& needle) {
  std::vector<int64_t> found;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
    found.push_back(static_cast<int64_t>(at));
  return found;
}

std::shared_ptr<const ByteSource> Memory(std::string bytes) {
  return std::make_shared<MemorySource>(std::move(bytes));
}

// Every offset of the input in increasing order, as a scan would ask.
std::vector<PageStatus> AllStatuses(PageMap& map, int64_t size) {
  std::vector<PageStatus> statuses;
  statuses.reserve(static_cast<size_t>(size));
  for (int64_t at = 0; at < size; ++at) statuses.push_back(map.StatusAt(at));
  return statuses;
}

// Counts, over every image of every row in `bytes`, what the map says.
struct RowVerdicts {
  int live_rows_with_one_live_image = 0;
  int live_rows = 0;
  int deleted_rows_found = 0;
  int deleted_images_live = 0;
  std::multiset<std::string> deleted_image_statuses;
};

RowVerdicts Judge(const std::vector<PageStatus>& statuses, const std::string& bytes,
                  const std::vector<Row>& rows) {
  RowVerdicts verdicts;
  for (const Row& row : rows) {
    int live = 0;
    const std::vector<int64_t> images = FindAll(bytes, row.Record());
    for (int64_t at : images) {
      const PageStatus status = statuses[static_cast<size_t>(at)];
      if (status == kLive) ++live;
      if (row.deleted) verdicts.deleted_image_statuses.insert(StatusText(status));
    }
    if (row.deleted) {
      verdicts.deleted_rows_found += images.empty() ? 0 : 1;
      verdicts.deleted_images_live += live;
    } else {
      ++verdicts.live_rows;
      verdicts.live_rows_with_one_live_image += live == 1 ? 1 : 0;
    }
  }
  return verdicts;
}

TEST(PageStatusText, NamesEveryStatusExactly) {
  EXPECT_EQ(StatusText({Status::kLive, 0}), "live");
  EXPECT_EQ(StatusText({Status::kSuperseded, 0}), "superseded");
  EXPECT_EQ(StatusText({Status::kFreeblock, 0}), "freeblock");
  EXPECT_EQ(StatusText({Status::kFreelist, 0}), "freelist");
  EXPECT_EQ(StatusText({Status::kWal, 17}), "wal:17");
  EXPECT_EQ(StatusText({Status::kJournal, 0}), "journal");
  EXPECT_EQ(StatusText({Status::kUnknown, 0}), "unknown");
  std::string out = "x\t";
  AppendStatusText({Status::kWal, 3}, out);
  EXPECT_EQ(out, "x\twal:3");
}

TEST(CellKeySet, HoldsEveryKeyOfEveryBatchAndNoOther) {
  CellKeySet keys;
  std::set<uint64_t> added;
  uint64_t next = 1;
  // Batches of falling and rising sizes make the runs merge at many points.
  for (int batch_size : {50, 3, 1, 1, 20, 700, 2, 0, 64, 64, 64, 5}) {
    std::vector<uint64_t> batch;
    for (int i = 0; i < batch_size; ++i) {
      next = next * 6364136223846793005ull + 1442695040888963407ull;
      batch.push_back(next % 100000 * 2);  // even keys only; repeats happen
      added.insert(batch.back());
    }
    keys.Add(batch);
  }
  for (uint64_t key : added) ASSERT_TRUE(keys.Contains(key)) << key;
  for (uint64_t odd = 1; odd < 200001; odd += 2) ASSERT_FALSE(keys.Contains(odd));
  EXPECT_GE(keys.size(), added.size());
}

TEST(CellSiteIndex, FindsSitesByKeyAcrossBatches) {
  CellSiteIndex index;
  std::map<uint64_t, std::set<uint64_t>> added;  // key: places
  uint64_t place = 0;
  for (int batch_number = 0; batch_number < 5; ++batch_number) {
    std::vector<CellSite> batch;
    for (int i = 0; i < 40 >> batch_number; ++i) {
      batch.push_back(CellSite{static_cast<uint64_t>(i % 4) * 2, ++place});
      added[batch.back().key].insert(place);
    }
    index.Add(batch);
  }
  for (const auto& [key, places] : added) {
    std::vector<CellSite> found;
    index.Find(key, 100, found);
    std::set<uint64_t> found_places;
    for (const CellSite& site : found) {
      EXPECT_EQ(site.key, key);
      found_places.insert(site.where);
    }
    EXPECT_EQ(found_places, places) << key;
    EXPECT_TRUE(index.HasKey(key));
    EXPECT_FALSE(index.HasKey(key + 1));
  }
  std::vector<CellSite> found;
  index.Find(2, 4, found);
  EXPECT_EQ(found.size(), 4u);  // cut to the limit
  EXPECT_EQ(index.size(), 40u + 20 + 10 + 5 + 2);
}

// A table interior page, built by hand, over the tail of an old leaf record:
// two live cells at the end, one cell it dropped right below its content area.
struct InteriorOverRecord {
  static constexpr uint32_t kSize = 4096, kRecord = 3990, kDead = 4078, kContent = 4084;
  std::string page = std::string(kSize, 'a');  // the record's own bytes: text
  InteriorOverRecord() {
    const std::string header = {5, 0, 0, 0, 2, static_cast<char>(kContent >> 8),
                                static_cast<char>(kContent & 0xff), 0, 0, 0, 0, 9};
    page.replace(0, header.size(), header);
    page.replace(12, 4, std::string{0x0f, static_cast<char>(0xfa), 0x0f, static_cast<char>(0xf4)});
    page.replace(kContent, 5, std::string{0, 0, 0, 7, 0x32});     // child 7, key 50
    page.replace(4090, 5, std::string{0, 0, 0, 8, 0x64});         // child 8, key 100
    page.replace(kDead, 6, std::string{0, 0, 0, 6, static_cast<char>(0x82), 0x27});
  }
  std::vector<uint8_t> Foreign(const std::function<bool(uint32_t)>& is_btree_page) const {
    std::vector<uint8_t> foreign;
    EXPECT_TRUE(MarkForeignBytes(page, 0, kSize, kRecord, kRecord, kSize, is_btree_page, foreign));
    return foreign;
  }
  // The first foreign byte's page offset.
  static uint32_t FirstForeign(const std::vector<uint8_t>& foreign) {
    const auto it = std::find(foreign.begin(), foreign.end(), 1);
    return kRecord + static_cast<uint32_t>(it - foreign.begin());
  }
};

TEST(OverwrittenCopy, AnInteriorPageOwnsItsContentAreaAndTheCellsItDropped) {
  const InteriorOverRecord image;
  const auto btree = [](uint32_t page) { return page >= 2 && page <= 9; };
  std::vector<uint8_t> foreign = image.Foreign(btree);
  ASSERT_EQ(foreign.size(), InteriorOverRecord::kSize - InteriorOverRecord::kRecord);
  EXPECT_EQ(InteriorOverRecord::FirstForeign(foreign), InteriorOverRecord::kDead);
  EXPECT_TRUE(std::all_of(foreign.begin() + (InteriorOverRecord::kDead - InteriorOverRecord::kRecord),
                          foreign.end(), [](uint8_t f) { return f == 1; }));
  // A dead cell's child must be a b-tree page of the database; else the walk
  // stops and the bytes are compared as the record's own.
  foreign = image.Foreign([](uint32_t page) { return page == 7 || page == 8; });
  EXPECT_EQ(InteriorOverRecord::FirstForeign(foreign), InteriorOverRecord::kContent);
  // Not a b-tree page, or a range over its pointer array: nothing to say.
  std::string not_btree = image.page;
  not_btree[0] = 0;
  EXPECT_FALSE(MarkForeignBytes(not_btree, 0, 4096, 3990, 3990, 4096, btree, foreign));
  EXPECT_FALSE(MarkForeignBytes(image.page, 0, 4096, 14, 3990, 4096, btree, foreign));
}

TEST(OverwrittenCopy, ATableLeafOwnsItsCellsFreeblockHeadersAndDeadCellsOnly) {
  // A leaf: one live cell at 3000 over a freed record's tail, a freeblock at
  // 2800 inside the record, and a cell whose payload is the record itself.
  std::string page(4096, 'b');
  const std::string header = {13, 0x0a, static_cast<char>(0xf0), 0, 2, 0x0b, static_cast<char>(0xb8), 0};
  page.replace(0, header.size(), header);
  page.replace(8, 4, std::string{0x0b, static_cast<char>(0xb8), 0x0a, static_cast<char>(0xdc)});
  page.replace(3000, 2, std::string{0x05, 0x09});                            // 5-byte payload, rowid 9
  page.replace(2800, 4, std::string{0, 0, 0, 0x20});                          // last freeblock, 32 bytes
  page.replace(2780, 2, std::string{0x7f, 0x02});                             // own cell: 127 bytes, rowid 2
  // A dead cell that ends where the live one starts: 48 bytes of payload,
  // rowid 7, a header of one 46-byte text.
  page.replace(2950, 4, std::string{0x30, 0x07, 0x02, 0x69});
  // One that ends at the freeblock's end, but whose header says 17 bytes, not 20.
  page.replace(2810, 4, std::string{0x14, 0x05, 0x02, 0x2b});
  std::vector<uint8_t> foreign;
  ASSERT_TRUE(MarkForeignBytes(page, 0, 4096, 2782, 2782, 3010, [](uint32_t) { return true; },
                               foreign));
  for (uint32_t at = 2782; at < 3010; ++at) {
    const bool expected = (at >= 2800 && at < 2804) || (at >= 2950 && at < 3007);
    ASSERT_EQ(foreign[at - 2782], expected ? 1 : 0) << at;
  }
}

TEST(OverwrittenCopy, PrefixAndOwnBytesDecideTheMatch) {
  // The cell prefix in front of a record: payload size 224, rowid 300.
  std::string page = std::string(100, 'x') + "\x81\x60\x82\x2c" + "record";
  uint32_t prefix_start = 0;
  EXPECT_EQ(CellPrefixRowid(page, 8, 104, 224, prefix_start), std::optional<int64_t>(300));
  EXPECT_EQ(prefix_start, 100u);
  EXPECT_EQ(CellPrefixRowid(page, 8, 104, 225, prefix_start), std::nullopt);
  EXPECT_EQ(CellPrefixRowid(page, 102, 104, 224, prefix_start), std::nullopt);  // below the floor
  page.replace(100, 4, std::string{0, 0, 1, static_cast<char>(0x97)});       // a freeblock header
  EXPECT_EQ(CellPrefixRowid(page, 8, 104, 224, prefix_start), std::nullopt);

  const std::string live = "\x03\x0f\x31" + std::string(30, 'v');
  std::string record = live;
  std::vector<uint8_t> foreign(live.size(), 0);
  std::fill(foreign.end() - 10, foreign.end(), 1);
  record.replace(record.size() - 10, 10, std::string(10, '?'));
  EXPECT_TRUE(OwnBytesMatch(record, live, foreign, 3));   // only foreign bytes differ
  record[5] = 'w';                                        // an own byte differs: an edit
  EXPECT_FALSE(OwnBytesMatch(record, live, foreign, 3));
  record[5] = 'v';
  foreign[1] = 1;                                         // part of the header overwritten
  EXPECT_FALSE(OwnBytesMatch(record, live, foreign, 3));
  foreign[1] = 0;
  std::fill(foreign.begin() + 3 + kLeadBodyBytes - 1, foreign.end(), 1);
  EXPECT_FALSE(OwnBytesMatch(record, live, foreign, 3));  // a lead byte overwritten
  foreign[3 + kLeadBodyBytes - 1] = 0;
  EXPECT_TRUE(OwnBytesMatch(record, live, foreign, 3));
  // A short body is the lead all through.
  const std::string short_live = "\x02\x1b" + std::string(7, 's');
  std::vector<uint8_t> short_foreign(short_live.size(), 0);
  EXPECT_TRUE(OwnBytesMatch(short_live, short_live, short_foreign, 2));
  short_foreign.back() = 1;
  EXPECT_FALSE(OwnBytesMatch(short_live, short_live, short_foreign, 2));
}

// --- a database in rollback journal mode, at several page sizes ---------------

class RollbackDatabase : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    path_ = dir_.File("book.db");
    SqliteDbOptions options;
    options.page_size = GetParam();
    SqliteDb db(path_, options);
    rows_ = MakeRows(600);
    CreateAndInsert(db, rows_);
    // Scattered deletions leave freeblocks; a long run frees whole pages.
    DeleteRows(db, rows_, [](int64_t id) { return id % 7 == 3 || (id > 200 && id <= 420); });
    for (const auto& page : db.Query("SELECT pageno, pagetype FROM dbstat"))
      page_types_[std::stoll(page[0])] = page[1];
    page_count_ = db.QueryInt("PRAGMA page_count");
    db.Close();
    bytes_ = ReadFile(path_);
  }

  TempDir dir_;
  std::string path_;
  std::vector<Row> rows_;
  std::map<int64_t, std::string> page_types_;  // as SQLite's dbstat sees them
  int64_t page_count_ = 0;
  std::string bytes_;
};

TEST_P(RollbackDatabase, LiveCellsAreLiveAndDeletedRecordsAreNot) {
  PageMap map(path_);
  EXPECT_EQ(map.summary().input, PageMapSummary::Input::kDatabase);
  EXPECT_EQ(map.summary().databases, 1);
  const RowVerdicts verdicts = Judge(AllStatuses(map, static_cast<int64_t>(bytes_.size())),
                                     bytes_, rows_);
  EXPECT_EQ(verdicts.live_rows_with_one_live_image, verdicts.live_rows);
  EXPECT_EQ(verdicts.deleted_images_live, 0);
  // The deleted rows' bytes are still in the file, so the check above had work
  // (large pages are rebuilt when many rows go, which overwrites most of them).
  EXPECT_GT(verdicts.deleted_rows_found, GetParam() <= 4096 ? 100 : 0);
  for (const std::string& status : verdicts.deleted_image_statuses)
    EXPECT_TRUE(status == "freeblock" || status == "freelist") << status;
}

TEST_P(RollbackDatabase, PagesTakeTheRoleSqliteGivesThem) {
  PageMap map(path_);
  const int64_t page_size = GetParam();
  int freelist_pages = 0;
  for (int64_t page = 2; page <= page_count_; ++page) {
    // The last byte of a page lies in its content area (or a free page's body).
    const PageStatus status = map.StatusAt(page * page_size - 1);
    auto it = page_types_.find(page);
    if (it == page_types_.end()) {
      EXPECT_EQ(StatusText(status), "freelist") << "page " << page;
      ++freelist_pages;
    } else if (it->second == "leaf" || it->second == "internal") {
      EXPECT_TRUE(status.status == Status::kLive || status.status == Status::kFreeblock)
          << "page " << page << " " << StatusText(status);
      // The page header is structure, not a record.
      EXPECT_EQ(map.StatusAt((page - 1) * page_size), kUnknown) << "page " << page;
    }
  }
  if (page_size <= 4096) {
    EXPECT_GT(freelist_pages, 0);
  }
  EXPECT_EQ(map.StatusAt(static_cast<int64_t>(bytes_.size())), kUnknown);
  EXPECT_EQ(map.StatusAt(-1), kUnknown);
}

TEST_P(RollbackDatabase, CopyTestKnowsLiveCellsOnly) {
  PageMapOptions options;
  options.copy_index = true;
  PageMap map(path_, options);
  EXPECT_EQ(map.summary().live_cells, 0u + [&] {
    size_t live = 0;
    for (const Row& row : rows_) live += row.deleted ? 0 : 1;
    return live;
  }() + 2 /* the schema table's two rows */);
  for (const Row& row : rows_) {
    const std::string record = row.Record();
    EXPECT_EQ(map.IsCopyOfLiveCell(row.rowid, record.size(), record), !row.deleted)
        << row.rowid;
  }
  const Row& kept = rows_.front();
  std::string changed = kept.Record();
  changed.back() ^= 1;
  EXPECT_FALSE(map.IsCopyOfLiveCell(kept.rowid, changed.size(), changed));
  EXPECT_FALSE(map.IsCopyOfLiveCell(kept.rowid + 1, kept.Record().size(), kept.Record()));
  // In a database without overflow chains, statuses do not depend on the option.
  PageMap light(path_);
  for (int64_t at = 0; at < static_cast<int64_t>(bytes_.size()); at += 97)
    ASSERT_EQ(map.StatusAt(at), light.StatusAt(at)) << at;
}

// Old images whose last bytes were overwritten count as copies of live rows
// only: wherever a record lies, a yes names a row that is still there.
TEST_P(RollbackDatabase, OverwrittenCopiesAreOfLiveRowsOnly) {
  PageMapOptions options;
  options.copy_index = true;
  PageMap map(path_, options);
  EXPECT_GT(map.summary().live_cell_sites, 0u);
  std::map<std::string, bool> deleted_by_name;
  for (const Row& row : rows_) deleted_by_name[row.name] = row.deleted;
  int copies = 0;
  for (size_t at = 0; at + 2 < bytes_.size(); ++at) {
    const std::string_view record = std::string_view(bytes_).substr(at, 600);
    if (!map.IsOverwrittenCopyOfLiveCell(static_cast<int64_t>(at), record)) continue;
    ++copies;
    // These rows' headers: length, NULL id, a 13-byte name, the note.
    const auto found = deleted_by_name.find(bytes_.substr(at + static_cast<uint8_t>(bytes_[at]), 13));
    ASSERT_NE(found, deleted_by_name.end()) << at;
    EXPECT_FALSE(found->second) << found->first;
  }
  // At 4096 bytes the table's root splits and its old last row lies under the
  // interior cells, with its first bytes intact (at 512 they cover it whole; at
  // 65536 the table never splits).
  if (GetParam() == 4096) EXPECT_GE(copies, 1);
  PageMap without_index(path_);
  EXPECT_FALSE(without_index.IsOverwrittenCopyOfLiveCell(0, bytes_));
}

TEST_P(RollbackDatabase, WindowedCursorAgreesWithFileReads) {
  PageMap map(path_);
  StatusCursor cursor(map);
  // Windows that split pages at odd places, as a scan's chunks would.
  const int64_t step = 3000;
  for (int64_t start = 0; start < static_cast<int64_t>(bytes_.size()); start += step) {
    cursor.SetWindow(start, std::string_view(bytes_).substr(static_cast<size_t>(start), step + 700));
    for (int64_t at = start; at < start + step && at < static_cast<int64_t>(bytes_.size()); ++at)
      ASSERT_EQ(cursor.StatusAt(at), map.StatusAt(at)) << at;
  }
}

TEST_P(RollbackDatabase, AnswersDoNotDependOnQueryOrder) {
  PageMap map(path_);
  const std::vector<PageStatus> forward = AllStatuses(map, static_cast<int64_t>(bytes_.size()));
  // Backwards through one cursor, and one fresh cursor per offset (a page's
  // first query takes a shorter path than the following ones).
  StatusCursor backwards(map);
  for (int64_t at = static_cast<int64_t>(bytes_.size()) - 1; at >= 0; --at)
    ASSERT_EQ(backwards.StatusAt(at), forward[static_cast<size_t>(at)]) << at;
  for (int64_t at = 0; at < static_cast<int64_t>(bytes_.size()); at += 13) {
    StatusCursor fresh(map);
    ASSERT_EQ(fresh.StatusAt(at), forward[static_cast<size_t>(at)]) << at;
  }
}

INSTANTIATE_TEST_SUITE_P(PageSizes, RollbackDatabase, ::testing::Values(512, 4096, 65536));

// The bytes of a database file `name` in `dir` holding `rows` (as
// CreateAndInsert writes them) in pages of `page_size` bytes, with the rows
// `pick` chooses deleted (none without it).
std::string DatabaseOf(const TempDir& dir, const std::string& name, int page_size,
                       std::vector<Row>& rows,
                       const std::function<bool(int64_t)>& pick = nullptr) {
  SqliteDbOptions options;
  options.page_size = page_size;
  SqliteDb db(dir.File(name), options);
  CreateAndInsert(db, rows);
  if (pick) DeleteRows(db, rows, pick);
  db.Close();
  return ReadFile(dir.File(name));
}

TEST(PageMapOverflow, OverflowChainsAreLiveWithTheCopyIndex) {
  TempDir dir;
  const std::string path = dir.File("big.db");
  SqliteDbOptions options;
  options.page_size = 1024;
  SqliteDb db(path, options);
  std::vector<Row> rows = MakeRows(40);
  for (Row& row : rows) row.note += std::string(static_cast<size_t>(900 + 50 * row.rowid), 'z');
  CreateAndInsert(db, rows);
  std::vector<int64_t> overflow;
  for (const auto& page : db.Query("SELECT pageno FROM dbstat WHERE pagetype = 'overflow'"))
    overflow.push_back(std::stoll(page[0]));
  db.Close();
  ASSERT_GT(overflow.size(), 10u);
  PageMapOptions full;
  full.copy_index = true;
  PageMap with_index(path, full);
  PageMap without(path);
  for (int64_t page : overflow) {
    EXPECT_EQ(with_index.StatusAt((page - 1) * 1024 + 10), kLive) << page;
    EXPECT_EQ(without.StatusAt((page - 1) * 1024 + 10), kUnknown) << page;
  }
  // An overflowing record is matched on its local part.
  const std::string bytes = ReadFile(path);
  const std::string record = rows[5].Record();
  const size_t local_at = bytes.find(record.substr(0, 200));
  ASSERT_NE(local_at, std::string::npos);
  EXPECT_TRUE(with_index.IsCopyOfLiveCell(rows[5].rowid, record.size(),
                                          std::string_view(bytes).substr(local_at)));
}

#ifdef QUARROW_HAVE_SAMPLE_BOOK
// --- generated address books, against the generator's own list ------------------

struct BookCase {
  int page_size;
  sample::Journal journal;
};

class SampleBookStatuses : public ::testing::TestWithParam<BookCase> {};

// A person's first and last names lie side by side in its record's body; where
// that pair is unique to the person, its images are the person's records.
TEST_P(SampleBookStatuses, LivePersonsAreLiveAndDeletedOnesAreNot) {
  TempDir dir;
  const std::string path = dir.File("book.db");
  sample::SampleOptions options;
  options.persons = 300;
  options.seed = 11;
  options.page_size = GetParam().page_size;
  options.journal = GetParam().journal;
  const sample::SampleBook book = sample::MakeSampleBook(path, options);
  const std::string bytes = ReadFile(path);
  const bool wal = GetParam().journal == sample::Journal::kWal;
  const std::string wal_bytes = wal ? ReadFile(path + "-wal") : std::string();
  PageMap map(path);
  EXPECT_EQ(map.summary().wal_applied, wal);
  const std::vector<PageStatus> statuses = AllStatuses(map, static_cast<int64_t>(bytes.size()));
  std::map<std::string, int> owners;
  for (const sample::Person& person : book.persons) ++owners[person.first + person.last];
  int live_checked = 0, deleted_checked = 0;
  for (const sample::Person& person : book.persons) {
    const std::string names = person.first + person.last;
    if (person.first.empty() || person.last.empty() || owners[names] != 1) continue;
    int live = 0, superseded = 0;
    const std::vector<int64_t> images = FindAll(bytes, names);
    for (int64_t at : images) {
      live += statuses[static_cast<size_t>(at)] == kLive ? 1 : 0;
      superseded += statuses[static_cast<size_t>(at)].status == Status::kSuperseded ? 1 : 0;
    }
    if (person.deleted) {
      EXPECT_EQ(live, 0) << person.rowid;
      deleted_checked += images.empty() ? 0 : 1;
    } else {
      // With a WAL, a live person on a page the log rewrote lives in the log.
      const bool in_log = superseded > 0 && wal_bytes.find(names) != std::string::npos;
      EXPECT_TRUE(live >= 1 || in_log) << person.rowid;
      ++live_checked;
    }
  }
  EXPECT_GT(live_checked, 100);
  EXPECT_GT(deleted_checked, 30);
}

INSTANTIATE_TEST_SUITE_P(
    PageSizesAndJournals, SampleBookStatuses,
    ::testing::Values(BookCase{512, sample::Journal::kRollback},
                      BookCase{4096, sample::Journal::kRollback},
                      BookCase{65536, sample::Journal::kRollback},
                      BookCase{1024, sample::Journal::kWal},
                      BookCase{8192, sample::Journal::kWal}));
#endif  // QUARROW_HAVE_SAMPLE_BOOK

// --- WAL ----------------------------------------------------------------------

class WalDatabase : public ::testing::Test {
 protected:
  static constexpr int kPageSize = 1024;

  void SetUp() override {
    path_ = dir_.File("book.db");
    SqliteDbOptions options;
    options.page_size = kPageSize;
    options.wal = true;
    options.keep_wal = true;
    SqliteDb db(path_, options);
    rows_ = MakeRows(400);
    CreateAndInsert(db, rows_);
    db.Checkpoint();  // the rows now lie in the database file; deletions go to the log
    DeleteRows(db, rows_, [](int64_t id) { return id >= 100 && id < 130; });
    first_commit_end_ = static_cast<int64_t>(std::filesystem::file_size(db.WalPath()));
    DeleteRows(db, rows_, [](int64_t id) { return id >= 300 && id < 320; });
    db.Close();
    db_bytes_ = ReadFile(path_);
    wal_bytes_ = ReadFile(path_ + "-wal");
  }

  // The rows the first transaction deleted, then those of the second.
  static bool FirstDeletion(int64_t id) { return id >= 100 && id < 130; }
  static bool SecondDeletion(int64_t id) { return id >= 300 && id < 320; }

  TempDir dir_;
  std::string path_;
  std::vector<Row> rows_;
  int64_t first_commit_end_ = 0;
  std::string db_bytes_;
  std::string wal_bytes_;
};

TEST_F(WalDatabase, RowsTheWalDeletedAreNotLiveInTheDatabase) {
  ASSERT_GT(wal_bytes_.size(), 32u);
  // The database file alone still holds the deleted rows as live cells.
  {
    PageMap alone(Memory(db_bytes_), {});
    const RowVerdicts verdicts =
        Judge(AllStatuses(alone, static_cast<int64_t>(db_bytes_.size())), db_bytes_, rows_);
    EXPECT_GT(verdicts.deleted_images_live, 40);
  }
  PageMap map(path_);
  EXPECT_TRUE(map.summary().wal_applied);
  const std::vector<PageStatus> statuses = AllStatuses(map, static_cast<int64_t>(db_bytes_.size()));
  const RowVerdicts verdicts = Judge(statuses, db_bytes_, rows_);
  EXPECT_EQ(verdicts.deleted_images_live, 0);
  EXPECT_EQ(verdicts.deleted_rows_found, 50);
  EXPECT_GE(verdicts.deleted_image_statuses.count("superseded"), 50u);
  for (const std::string& status : verdicts.deleted_image_statuses)
    EXPECT_TRUE(status == "superseded" || status == "freeblock") << status;
  // Live rows on pages the log did not touch stay live; the others are
  // superseded copies, their live cells being in the log. (Older images of a
  // row, left behind when a page split, are neither.)
  int live = 0;
  for (const Row& row : rows_) {
    if (row.deleted) continue;
    int live_images = 0, superseded_images = 0;
    for (int64_t at : FindAll(db_bytes_, row.Record())) {
      const Status status = statuses[static_cast<size_t>(at)].status;
      live_images += status == Status::kLive ? 1 : 0;
      superseded_images += status == Status::kSuperseded ? 1 : 0;
    }
    EXPECT_LE(live_images, 1) << row.rowid;
    EXPECT_TRUE(live_images == 1 || superseded_images > 0) << row.rowid;
    live += live_images;
  }
  EXPECT_GT(live, 250);
}

TEST_F(WalDatabase, WalInputGivesFrameNumbersAndTheCopyTest) {
  const std::string wal_path = path_ + "-wal";
  PageMapOptions options;
  options.copy_index = true;
  PageMap map(wal_path, options);
  EXPECT_EQ(map.summary().input, PageMapSummary::Input::kWal);
  EXPECT_TRUE(map.summary().companion_database);
  EXPECT_EQ(map.StatusAt(5), kUnknown);  // the WAL header
  int images_seen = 0;
  for (const Row& row : rows_) {
    const std::string record = row.Record();
    for (int64_t at : FindAll(wal_bytes_, record)) {
      const int64_t frame = (at - 32) / (24 + kPageSize) + 1;
      EXPECT_EQ(map.StatusAt(at), (PageStatus{Status::kWal, frame})) << row.rowid;
      ++images_seen;
    }
    EXPECT_EQ(map.IsCopyOfLiveCell(row.rowid, record.size(), record), !row.deleted) << row.rowid;
  }
  EXPECT_GT(images_seen, 20);
}

TEST_F(WalDatabase, FramesAfterABadSaltOrChecksumAreNotCommitted) {
  // The first frame of the second transaction, spoilt two ways.
  const size_t frame_at = static_cast<size_t>(first_commit_end_);
  ASSERT_LT(frame_at + 24, wal_bytes_.size());
  for (size_t spoil : {frame_at + 8 /* salt-1 */, frame_at + 24 + 100 /* page data */}) {
    std::string wal = wal_bytes_;
    wal[spoil] = static_cast<char>(wal[spoil] ^ 0x5a);
    PageMapCompanions companions;
    companions.wal = Memory(wal);
    PageMap map(Memory(db_bytes_), companions);
    EXPECT_TRUE(map.summary().wal_applied);
    const std::vector<PageStatus> statuses =
        AllStatuses(map, static_cast<int64_t>(db_bytes_.size()));
    for (const Row& row : rows_) {
      if (!FirstDeletion(row.rowid) && !SecondDeletion(row.rowid)) continue;
      const std::vector<int64_t> images = FindAll(db_bytes_, row.Record());
      ASSERT_EQ(images.size(), 1u);
      const PageStatus status = statuses[static_cast<size_t>(images[0])];
      // The first deletion still holds; the second was never committed.
      if (FirstDeletion(row.rowid))
        EXPECT_EQ(StatusText(status), "superseded") << row.rowid;
      else
        EXPECT_EQ(status, kLive) << row.rowid << " spoilt at " << spoil - frame_at;
    }
  }
  // A bad header salt... or a bad header checksum: nothing is applied.
  std::string wal = wal_bytes_;
  wal[20] ^= 1;
  PageMapCompanions companions;
  companions.wal = Memory(wal);
  PageMap map(Memory(db_bytes_), companions);
  EXPECT_FALSE(map.summary().wal_applied);
}

// --- rollback journal ---------------------------------------------------------

class JournalFile : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string live_path = dir_.File("live.db");
    SqliteDbOptions options;
    options.page_size = 1024;
    SqliteDb db(live_path, options);
    rows_ = MakeRows(300);
    CreateAndInsert(db, rows_);
    // Inside the transaction the journal holds the pages' old images (its
    // header's magic not yet written), and the database file still holds every
    // row: copy both, as an examiner would.
    db.Exec("BEGIN; DELETE FROM t WHERE id BETWEEN 50 AND 120;");
    journal_path_ = dir_.File("copy.db-journal");
    journal_ = ReadFile(live_path + "-journal");
    WriteFile(journal_path_, journal_);
    WriteFile(dir_.File("copy.db"), ReadFile(live_path));
    db.Exec("COMMIT");
    db.Close();
  }

  TempDir dir_;
  std::vector<Row> rows_;
  std::string journal_path_;
  std::string journal_;
};

TEST_F(JournalFile, PageImagesAreJournalAndCopiesOfLiveCells) {
  PageMapOptions options;
  options.copy_index = true;
  PageMap map(journal_path_, options);
  EXPECT_EQ(map.summary().input, PageMapSummary::Input::kJournal);
  EXPECT_TRUE(map.summary().companion_database);
  EXPECT_EQ(map.StatusAt(0), kUnknown);  // the journal header
  int images = 0;
  for (const Row& row : rows_) {
    const std::string record = row.Record();
    for (int64_t at : FindAll(journal_, record)) {
      EXPECT_EQ(StatusText(map.StatusAt(at)), "journal");
      // The copied database still holds every row.
      EXPECT_TRUE(map.IsCopyOfLiveCell(row.rowid, record.size(), record));
      ++images;
    }
  }
  EXPECT_GT(images, 60);
}

TEST_F(JournalFile, AJournalCutShortMapsWhatRemains) {
  const size_t cut = journal_.size() / 2 + 333;
  const std::string head = journal_.substr(0, cut);
  PageMapCompanions named;
  named.input_named_journal = true;
  PageMap map(Memory(head), named);
  int images = 0;
  for (const Row& row : rows_) {
    for (int64_t at : FindAll(head, row.Record())) {
      EXPECT_EQ(StatusText(map.StatusAt(at)), "journal");
      ++images;
    }
  }
  EXPECT_GT(images, 10);
  // Cut inside the header: nothing to map.
  for (size_t length : {size_t{8}, size_t{27}}) {
    PageMap stub(Memory(journal_.substr(0, length)), named);
    for (int64_t at = 0; at < static_cast<int64_t>(length); ++at) ASSERT_EQ(stub.StatusAt(at), kUnknown);
  }
}

// journal_mode=PERSIST keeps the journal after the commit with its whole header
// zeroed: the page images of the deleted rows stay in it.
TEST(PersistedJournal, AZeroedHeaderIsFoundFromTheRecords) {
  TempDir dir;
  const std::string path = dir.File("p.db");
  SqliteDbOptions options;
  options.page_size = 2048;
  SqliteDb db(path, options);
  db.Exec("PRAGMA journal_mode=PERSIST");
  std::vector<Row> rows = MakeRows(300);
  CreateAndInsert(db, rows);
  DeleteRows(db, rows, [](int64_t id) { return id >= 40 && id < 90; });
  db.Close();
  const std::string journal = ReadFile(path + "-journal");
  ASSERT_EQ(journal.substr(0, 28), std::string(28, '\0'));
  PageMapOptions full;
  full.copy_index = true;
  PageMap map(path + "-journal", full);
  EXPECT_EQ(map.summary().input, PageMapSummary::Input::kJournal);
  int deleted_images = 0;
  for (const Row& row : rows) {
    const std::string record = row.Record();
    for (int64_t at : FindAll(journal, record)) {
      EXPECT_EQ(StatusText(map.StatusAt(at)), "journal") << row.rowid;
      EXPECT_EQ(map.IsCopyOfLiveCell(row.rowid, record.size(), record), !row.deleted) << row.rowid;
      deleted_images += row.deleted ? 1 : 0;
    }
  }
  EXPECT_GE(deleted_images, 50);
  // Without the name, zeros are just zeros.
  PageMap unnamed(Memory(journal), {});
  EXPECT_EQ(map.StatusAt(5000), (PageStatus{Status::kJournal, 0}));
  EXPECT_EQ(unnamed.StatusAt(5000), kUnknown);
}

// --- databases inside an image --------------------------------------------------

class DiskImage : public ::testing::Test {
 protected:
  void SetUp() override {
    rows_ = MakeRows(200);
    database_ = DatabaseOf(dir_, "part.db", 2048, rows_, [](int64_t id) { return id % 5 == 0; });
    // Aligned at 1536, again at an odd offset (not mapped), and last at a
    // 512-byte boundary after it.
    image_ = std::string(1536, 'x') + database_ + std::string(3, 'y') + database_;
    second_at_ = static_cast<int64_t>(image_.size()) - static_cast<int64_t>(database_.size());
    image_.append(512 - image_.size() % 512, 'z');
    third_at_ = static_cast<int64_t>(image_.size());
    image_ += database_;
  }

  // Each aligned copy reads as the database alone does, shifted; the odd copy
  // is not mapped.
  void ExpectStatuses(PageMap& map) {
    PageMap alone(Memory(database_), {});
    int live = 0;
    for (const Row& row : rows_) {
      for (int64_t at : FindAll(image_, row.Record())) {
        const bool odd = at >= second_at_ && at < second_at_ + static_cast<int64_t>(database_.size());
        const int64_t base = at >= third_at_ ? third_at_ : 1536;
        const PageStatus expected = odd ? kUnknown : alone.StatusAt(at - base);
        ASSERT_EQ(map.StatusAt(at), expected) << at;
        live += expected == kLive ? 1 : 0;
      }
    }
    EXPECT_EQ(live, 2 * 160);
  }

  TempDir dir_;
  std::vector<Row> rows_;
  std::string database_;
  std::string image_;
  int64_t second_at_ = 0;
  int64_t third_at_ = 0;
};

TEST_F(DiskImage, DatabasesOnBoundariesAreMappedAtGlobalOffsets) {
  PageMap map(Memory(image_), {});
  EXPECT_EQ(map.summary().input, PageMapSummary::Input::kOther);
  EXPECT_EQ(map.summary().databases, 2);
  ExpectStatuses(map);
  EXPECT_EQ(map.StatusAt(100), kUnknown);
}

TEST_F(DiskImage, CallerReportedStartsGiveTheSameMap) {
  PageMapOptions options;
  options.embedded = EmbeddedDatabases::kReportedByCaller;
  options.copy_index = true;
  PageMap map(Memory(image_), {}, options);
  EXPECT_EQ(map.summary().databases, 0);
  // The scan reports what it sees, window by window, before it asks further;
  // the map reads pages from the window where it can, from the file past it.
  std::vector<int64_t> starts;
  const size_t window = 5000;  // not a multiple of 512: starts may straddle edges
  for (size_t at = 0; at < image_.size(); at += window) {
    const std::string_view bytes = std::string_view(image_).substr(at, window + 15);
    const size_t seen = starts.size();
    FindDatabaseStarts(static_cast<int64_t>(at), bytes, starts);
    for (size_t i = seen; i < starts.size(); ++i)
      EXPECT_TRUE(map.AddDatabaseAt(starts[i], static_cast<int64_t>(at), bytes));
  }
  EXPECT_EQ(starts, (std::vector<int64_t>{1536, third_at_}));
  EXPECT_FALSE(map.AddDatabaseAt(1536));  // mapped already
  EXPECT_FALSE(map.AddDatabaseAt(second_at_ - second_at_ % 512));  // no header there
  ExpectStatuses(map);
  for (const Row& row : rows_) {
    const std::string record = row.Record();
    EXPECT_EQ(map.IsCopyOfLiveCell(row.rowid, record.size(), record), !row.deleted) << row.rowid;
  }
}

// A database an image holds inside another's extent takes its own extent
// only: before and after it, the outer database's pages read as they did,
// also where the inner one cuts an outer page in two.
TEST(EmbeddedDatabase, AnInnerDatabaseTakesOnlyItsOwnExtent) {
  TempDir dir;
  std::vector<Row> outer_rows = MakeRows(500);
  std::string image =
      DatabaseOf(dir, "outer.db", 4096, outer_rows, [](int64_t id) { return id % 9 == 4; });
  std::vector<Row> inner_rows = MakeRows(6, 5);
  const std::string inner = DatabaseOf(dir, "inner.db", 512, inner_rows);
  const int64_t inner_at = 3 * 4096 + 1024;  // on a sector, inside the outer page 4
  const int64_t inner_end = inner_at + static_cast<int64_t>(inner.size());
  ASSERT_LT(inner_end + 4 * 4096, static_cast<int64_t>(image.size()));
  image.replace(static_cast<size_t>(inner_at), inner.size(), inner);
  const auto size = static_cast<int64_t>(image.size());

  PageMapOptions options;
  options.embedded = EmbeddedDatabases::kReportedByCaller;
  PageMap outer_only(Memory(image), {}, options);
  const std::vector<PageStatus> outer_statuses = AllStatuses(outer_only, size);
  PageMap both(Memory(image), {}, options);
  ASSERT_TRUE(both.AddDatabaseAt(inner_at));
  EXPECT_EQ(both.summary().databases, 2);
  PageMap inner_alone(Memory(inner), {});
  int inner_live = 0, outer_live_after = 0;
  for (int64_t at = 0; at < size; ++at) {
    const PageStatus status = both.StatusAt(at);
    if (at >= inner_at && at < inner_end) {
      ASSERT_EQ(status, inner_alone.StatusAt(at - inner_at)) << at;
      inner_live += status == kLive ? 1 : 0;
    } else {
      ASSERT_EQ(status, outer_statuses[static_cast<size_t>(at)]) << at;
      outer_live_after += at >= inner_end && status == kLive ? 1 : 0;
    }
  }
  EXPECT_GT(inner_live, 0);
  EXPECT_GT(outer_live_after, 1000);
}

// The scan's window holds zeros past the file's end (or whatever its caller
// put there): those bytes are not the file's, so a header or page the file
// cuts short reads as the file gives it, not as the window does.
TEST(EmbeddedDatabase, WindowBytesPastTheFileEndAreNotTheFiles) {
  TempDir dir;
  std::vector<Row> rows = MakeRows(120);
  const std::string database = DatabaseOf(dir, "cut.db", 1024, rows);

  // A header cut after 60 bytes at the image's end.
  const std::string image = std::string(1024, 'x') + database.substr(0, 60);
  PageMapOptions options;
  options.embedded = EmbeddedDatabases::kReportedByCaller;
  PageMap map(Memory(image), {}, options);
  const std::string window = image + std::string(4096, '\0');
  EXPECT_FALSE(map.AddDatabaseAt(1024, 0, window));
  EXPECT_EQ(map.summary().databases, 0);

  // A database cut inside its last b-tree page, and garbage past the end of
  // the window: the cursor answers as file reads do.
  const size_t cut = database.size() - 1024 + 700;
  const std::string cut_database = database.substr(0, cut);
  PageMap cut_map(Memory(cut_database), {});
  StatusCursor cursor(cut_map);
  const std::string with_garbage = cut_database + std::string(2048, '\x7f');
  cursor.SetWindow(0, with_garbage);
  int live = 0;
  for (int64_t at = 0; at < static_cast<int64_t>(cut); ++at) {
    const PageStatus status = cut_map.StatusAt(at);
    ASSERT_EQ(cursor.StatusAt(at), status) << at;
    live += at >= static_cast<int64_t>(cut) - 700 && status == kLive ? 1 : 0;
  }
  EXPECT_GT(live, 0);  // the cut page was read, and read the same
}

// --- hostile structure ----------------------------------------------------------

// A small database with interior pages and a freelist, to corrupt by hand.
class HostileDatabase : public ::testing::Test {
 protected:
  static constexpr int kPageSize = 512;

  void SetUp() override {
    const std::string path = dir_.File("h.db");
    SqliteDbOptions options;
    options.page_size = kPageSize;
    SqliteDb db(path, options);
    rows_ = MakeRows(300);
    CreateAndInsert(db, rows_);
    DeleteRows(db, rows_, [](int64_t id) { return id > 100 && id <= 200; });
    db.Close();
    bytes_ = ReadFile(path);
  }

  static void Put32(std::string& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (24 - 8 * i));
  }
  static uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
  }
  // Maps `bytes` and asks every offset; returns how many were live.
  static int LiveCount(const std::string& bytes) {
    PageMap map(Memory(bytes), {}, PageMapOptions{true, EmbeddedDatabases::kScanInput});
    int live = 0;
    for (int64_t at = 0; at < static_cast<int64_t>(bytes.size()) + 600; ++at)
      live += map.StatusAt(at) == kLive ? 1 : 0;
    return live;
  }
  int LiveImages(const std::string& bytes) {
    PageMap map(Memory(bytes), {});
    int live = 0;
    for (const Row& row : rows_)
      for (int64_t at : FindAll(bytes, row.Record())) live += map.StatusAt(at) == kLive ? 1 : 0;
    return live;
  }

  TempDir dir_;
  std::vector<Row> rows_;
  std::string bytes_;
};

TEST_F(HostileDatabase, BadPageSizesMapNothing) {
  for (int page_size : {0, 3, 256, 1000}) {
    std::string bytes = bytes_;
    bytes[16] = static_cast<char>(page_size >> 8);
    bytes[17] = static_cast<char>(page_size & 0xff);
    PageMap map(Memory(bytes), {});
    EXPECT_EQ(map.summary().databases, 0) << page_size;
    EXPECT_EQ(LiveCount(bytes), 0) << page_size;
  }
}

TEST_F(HostileDatabase, FreelistLoopsEnd) {
  const uint32_t trunk = Get32(bytes_, 32);
  ASSERT_NE(trunk, 0u);
  const size_t trunk_at = (trunk - 1) * kPageSize;
  std::string self_loop = bytes_;
  Put32(self_loop, trunk_at, trunk);               // next trunk: itself
  Put32(self_loop, trunk_at + 4, 0xffffffffu);     // leaf count: far too many
  PageMap map(Memory(self_loop), {});
  EXPECT_EQ(StatusText(map.StatusAt(trunk_at + 300)), "freelist");
  EXPECT_EQ(LiveImages(self_loop), 200);  // the b-trees are untouched
  std::string into_tree = bytes_;
  Put32(into_tree, 32, 1);  // the freelist claims the schema page
  EXPECT_EQ(LiveImages(into_tree), 200);
}

TEST_F(HostileDatabase, LyingPageCountsAndTruncationStayBounded) {
  std::string huge = bytes_;
  Put32(huge, 28, 0x7fffffff);
  Put32(huge, 92, Get32(huge, 24));  // make the count look trustworthy
  EXPECT_EQ(LiveImages(huge), 200);
  std::string tiny = bytes_;
  Put32(tiny, 28, 1);
  Put32(tiny, 92, Get32(tiny, 24));
  EXPECT_LT(LiveImages(tiny), 200);  // as SQLite would read it: one page
  for (size_t length : {size_t{100}, size_t{700}, bytes_.size() / 2, bytes_.size() - 1}) {
    const std::string cut = bytes_.substr(0, length);
    EXPECT_LE(LiveImages(cut), 200);
    LiveCount(cut);
  }
}

TEST_F(HostileDatabase, TreeLoopsAndWildPointersEnd) {
  std::vector<size_t> interior;
  for (size_t at = kPageSize; at < bytes_.size(); at += kPageSize)
    if (bytes_[at] == 0x05) interior.push_back(at);
  ASSERT_FALSE(interior.empty());
  std::string looped = bytes_;
  for (size_t at : interior) {
    Put32(looped, at + 8, static_cast<uint32_t>(at / kPageSize + 1));  // right child: itself
    const size_t first_cell = static_cast<uint8_t>(looped[at + 12]) * 256 + static_cast<uint8_t>(looped[at + 13]);
    if (first_cell + 4 <= kPageSize) Put32(looped, at + first_cell, 1);  // a child: the schema page
  }
  EXPECT_LE(LiveCount(looped), LiveCount(bytes_));
  std::string wild = bytes_;
  for (size_t at : interior) {
    wild[at + 3] = static_cast<char>(0xff);  // cell count far past the page
    wild[at + 4] = static_cast<char>(0xff);
    wild[at + 5] = 0;                        // content area from 0: 65536
    wild[at + 6] = 0;
  }
  EXPECT_LE(LiveCount(wild), LiveCount(bytes_));
}

TEST_F(HostileDatabase, RandomDamageNeverCrashes) {
  uint64_t seed = 42;
  auto next = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return seed >> 33;
  };
  for (int round = 0; round < 150; ++round) {
    std::string bytes = bytes_;
    const int damage = 1 + static_cast<int>(next() % 40);
    for (int i = 0; i < damage; ++i) bytes[next() % bytes.size()] = static_cast<char>(next());
    if (round % 10 == 0) bytes.resize(next() % bytes.size());
    PageMap map(Memory(bytes), {}, PageMapOptions{true, EmbeddedDatabases::kScanInput});
    for (int64_t at = 0; at < static_cast<int64_t>(bytes.size()); at += 7) {
      map.StatusAt(at);
      map.IsOverwrittenCopyOfLiveCell(at, std::string_view(bytes).substr(static_cast<size_t>(at)),
                                      next() % 200);
    }
    map.IsCopyOfLiveCell(1, 40, bytes.substr(0, 40));
  }
  // Not SQLite at all.
  for (char fill : {'\0', '\xff'}) {
    PageMap map(Memory(std::string(5000, fill)), {});
    EXPECT_EQ(map.StatusAt(4000), kUnknown);
  }
}

// A header on every boundary of a hostile image, each database's tree reaching
// large pages all through the rest of the image: walked one by one, the work
// would grow with the square of the image's size.
TEST(HostileImage, HeadersOnEveryBoundaryCostWorkInProportion) {
  auto put16 = [](std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v >> 8);
    b[at + 1] = static_cast<char>(v);
  };
  auto put32 = [&](std::string& b, size_t at, uint32_t v) {
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xffff);
  };
  // Page 1 of a database of 65536-byte pages claiming 65536 of them, its schema
  // naming one table rooted at page 2.
  std::string header(512, '\0');
  header.replace(0, 16, std::string("SQLite format 3\0", 16));
  put16(header, 16, 1);  // 65536
  header[18] = header[19] = 1;
  header[21] = 64;
  header[22] = header[23] = 32;
  put32(header, 24, 1);
  put32(header, 28, 65536);
  put32(header, 92, 1);
  const std::string sql = "CREATE TABLE t(a)";
  const std::string record = std::string{6, 23, 15, 15, 1, static_cast<char>(13 + 2 * sql.size())} +
                             "table" + "t" + "t" + std::string(1, 2) + sql;
  header[100] = 0x0d;
  put16(header, 103, 1);
  put16(header, 105, 120);
  put16(header, 108, 120);
  header.replace(120, 2 + record.size(), std::string{static_cast<char>(record.size()), 1} + record);
  // A table interior page whose children are the even pages 2 to 100.
  std::string interior(512, '\0');
  interior[0] = 0x05;
  const int children = 50;
  put16(interior, 3, children);
  put16(interior, 5, 200);
  put32(interior, 8, 2 * children + 2);
  for (int i = 0; i < children; ++i) {
    put16(interior, 12 + 2 * i, 200 + 5 * i);
    put32(interior, 200 + 5 * i, 2 * i + 2);
    interior[204 + 5 * i] = static_cast<char>(i + 1);
  }
  // Blocks 0-127 of every 256 hold page 1, blocks 128-255 the interior page, so
  // that page 2 and every even page of each database is an interior page.
  std::string image;
  for (int block = 0; block < 16 * 2048; ++block) image += block % 256 < 128 ? header : interior;
  PageMap map(Memory(image), {});
  EXPECT_GT(map.summary().databases, 10);
  EXPECT_LE(map.summary().bytes_read, 4 * static_cast<int64_t>(image.size()) + (int64_t{16} << 20) + 65536 + 64);
  // What was mapped still reads: interior cells of the last database mapped.
  int live = 0;
  for (int64_t at = 0; at < (int64_t{1} << 20); ++at) live += map.StatusAt(at) == kLive ? 1 : 0;
  EXPECT_GT(live, 0);
}

TEST(PageMapInput, AMissingInputThrowsAndMissingCompanionsDoNot) {
  TempDir dir;
  EXPECT_THROW(PageMap{dir.File("absent.db")}, Error);
  WriteFile(dir.File("lonely.db-wal"), std::string(100, 'w'));
  PageMap map(dir.File("lonely.db-wal"), PageMapOptions{true, EmbeddedDatabases::kScanInput});
  EXPECT_FALSE(map.summary().companion_database);
  EXPECT_FALSE(std::filesystem::exists(dir.File("lonely.db")));
  EXPECT_EQ(map.StatusAt(50), kUnknown);
}

}  // namespace
}  // namespace quarrow
