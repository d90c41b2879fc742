// The page layout against SQLite's own account of its pages: the dbstat table
// names each b-tree and overflow page's tree, and the pages it leaves out are
// the freelist's. Then the WAL beside a database, a WAL and an image as the
// input, and structure damaged by hand: what is mapped is drawn, the rest is
// unmapped, and nothing hangs or crashes.
#include "pagemap/page_layout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "report/sha256.h"
#include "sqlite_fixture.h"

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::SqliteDb;
using fixtures::SqliteDbOptions;
using fixtures::TempDir;
using fixtures::WriteFile;

uint32_t Get32(const std::string& bytes, size_t at) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// What each page should be, as SQLite tells it.
struct ExpectedPage {
  PageRole role = PageRole::kUnmapped;
  std::string tree;  // the tree's name for b-tree pages
};

// A database with two tables (one with overflowing rows), an index, and
// enough deletions to leave freelist trunk and leaf pages.
class PageLayoutTest : public ::testing::Test {
 protected:
  static constexpr int kPageSize = 1024;

  std::string MakeDatabase(const std::string& name, SqliteDbOptions options = {}) {
    const std::string path = dir_.File(name);
    options.page_size = kPageSize;
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE person(id INTEGER PRIMARY KEY, name TEXT, note TEXT);"
            "CREATE TABLE item(id INTEGER PRIMARY KEY, owner INTEGER, label TEXT);"
            "CREATE INDEX item_owner ON item(owner, label);");
    db.Exec("BEGIN");
    for (int i = 1; i <= 400; ++i) {
      db.Run("INSERT INTO person VALUES(?, ?, ?)",
             {i, "person " + std::to_string(i), std::string(i % 7 == 0 ? 3000 : 40, 'a' + i % 26)});
      db.Run("INSERT INTO item VALUES(?, ?, ?)", {i, i % 50, "label " + std::to_string(i * 7)});
    }
    db.Exec("COMMIT");
    db.Exec("DELETE FROM person WHERE id > 120 AND id < 330");
    expected_ = ExpectedPages(db);
    db.Close();
    return path;
  }

  // dbstat's page owners (before the connection closes; the file then holds
  // the same pages), and freelist pages read from the file's trunk chain.
  std::vector<ExpectedPage> ExpectedPages(SqliteDb& db) {
    const int64_t pages = db.QueryInt("PRAGMA page_count");
    std::vector<ExpectedPage> expected(static_cast<size_t>(pages));
    std::set<std::string> indexes;
    for (const auto& row : db.Query("SELECT name FROM sqlite_schema WHERE type = 'index'"))
      indexes.insert(row[0]);
    for (const auto& row : db.Query("SELECT name, pageno, pagetype FROM dbstat")) {
      ExpectedPage& page = expected.at(std::stoul(row[1]) - 1);
      page.tree = row[0];
      page.role = row[2] == "overflow" ? PageRole::kOverflow
                  : indexes.count(row[0]) ? PageRole::kIndex
                                          : PageRole::kTable;
    }
    free_trunk_pages_ = 0;
    for (ExpectedPage& page : expected) {
      if (page.tree.empty()) page.role = PageRole::kFreelistLeaf;
    }
    return expected;
  }

  // Marks the trunk pages of the file's freelist chain.
  void MarkTrunks(const std::string& path) {
    const std::string bytes = ReadFile(path);
    std::set<uint32_t> seen;
    for (uint32_t trunk = Get32(bytes, 32); trunk != 0 && seen.insert(trunk).second;) {
      expected_.at(trunk - 1).role = PageRole::kFreelistTrunk;
      ++free_trunk_pages_;
      trunk = Get32(bytes, static_cast<size_t>(trunk - 1) * kPageSize);
    }
  }

  TempDir dir_;
  std::vector<ExpectedPage> expected_;
  int free_trunk_pages_ = 0;
};

// Spans cover the input in order without gaps, and PageAt agrees with them.
void ExpectSpansCover(const PageLayout& layout) {
  int64_t at = 0;
  layout.ForEachSpan([&](const LayoutSpan& span) {
    EXPECT_EQ(span.start, at);
    EXPECT_LT(span.start, span.end);
    const LayoutSpan page = layout.PageAt(span.start);
    EXPECT_EQ(page.role, span.role) << "at " << span.start;
    EXPECT_EQ(page.tree, span.tree) << "at " << span.start;
    at = span.end;
  });
  EXPECT_EQ(at, layout.input_size());
}

std::string TreeName(const PageLayout& layout, const LayoutSpan& span) {
  return span.tree >= 0 ? layout.trees().at(static_cast<size_t>(span.tree)).name : "";
}

TEST_F(PageLayoutTest, EveryPageHasTheRoleAndTreeSqliteGivesIt) {
  const std::string path = MakeDatabase("db.sqlite");
  MarkTrunks(path);
  ASSERT_GT(free_trunk_pages_, 0);
  const PageLayout layout(path);
  EXPECT_EQ(layout.summary().input, LayoutSummary::Input::kDatabase);
  EXPECT_EQ(layout.summary().databases, 1);
  EXPECT_EQ(layout.summary().page_size, static_cast<uint32_t>(kPageSize));
  ASSERT_EQ(layout.input_size(), static_cast<int64_t>(expected_.size()) * kPageSize);

  std::map<PageRole, int> seen;
  for (size_t i = 0; i < expected_.size(); ++i) {
    const LayoutSpan page = layout.PageAt(static_cast<int64_t>(i) * kPageSize + 17);
    SCOPED_TRACE("page " + std::to_string(i + 1));
    EXPECT_EQ(page.start, static_cast<int64_t>(i) * kPageSize);
    EXPECT_EQ(page.end, page.start + kPageSize);
    EXPECT_EQ(page.unit, kPageSize);
    EXPECT_EQ(PageRoleText(page.role), PageRoleText(expected_[i].role));
    if (page.role == PageRole::kTable || page.role == PageRole::kIndex)
      EXPECT_EQ(TreeName(layout, page), expected_[i].tree);
    ++seen[page.role];
  }
  // The scenario holds every kind a database has.
  for (PageRole role : {PageRole::kTable, PageRole::kIndex, PageRole::kOverflow,
                        PageRole::kFreelistTrunk, PageRole::kFreelistLeaf})
    EXPECT_GT(seen[role], 0) << PageRoleText(role);
  ExpectSpansCover(layout);
}

TEST_F(PageLayoutTest, TreesNameTheirTables) {
  const PageLayout layout(MakeDatabase("db.sqlite"));
  std::map<std::string, LayoutTree> by_name;
  for (const LayoutTree& tree : layout.trees()) by_name[tree.name] = tree;
  ASSERT_TRUE(by_name.count("item_owner"));
  EXPECT_TRUE(by_name["item_owner"].index);
  EXPECT_EQ(by_name["item_owner"].table, "item");
  EXPECT_FALSE(by_name["person"].index);
  EXPECT_EQ(by_name["person"].table, "person");
  EXPECT_TRUE(by_name.count("sqlite_schema"));
}

TEST_F(PageLayoutTest, TheInputIsSeenWholeOnceInOrder) {
  const std::string path = MakeDatabase("db.sqlite");
  std::string seen;
  LayoutOptions options;
  options.on_input_bytes = [&seen](std::string_view bytes) { seen.append(bytes); };
  const PageLayout layout(path, options);
  EXPECT_EQ(seen, ReadFile(path));
}

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Pieces give the digest of the whole.
  Sha256 pieces;
  pieces.Update("a");
  pieces.Update("");
  pieces.Update("bc");
  EXPECT_EQ(pieces.HexDigest(), Sha256Hex("abc"));
}

TEST_F(PageLayoutTest, PagesTheWalReplacesAreSuperseded) {
  SqliteDbOptions options;
  options.wal = true;
  options.keep_wal = true;
  options.page_size = 1024;
  const std::string path = dir_.File("wal.sqlite");
  {
    SqliteDb db(path, options);
    db.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT)");
    for (int i = 0; i < 200; ++i) db.Run("INSERT INTO t(v) VALUES(?)", {std::string(100, 'x')});
    db.Checkpoint();
    db.Exec("UPDATE t SET v = 'changed' WHERE id < 20");
    db.Close();
  }
  const std::string wal = ReadFile(path + "-wal");
  ASSERT_GT(wal.size(), 32u);
  const PageLayout layout(path);
  EXPECT_TRUE(layout.summary().wal_applied);
  const int64_t frame_size = 24 + 1024;
  std::set<uint32_t> replaced;
  for (size_t at = 32; at + frame_size <= wal.size(); at += frame_size) replaced.insert(Get32(wal, at));
  const int64_t file_pages = layout.input_size() / 1024;
  int superseded = 0;
  for (uint32_t page : replaced) {
    if (page > file_pages) continue;
    EXPECT_EQ(layout.PageAt(int64_t{page - 1} * 1024).role, PageRole::kSuperseded) << page;
    ++superseded;
  }
  EXPECT_GT(superseded, 0);
  // The log as the input: frames on their grid.
  const PageLayout log(path + "-wal");
  EXPECT_EQ(log.summary().input, LayoutSummary::Input::kWal);
  const LayoutSpan second = log.PageAt(32 + frame_size + 5);
  EXPECT_EQ(second.role, PageRole::kWalFrame);
  EXPECT_EQ(second.start, 32 + frame_size);
  EXPECT_EQ(second.unit, frame_size);
  EXPECT_EQ(log.PageAt(3).role, PageRole::kUnmapped);  // the log's header
  ExpectSpansCover(log);
}

TEST_F(PageLayoutTest, ADatabaseInsideAnImageIsMappedWhereItLies) {
  const std::string database = ReadFile(MakeDatabase("db.sqlite"));
  const int64_t at = 7 * 512;
  std::string image(static_cast<size_t>(at), '\x5a');
  image += database;
  image += std::string(3000, '\x11');
  const std::string path = dir_.File("image.bin");
  WriteFile(path, image);
  const PageLayout layout(path);
  EXPECT_EQ(layout.summary().input, LayoutSummary::Input::kOther);
  EXPECT_EQ(layout.summary().databases, 1);
  EXPECT_EQ(layout.PageAt(0).role, PageRole::kUnmapped);
  const LayoutSpan first = layout.PageAt(at);
  EXPECT_EQ(first.role, PageRole::kTable);
  EXPECT_EQ(TreeName(layout, first), "sqlite_schema");
  for (size_t i = 0; i < expected_.size(); ++i) {
    if (expected_[i].role != PageRole::kTable) continue;
    const LayoutSpan page = layout.PageAt(at + static_cast<int64_t>(i) * kPageSize);
    EXPECT_EQ(TreeName(layout, page), expected_[i].tree) << "page " << i + 1;
  }
  EXPECT_EQ(layout.PageAt(layout.input_size() - 1).role, PageRole::kUnmapped);
  ExpectSpansCover(layout);
}

TEST_F(PageLayoutTest, ADamagedTreeLeavesItsPagesUnmappedAndTheRestNamed) {
  const std::string bytes = ReadFile(MakeDatabase("db.sqlite"));
  // The person table's b-tree pages lose their page type: none of them can be
  // read, while the item table and its index still are.
  std::string damaged = bytes;
  for (size_t i = 0; i < expected_.size(); ++i) {
    if (expected_[i].tree == "person" && expected_[i].role == PageRole::kTable)
      damaged[i * kPageSize] = '\x77';  // no page type
  }
  const PageLayout layout(std::make_shared<MemorySource>(damaged), nullptr);
  int unmapped = 0;
  for (size_t i = 0; i < expected_.size(); ++i) {
    const LayoutSpan page = layout.PageAt(static_cast<int64_t>(i) * kPageSize);
    if (expected_[i].tree == "item" || expected_[i].tree == "item_owner") {
      EXPECT_EQ(TreeName(layout, page), expected_[i].tree) << "page " << i + 1;
    }
    if (expected_[i].tree == "person" && page.role == PageRole::kUnmapped) ++unmapped;
  }
  EXPECT_GT(unmapped, 0);
  ExpectSpansCover(layout);
}

TEST_F(PageLayoutTest, LoopsAndRandomDamageEndQuickly) {
  const std::string bytes = ReadFile(MakeDatabase("db.sqlite"));
  std::mt19937 random(22);
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 200; ++round) {
    std::string damaged = bytes;
    // Child pointers aimed back at the root and at page 1 make loops; random
    // bytes break headers, counts and pointers.
    for (int i = 0; i < 40; ++i) {
      const size_t at = random() % damaged.size();
      if (i % 4 == 0 && at + 4 <= damaged.size()) {
        const uint32_t page = random() % 3 == 0 ? 1 : random() % 80;
        for (int k = 0; k < 4; ++k) damaged[at + k] = static_cast<char>(page >> (24 - 8 * k));
      } else {
        damaged[at] = static_cast<char>(random());
      }
    }
    const PageLayout layout(std::make_shared<MemorySource>(damaged), nullptr);
    ExpectSpansCover(layout);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST(PageLayoutInputs, EmptyAndShortInputsAreUnmapped) {
  for (const std::string& bytes : {std::string(), std::string("SQLite format 3"),
                                   std::string("SQLite format 3\0", 16) + std::string(200, '\xff')}) {
    const PageLayout layout(std::make_shared<MemorySource>(bytes), nullptr);
    EXPECT_EQ(layout.summary().databases, 0);
    int spans = 0;
    layout.ForEachSpan([&](const LayoutSpan& span) {
      EXPECT_EQ(span.role, PageRole::kUnmapped);
      ++spans;
    });
    EXPECT_EQ(spans, bytes.empty() ? 0 : 1);
  }
}

}  // namespace
}  // namespace quarrow
