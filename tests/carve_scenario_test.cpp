// The table carver's scenarios, read back with SQLite's C library from copies
// (never the scenario's own files): the truth's live rows are the tables'
// rows, every live record lies in the files as the truth encodes it, the WAL
// and the journal hold what they should, and each family makes what it claims.
// Then the carve measure's matching and counting on small hand-made reports.
#if defined(QUARROW_HAVE_CARVE_SCENARIO)

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "carve_builder.h"
#include "carve_json.h"
#include "carve_measure.h"
#include "carve_record.h"
#include "carve_scenario.h"
#include "carve_values.h"
#include "command_helpers.h"
#include "sqlite_fixture.h"

namespace quarrow::scenario {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using fixtures::ReadFile;
using fixtures::TempDir;
using Values = std::vector<SqlValue>;

// A read-only connection to a copy of a scenario's database (with its -wal
// unless asked not to), in a folder of its own.
class CopyReader {
 public:
  explicit CopyReader(const fs::path& scenario, bool with_wal = true) {
    const fs::path copy = dir_.path() / "db.sqlite";
    fs::copy_file(scenario / "db.sqlite", copy);
    if (with_wal && fs::exists(scenario / "db.sqlite-wal")) {
      fs::copy_file(scenario / "db.sqlite-wal", dir_.path() / "db.sqlite-wal");
    }
    if (sqlite3_open_v2(copy.string().c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      throw std::runtime_error("cannot open " + copy.string());
    }
  }
  ~CopyReader() { sqlite3_close(db_); }
  CopyReader(const CopyReader&) = delete;
  CopyReader& operator=(const CopyReader&) = delete;

  std::vector<Values> Rows(const std::string& sql) const {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
    }
    std::vector<Values> rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      Values row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) row.push_back(Read(stmt, i));
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    return rows;
  }
  int64_t Int(const std::string& sql) const { return Rows(sql).at(0).at(0).integer; }

 private:
  static SqlValue Read(sqlite3_stmt* stmt, int i) {
    const auto size = static_cast<size_t>(sqlite3_column_bytes(stmt, i));
    switch (sqlite3_column_type(stmt, i)) {
      case SQLITE_INTEGER: return SqlValue::Integer(sqlite3_column_int64(stmt, i));
      case SQLITE_FLOAT: return SqlValue::Real(sqlite3_column_double(stmt, i));
      case SQLITE_TEXT:
        return SqlValue::Text(std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)), size));
      case SQLITE_BLOB:
        return SqlValue::Blob(size == 0 ? std::string()
                                        : std::string(static_cast<const char*>(sqlite3_column_blob(stmt, i)), size));
      default: return SqlValue::Null();
    }
  }

  TempDir dir_;
  sqlite3* db_ = nullptr;
};

// True iff the truth's JSON value is what SQLite read.
bool SameValue(const JsonValue& truth, const SqlValue& read) {
  switch (read.kind) {
    case SqlValue::Kind::kNull: return truth.is_null();
    case SqlValue::Kind::kInteger: return JsonInteger(truth) == read.integer;
    case SqlValue::Kind::kReal:
      return truth.kind == JsonValue::Kind::kNumber && std::stod(truth.text) == read.real &&
             !JsonInteger(truth);
    case SqlValue::Kind::kText:
      return truth.kind == JsonValue::Kind::kString && truth.text == read.bytes;
    case SqlValue::Kind::kBlob:
      return truth.kind == JsonValue::Kind::kString && truth.text == HexText(read.bytes);
  }
  return false;
}

std::vector<std::string> Evidence(const fs::path& dir) {
  std::vector<std::string> files;
  for (const char* name : {"db.sqlite", "db.sqlite-wal", "db.sqlite-journal"}) {
    if (fs::exists(dir / name)) files.push_back(ReadFile((dir / name).string()));
  }
  return files;
}

bool InFiles(std::string_view bytes, const std::vector<std::string>& files) {
  return std::any_of(files.begin(), files.end(),
                     [&](const std::string& f) { return f.find(bytes) != std::string::npos; });
}

// A scenario made in a temporary folder, with its truth parsed back from text.
struct Made {
  TempDir dir;
  Scenario scenario;
  Truth truth;
  std::vector<std::string> files;

  explicit Made(const ScenarioOptions& options) {
    scenario = MakeCarveScenario(dir.path() / "s", options);
    truth = ParseTruth(TruthText(scenario));
    files = Evidence(dir.path() / "s");
  }
  fs::path path() const { return dir.path() / "s"; }
  std::vector<const TruthRow*> Versions(const std::string& table, const char* fate) const {
    std::vector<const TruthRow*> out;
    for (const TruthRow& row : truth.rows) {
      if (row.table == table && (fate == nullptr || row.fate == fate)) out.push_back(&row);
    }
    return out;
  }
};

ScenarioOptions Options(Family family, int page_size = 1024,
                        JournalMode journal = JournalMode::kWal, uint64_t seed = 1) {
  return {family, seed, page_size, journal};
}

// --- Every family, journal mode and page size ---------------------------------

using Case = std::tuple<Family, int, JournalMode>;

class CarveScenarioTest : public ::testing::TestWithParam<Case> {};

TEST_P(CarveScenarioTest, TruthAgreesWithWhatSqliteReadsAndTheFilesHold) {
  const auto [family, page_size, journal] = GetParam();
  const Made made(Options(family, page_size, journal, 2));
  const Truth& truth = made.truth;
  ASSERT_EQ(truth.rows.size(), made.scenario.rows.size());
  EXPECT_EQ(truth.family, FamilyName(family));
  EXPECT_EQ(truth.page_size, page_size);

  const CopyReader db(made.path());
  EXPECT_EQ(db.Int("PRAGMA page_size"), page_size);
  EXPECT_EQ(db.Int("PRAGMA auto_vacuum"), 0);
  for (const TruthTable& table : truth.tables) {
    SCOPED_TRACE(table.name);
    const int64_t in_schema =
        db.Int("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = '" + table.name + "'");
    EXPECT_EQ(in_schema, table.dropped ? 0 : 1);
    // Every table lost rows one way or another.
    EXPECT_FALSE(made.Versions(table.name, "deleted").empty() &&
                 made.Versions(table.name, "dropped").empty());
    if (table.dropped) {
      EXPECT_TRUE(made.Versions(table.name, "live").empty());
      continue;
    }
    const std::vector<Values> rows = db.Rows("SELECT rowid, * FROM " + table.name + " ORDER BY rowid");
    const std::vector<const TruthRow*> live = made.Versions(table.name, "live");
    ASSERT_EQ(rows.size(), live.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      ASSERT_EQ(rows[r].size(), table.columns.size() + 1);
      EXPECT_EQ(rows[r][0].integer, live[r]->rowid);
      for (size_t c = 0; c < table.columns.size(); ++c) {
        EXPECT_TRUE(SameValue(live[r]->values[c], rows[r][c + 1]))
            << "rowid " << live[r]->rowid << " column " << table.columns[c];
      }
    }
  }

  // The truth's record bytes are SQLite's: a live record lies whole in the
  // files, its header-length varint included, or piece by piece on its pages.
  for (const TruthRow& row : truth.rows) {
    if (row.fate != "live") continue;
    EXPECT_TRUE(Survives(row, page_size, made.files)) << row.table << " rowid " << row.rowid;
    EXPECT_EQ(row.overflow, Overflows(static_cast<int64_t>(row.record.size()), page_size));
    if (!row.overflow) {
      EXPECT_TRUE(InFiles(row.record, made.files)) << row.table << " " << row.rowid;
    }
  }

  const fs::path wal = made.path() / "db.sqlite-wal";
  const fs::path journal_file = made.path() / "db.sqlite-journal";
  EXPECT_FALSE(fs::exists(made.path() / "db.sqlite-shm"));
  if (journal == JournalMode::kWal) {
    ASSERT_TRUE(fs::exists(wal));
    EXPECT_FALSE(fs::exists(journal_file));
    const auto size = static_cast<int64_t>(fs::file_size(wal));
    EXPECT_GE(size, 32 + page_size + 24);
    EXPECT_EQ((size - 32) % (page_size + 24), 0);
    // The WAL holds committed deletions: without it, some row the truth
    // calls deleted or dropped is still a row of its table.
    const CopyReader without_wal(made.path(), false);
    bool deletion_in_wal = false;
    for (const TruthTable& table : truth.tables) {
      if (without_wal.Int("SELECT count(*) FROM sqlite_master WHERE name = '" + table.name + "'") == 0) continue;
      std::set<int64_t> live_rowids;
      for (const TruthRow* row : made.Versions(table.name, "live")) live_rowids.insert(row->rowid);
      for (const Values& row : without_wal.Rows("SELECT rowid FROM " + table.name)) {
        deletion_in_wal |= live_rowids.count(row[0].integer) == 0;
      }
    }
    EXPECT_TRUE(deletion_in_wal);
  } else {
    ASSERT_TRUE(fs::exists(journal_file));
    EXPECT_FALSE(fs::exists(wal));
    const std::string bytes = ReadFile(journal_file.string());
    ASSERT_GE(bytes.size(), 512u + static_cast<size_t>(page_size));
    // Old page images past the (zeroed) journal header.
    EXPECT_NE(bytes.find_first_not_of('\0', 512), std::string::npos);
  }
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  const auto [family, page_size, journal] = info.param;
  return std::string(FamilyName(family)) + "_" + std::to_string(page_size) + "_" +
         std::string(JournalName(journal));
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, CarveScenarioTest,
                         ::testing::Combine(::testing::ValuesIn(AllFamilies()),
                                            ::testing::Values(4096),
                                            ::testing::Values(JournalMode::kWal, JournalMode::kDelete)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(SmallestAndLargestPages, CarveScenarioTest,
                         ::testing::Combine(::testing::ValuesIn(AllFamilies()),
                                            ::testing::Values(512, 65536),
                                            ::testing::Values(JournalMode::kWal)),
                         CaseName);

// --- What each family claims ---------------------------------------------------

TEST(CarveScenario, IpkDeletesSixtyOfTwoHundredAndKeepsPriorVersions) {
  const Made made(Options(Family::kIpk));
  EXPECT_EQ(made.Versions("t", "deleted").size(), 60u);
  EXPECT_EQ(made.Versions("t", "live").size(), 140u);
  EXPECT_EQ(made.Versions("t", "prior").size(), 10u);
  // The INTEGER PRIMARY KEY reads as the rowid and is stored as NULL.
  for (const TruthRow* row : made.Versions("t", nullptr)) {
    EXPECT_EQ(JsonInteger(row->values[0]), row->rowid);
    EXPECT_EQ(row->record[1], '\0');
  }
}

TEST(CarveScenario, NoIpkHasATableWithoutIntegerPrimaryKey) {
  const Made made(Options(Family::kNoIpk));
  ASSERT_NE(made.truth.FindTable("u"), nullptr);
  EXPECT_EQ(made.truth.FindTable("u")->ipk_column, -1);
  EXPECT_EQ(made.Versions("u", "deleted").size(), 60u);
  EXPECT_EQ(made.Versions("t", "deleted").size(), 60u);
}

TEST(CarveScenario, RunsDeleteConsecutiveRowidsInBothTables) {
  const Made made(Options(Family::kRuns));
  for (const char* table : {"r", "q"}) {
    std::set<int64_t> gone;
    for (const TruthRow* row : made.Versions(table, "deleted")) gone.insert(row->rowid);
    int longest = 0;
    for (const int64_t rowid : gone) {
      int length = 1;
      while (gone.count(rowid + length) != 0) ++length;
      longest = std::max(longest, length);
    }
    EXPECT_GE(longest, 2) << table;
  }
  EXPECT_EQ(made.truth.FindTable("q")->ipk_column, -1);
}

TEST(CarveScenario, BulkFreesPagesToTheFreelistAtEveryPageSize) {
  for (const int page_size : {512, 4096, 65536}) {
    SCOPED_TRACE(page_size);
    const Made made(Options(Family::kBulk, page_size));
    EXPECT_GT(CopyReader(made.path()).Int("PRAGMA freelist_count"), 0);
  }
}

TEST(CarveScenario, OverflowRecordsSpillOntoOverflowPagesAtEveryPageSize) {
  for (const int page_size : {512, 4096, 65536}) {
    SCOPED_TRACE(page_size);
    const Made made(Options(Family::kOverflow, page_size));
    const CopyReader db(made.path());
    EXPECT_GT(db.Int("SELECT count(*) FROM dbstat WHERE pagetype = 'overflow'"), 0);
    int deleted_overflow = 0;
    for (const TruthRow* row : made.Versions("o", "deleted")) deleted_overflow += row->overflow;
    EXPECT_GT(deleted_overflow, 0);
    for (const TruthRow* row : made.Versions("o", nullptr)) {
      EXPECT_GE(row->record.size(), 1024u);
    }
  }
}

TEST(CarveScenario, DropRemovesTheTableAndItsLiveRowsBecomeDropped) {
  for (const uint64_t seed : {1, 2}) {  // dropped before the last steps, and in them
    for (const JournalMode journal : {JournalMode::kWal, JournalMode::kDelete}) {
      const Made made(Options(Family::kDrop, 1024, journal, seed));
      const TruthTable* g = made.truth.FindTable("g");
      ASSERT_NE(g, nullptr);
      EXPECT_TRUE(g->dropped);
      EXPECT_EQ(made.Versions("g", "dropped").size(), 130u);
      EXPECT_EQ(made.Versions("g", "deleted").size(), 20u);
      EXPECT_EQ(CopyReader(made.path()).Int("SELECT count(*) FROM sqlite_master WHERE name = 'g'"), 0);
      EXPECT_NE(made.scenario.tables[1].sql.find("CREATE TABLE g"), std::string::npos);
    }
  }
}

TEST(CarveScenario, ReuseRefillsFreedSpaceWithSmallerRows) {
  const Made made(Options(Family::kReuse));
  std::map<int64_t, std::vector<const TruthRow*>> by_rowid;
  for (const TruthRow* row : made.Versions("re", nullptr)) by_rowid[row->rowid].push_back(row);
  int same_rowid = 0;
  int beside = 0;
  for (const auto& [rowid, versions] : by_rowid) {
    const bool deleted = std::any_of(versions.begin(), versions.end(),
                                     [](const TruthRow* r) { return r->fate == "deleted"; });
    const bool live = std::any_of(versions.begin(), versions.end(),
                                  [](const TruthRow* r) { return r->fate == "live"; });
    same_rowid += deleted && live;
    if (rowid % 10 == 5) {
      ++beside;
      EXPECT_TRUE(by_rowid.count(rowid - 5) != 0);
    }
  }
  EXPECT_GT(same_rowid, 5);
  EXPECT_GT(beside, 5);
}

TEST(CarveScenario, SimilarWritesThreeTablesOfTheSameKinds) {
  const Made made(Options(Family::kSimilar));
  for (const char* table : {"s1", "s2", "s3"}) {
    EXPECT_EQ(made.Versions(table, "deleted").size(), 40u) << table;
  }
  EXPECT_EQ(made.truth.FindTable("s3")->ipk_column, -1);
}

TEST(CarveScenario, AddColReadsOlderRowsWithTheDefaultsAndDeletesOldAndNewRows) {
  const Made made(Options(Family::kAddCol));
  const TruthTable* a = made.truth.FindTable("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->columns, (std::vector<std::string>{"id", "name", "n", "tag", "score"}));
  int old_deleted = 0;
  int new_deleted = 0;
  for (const TruthRow* row : made.Versions("a", "deleted")) {
    // A version written before ADD COLUMN stores three columns: its header
    // is its length byte and three serial types (the text's may take two
    // bytes), where a newer one holds five.
    const bool old = row->record[0] < 6;
    (old ? old_deleted : new_deleted) += 1;
    if (old) {
      EXPECT_EQ(row->values[3].text, "plain");
      EXPECT_TRUE(row->values[4].is_null());
    }
  }
  EXPECT_GT(old_deleted, 5);
  EXPECT_GT(new_deleted, 5);
  EXPECT_GT(CopyReader(made.path()).Int("SELECT count(*) FROM a WHERE tag = 'plain' AND score IS NULL"), 50);
}

TEST(CarveScenario, IntsHoldsOnlyIntegersOfEveryWidth) {
  const Made made(Options(Family::kInts));
  std::set<int> widths;
  for (const TruthRow* row : made.Versions("i", nullptr)) {
    for (const JsonValue& value : row->values) {
      EXPECT_TRUE(value.is_null() || JsonInteger(value)) << value.text;
      if (!JsonInteger(value)) continue;
      const int64_t v = *JsonInteger(value);
      const uint64_t magnitude = v < 0 ? ~static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
      widths.insert(std::bit_width(magnitude));
    }
  }
  EXPECT_TRUE(widths.count(0) && widths.count(63) && widths.count(47));
}

TEST(CarveScenario, AllHoldsEveryFamilysTables) {
  const Made made(Options(Family::kAll));
  std::set<std::string> names;
  for (const TruthTable& table : made.truth.tables) names.insert(table.name);
  for (const char* name : {"ipk_t", "noipk_t", "noipk_u", "runs_r", "runs_q", "bulk_b", "reuse_re",
                           "overflow_o", "drop_k", "drop_g", "similar_s1", "similar_s2",
                           "similar_s3", "addcol_a", "ints_i"}) {
    EXPECT_EQ(names.count(name), 1u) << name;
  }
}

TEST(CarveScenario, SameOptionsGiveTheSameTruthAndOtherSeedsOthers) {
  const ScenarioOptions options = Options(Family::kSimilar, 2048, JournalMode::kDelete, 5);
  const Made first(options);
  const Made again(options);
  EXPECT_EQ(TruthText(first.scenario), TruthText(again.scenario));
  // The files too, the journal's nonce and the log's salts included, so that
  // measures over them repeat.
  ASSERT_EQ(first.files.size(), 2u);
  EXPECT_TRUE(first.files == again.files);
  ScenarioOptions wal = options;
  wal.journal = JournalMode::kWal;
  EXPECT_TRUE(Made(wal).files == Made(wal).files);
  ScenarioOptions other = options;
  other.seed = 6;
  const Made different(other);
  EXPECT_NE(TruthText(first.scenario), TruthText(different.scenario));
}

TEST(CarveScenario, RefusesBadPageSizes) {
  TempDir dir;
  for (const int page_size : {256, 1000, 131072}) {
    EXPECT_THROW(MakeCarveScenario(dir.path(), Options(Family::kIpk, page_size)), std::runtime_error);
  }
}

// --- The record encoding against SQLite's own ----------------------------------

TEST(CarveRecord, RealColumnsStoreWholeRealsAsIntegersUpToSixBytes) {
  // The encoding of the values SQLite treats specially, checked against the
  // bytes it writes.
  TempDir dir;
  ScenarioBuilder builder(dir.path(), Options(Family::kIpk, 1024, JournalMode::kDelete));
  builder.CreateTable("r", {ColumnSpec::Ipk("id"), ColumnSpec::Of("x", "REAL"),
                            ColumnSpec::Of("n", "INTEGER"), ColumnSpec::Of("any", "")});
  const std::vector<Values> rows = {
      {SqlValue::Null(), SqlValue::Real(3.0), SqlValue::Real(4.0), SqlValue::Text("12")},
      {SqlValue::Null(), SqlValue::Real(std::ldexp(1.0, 50)), SqlValue::Integer(-1), SqlValue::Real(2.0)},
      {SqlValue::Null(), SqlValue::Real(-140737488355328.0), SqlValue::Text("77"), SqlValue::Blob("")},
      {SqlValue::Null(), SqlValue::Real(0.5), SqlValue::Integer(1), SqlValue::Integer(0)},
      {SqlValue::Null(), SqlValue::Integer(7), SqlValue::Null(), SqlValue::Text("")},
  };
  builder.Begin();
  for (const Values& row : rows) builder.Insert("r", row);
  builder.Commit();
  builder.StartLastSteps();
  builder.Delete("r", 5);
  const Scenario scenario = builder.Finish();
  const std::string file = ReadFile((dir.path() / "db.sqlite").string());
  for (const RowVersion& row : scenario.rows) {
    if (row.fate == Fate::kLive) {
      EXPECT_NE(file.find(row.record), std::string::npos) << row.rowid;
    }
  }
  // 3.0 in a REAL column: serial type 1, and 4.0 in an INTEGER one; "12"
  // stays a text where there is no type (serial type 17); 2^50 stays a real
  // (type 7); the INTEGER column's "77" became an integer.
  EXPECT_EQ(scenario.rows[0].record.substr(0, 5), std::string("\x05\x00\x01\x01\x11", 5));
  EXPECT_EQ(static_cast<int>(scenario.rows[1].record[2]), 7);
  EXPECT_EQ(scenario.rows[2].values[2], SqlValue::Integer(77));
  EXPECT_EQ(scenario.rows[2].values[3], SqlValue::Blob(""));
  EXPECT_EQ(scenario.rows[4].values[1], SqlValue::Real(7.0));
}

TEST(CarveRecord, LongHeadersCountTheirOwnTwoByteLength) {
  const Values nulls(200, SqlValue::Null());
  const std::string record = EncodeRecord(nulls, std::vector<Affinity>(200, Affinity::kBlob), -1);
  ASSERT_EQ(record.size(), 202u);
  EXPECT_EQ(record.substr(0, 2), "\x81\x4a");  // 202
  std::string varint;
  AppendVarint(0xFFFFFFFFFFFFFFFFULL, varint);
  EXPECT_EQ(varint, std::string(9, '\xFF'));
  varint.clear();
  AppendVarint(128, varint);
  EXPECT_EQ(varint, "\x81\x00"s);
}

TEST(CarveRecord, PayloadPiecesFollowTheLeafAndOverflowPages) {
  // 512-byte pages: at most 477 bytes stay on the leaf, at least 39.
  EXPECT_EQ(PayloadPieces(477, 512).size(), 1u);
  const std::vector<PayloadPiece> pieces = PayloadPieces(2000, 512);
  int64_t total = 0;
  for (const PayloadPiece& piece : pieces) {
    EXPECT_EQ(piece.start, total);
    total += piece.size;
  }
  EXPECT_EQ(total, 2000);
  // 39 + (2000 - 39) % 508 = 476 fits the leaf; the rest fills 508-byte pages.
  EXPECT_EQ(pieces[0].size, 476);
  EXPECT_EQ(pieces.size(), 4u);
  EXPECT_EQ(PayloadPieces(1000, 512)[0].size, 39);  // 39 + 961 % 508 = 492 does not fit
}

// --- The measure on hand-made truth and reports ------------------------------------

// A truth of one table t(id INTEGER PRIMARY KEY, name, n, x, status): row 1
// live, 2 and 3 deleted, 4 updated (a prior and a live version), 5 dropped.
const char kTruth[] =
    R"({"family":"ipk","seed":1,"page_size":4096,"journal":"wal","tables":[{"name":"t","columns":["id","name","n","x","status"],"ipk":"id","dropped":false,"sql":""}]}
{"table":"t","rowid":1,"fate":"live","values":{"id":1,"name":"kept","n":5,"x":2.5,"status":"a"},"overflow":false,"record":"0600170101070f6b6570740540040000000000000066"}
{"table":"t","rowid":2,"fate":"deleted","values":{"id":2,"name":"gone","n":-7,"x":3.0,"status":null},"overflow":false,"record":"0600150101000f676f6e65f903"}
{"table":"t","rowid":3,"fate":"deleted","values":{"id":3,"name":"lost \"one\"","n":9007199254740993,"x":0.1,"status":"b"},"overflow":false,"record":"0600210607"}
{"table":"t","rowid":4,"fate":"prior","values":{"id":4,"name":"old","n":1,"x":null,"status":null},"overflow":false,"record":""}
{"table":"t","rowid":4,"fate":"live","values":{"id":4,"name":"new","n":2,"x":null,"status":null},"overflow":false,"record":""}
{"table":"t","rowid":5,"fate":"dropped","values":{"id":5,"name":"\u00e9t\u00e9 \ud83d\ude00","n":0,"x":-1e-300,"status":"c"},"overflow":false,"record":""}
)";

std::vector<ReportRow> Report(const std::string& lines) { return ParseReport(lines); }

// The carver against the truth where it once lost rows: a run of cells freed
// from the last to the first whose old headers are all that marks them (many
// tables, 64 KiB pages), an overflow record of a rollback journal whose
// chain the transaction turned into a freelist trunk (its journal copy holds
// the page as it was), and one whose journal, its header zeroed, holds a page
// twice: as the last transaction found it, and further on as an earlier one
// did, with the record's chain.
// The WAL case: overflow_o's rowid 37 lies in a frame of an earlier
// generation of the log, and its first overflow page was since reused by a
// whole chain of another record; read as the pages stand now, it came back
// with that record's text. In noipk's t (512-byte pages, seed 3), rowid 92
// lies in a page's unallocated gap under an old freeblock header that claims
// space live cells took since; the cell ends where another, whole, starts.
// In drop's g (4096-byte pages, seed 2), pages of the dropped table that had
// been leaves and then interior pages hold whole old cells whose tails the
// interior cells overwrote: they are cut where the content area starts.
TEST(CarveScenarioCarving, RunsFreedLastToFirstAndChainsOfOlderRecordsComeBack) {
  struct Case {
    Family family;
    int page_size;
    uint64_t seed;
    const char* table;
    JournalMode journal;
    bool every_row = false;  // every surviving deleted row right, not 99%
    bool few_false = false;  // false rows under 1% of the report, not 2%
  };
  for (const Case& c : {Case{Family::kAll, 65536, 2, "bulk_b", JournalMode::kDelete},
                        Case{Family::kOverflow, 512, 2, "o", JournalMode::kDelete},
                        Case{Family::kOverflow, 512, 3, "o", JournalMode::kDelete},
                        Case{Family::kAll, 512, 3, "overflow_o", JournalMode::kWal},
                        Case{Family::kNoIpk, 512, 3, "t", JournalMode::kDelete, true},
                        Case{Family::kDrop, 4096, 2, "g", JournalMode::kDelete, false, true}}) {
    SCOPED_TRACE(c.table);
    const Made made(Options(c.family, c.page_size, c.journal, c.seed));
    std::string report;
    for (const std::string name : {"db.sqlite", "db.sqlite-journal", "db.sqlite-wal"}) {
      const fs::path input = made.path() / name;
      if (!fs::exists(input)) continue;
      const fs::path out = made.dir.path() / "report.jsonl";
      const testing::CliRun run = testing::RunCli(
          {"find", "--table", c.table, "--format", "jsonl", "--details", input.string(), out.string()});
      ASSERT_EQ(run.status, 0) << run.err;
      report += fixtures::ReadFile(out.string());
    }
    const CarveMeasure m = MeasureCarve(made.truth, c.table, ParseReport(report), made.files, false);
    ASSERT_GT(m.right_surviving.of, 0);
    EXPECT_GE(m.right_surviving.count * 100, m.right_surviving.of * 99) << FormatMeasure(c.table, m);
    if (c.every_row) EXPECT_EQ(m.right_surviving.count, m.right_surviving.of) << FormatMeasure(c.table, m);
    if (c.few_false) EXPECT_LT(m.false_rows.count * 100, m.false_rows.of) << FormatMeasure(c.table, m);
    EXPECT_EQ(m.overflow_right.count, m.overflow_right.of) << FormatMeasure(c.table, m);
  }
}


// drop_g was dropped before the journal's transaction began: its freed
// schema row lies in the database beside the journal, not in the journal, and
// a find on the journal takes its definition from there.
TEST(CarveScenarioCarving, AJournalTakesDroppedTablesFromItsDatabase) {
  const Made made(Options(Family::kAll, 512, JournalMode::kDelete, 1));
  const fs::path journal = made.path() / "db.sqlite-journal";
  ASSERT_TRUE(fs::exists(journal));
  const fs::path out = made.dir.path() / "drop_g.tsv";
  const testing::CliRun run = testing::RunCli({"find", "--table", "drop_g", journal.string(), out.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(out));
}

TEST(CarveMeasure, ParsesTheTruthWithEscapesAndTheHeadersTables) {
  const Truth truth = ParseTruth(kTruth);
  ASSERT_EQ(truth.tables.size(), 1u);
  EXPECT_EQ(truth.tables[0].ipk_column, 0);
  ASSERT_EQ(truth.rows.size(), 6u);
  EXPECT_EQ(truth.rows[2].values[1].text, "lost \"one\"");
  EXPECT_EQ(truth.rows[5].values[1].text, "été 😀");
  EXPECT_EQ(truth.rows[1].record, std::string("\x06\x00\x15\x01\x01\x00\x0f" "gone\xf9\x03", 13));
  EXPECT_THROW(ParseTruth("{\"table\":\"t\"}\n"), std::runtime_error);  // no header
  EXPECT_THROW(ParseTruth(std::string(kTruth) + "{\"table\":\"t\",\"rowid\":\n"), std::runtime_error);
}

TEST(CarveMeasure, ValuesMatchByKindWithIntegersExactAndRealsAsDoubles) {
  auto number = [](const char* text) { return ParseJson(text); };
  EXPECT_TRUE(ValuesMatch(number("3"), number("3.0")));        // a whole real stored as integer
  EXPECT_TRUE(ValuesMatch(number("1e3"), number("1000.0")));
  EXPECT_TRUE(ValuesMatch(number("0.10000000000000001"), number("0.1")));
  EXPECT_FALSE(ValuesMatch(number("9007199254740993"), number("9007199254740992")));
  EXPECT_FALSE(ValuesMatch(number("\"5\""), number("5")));
  EXPECT_FALSE(ValuesMatch(number("null"), number("\"\"")));
  EXPECT_TRUE(ValuesMatch(number("\"00ff\""), number("\"00ff\"")));
  EXPECT_TRUE(ValuesMatch(number("null"), number("null")));
}

TEST(CarveMeasure, CountsRightFalsePartialPriorAndLiveRowsClaimedDeleted) {
  const Truth truth = ParseTruth(kTruth);
  // Row 2's record bytes survive but for its first two; row 3's do not.
  const std::vector<std::string> files = {std::string("xx\x15\x01\x01\x00\x0f" "gone\xf9\x03yy", 15)};
  const std::vector<ReportRow> report = Report(
      // Right, the real read back as an integer, "status" under its suffix.
      R"({"offset":1,"rowid":2,"id":2,"name":"gone","n":-7,"x":3,"status":"freeblock","state":"deleted","recovery":"rebuilt","status_2":null})" "\n"
      // False: one value wrong.
      R"({"offset":2,"rowid":3,"id":3,"name":"lost \"one\"","n":9007199254740992,"x":0.1,"status_2":"b","state":"deleted","recovery":"intact"})" "\n"
      // Partial, rowid lost: matches row 3 on what it knows, but is not right.
      R"({"offset":3,"rowid":null,"id":null,"name":"lost \"one\"","n":null,"x":0.1,"status_2":"b","state":"unknown","recovery":"partial"})" "\n"
      // The live row 1 claimed deleted.
      R"({"offset":4,"rowid":1,"id":1,"name":"kept","n":5,"x":2.5,"status_2":"a","state":"deleted","recovery":"intact"})" "\n"
      // The live row 1 as live: fine.
      R"({"offset":5,"rowid":1,"id":1,"name":"kept","n":5,"x":2.5,"status_2":"a","state":"live","recovery":"intact"})" "\n"
      // The prior version of row 4, seen as prior.
      R"({"offset":6,"rowid":4,"id":4,"name":"old","n":1,"x":null,"status_2":null,"state":"prior","recovery":"intact"})" "\n"
      // Row 2's values under a wrong rowid: false.
      R"({"offset":7,"rowid":9,"id":9,"name":"gone","n":-7,"x":3.0,"status_2":null,"state":"deleted","recovery":"intact"})" "\n"
      "\n");
  ASSERT_EQ(report.size(), 7u);
  const CarveMeasure m = MeasureCarve(truth, "t", report, files, false);
  EXPECT_EQ(m.deleted.count, 3);  // rows 2, 3 and the dropped 5
  EXPECT_EQ(m.deleted.of, 6);
  EXPECT_EQ(m.surviving.count, 1);
  EXPECT_EQ(m.right.count, 1);
  EXPECT_EQ(m.right_surviving.count, 1);
  EXPECT_EQ(m.right_surviving.of, 1);
  EXPECT_EQ(m.false_rows.count, 2);
  EXPECT_EQ(m.false_rows.of, 7);
  EXPECT_EQ(m.false_row_indexes, (std::vector<size_t>{1, 6}));
  EXPECT_EQ(report[6].line.substr(0, 22), R"({"offset":7,"rowid":9,)");
  EXPECT_EQ(m.live_under_deleted.count, 1);
  EXPECT_EQ(m.live_under_deleted.of, 2);
  EXPECT_EQ(m.prior_seen.count, 1);
  EXPECT_EQ(m.prior_seen.of, 1);
  EXPECT_FALSE(TargetsMet(m));

  // In a --deleted-only report every row claims not to be live: the live row
  // without a state counts too.
  const std::vector<ReportRow> deleted_only = Report(
      R"({"offset":5,"rowid":1,"id":null,"name":"kept","n":5,"x":2.5,"status_2":"a"})" "\n");
  EXPECT_EQ(MeasureCarve(truth, "t", deleted_only, files, true).live_under_deleted.count, 1);
  EXPECT_EQ(MeasureCarve(truth, "t", deleted_only, files, false).live_under_deleted.count, 0);
  EXPECT_THROW(MeasureCarve(truth, "nope", deleted_only, files, false), std::runtime_error);
}

TEST(CarveMeasure, TargetsAndTheTable) {
  CarveMeasure m;
  m.right_surviving = {99, 100};
  m.false_rows = {1, 100};
  EXPECT_TRUE(TargetsMet(m));
  m.false_rows = {2, 100};
  EXPECT_FALSE(TargetsMet(m));
  m.false_rows = {0, 0};
  m.overflow_right = {9, 10};
  EXPECT_FALSE(TargetsMet(m));
  m.overflow_right = {10, 10};
  m.dropped_right = {94, 100};
  EXPECT_FALSE(TargetsMet(m));
  m.dropped_right = {95, 100};
  m.right_surviving = {98, 100};
  EXPECT_FALSE(TargetsMet(m));
  const std::string table = FormatMeasure("t", m);
  EXPECT_EQ(table.substr(0, table.find('\n')), "table\tmeasure\tcount\tof\tpercent\ttarget");
  EXPECT_NE(table.find("t\tright_of_surviving\t98\t100\t98.0%\t>= 99%: MISSED\n"), std::string::npos);
  EXPECT_NE(table.find("t\tdropped_right\t95\t100\t95.0%\t>= 95%: met\n"), std::string::npos);
  EXPECT_NE(table.find("t\tprior_seen\t0\t0\t-\t\n"), std::string::npos);
}

TEST(CarveMeasure, AnOverflowRecordSurvivesOnlyWithEveryPiece) {
  TruthRow row;
  row.overflow = true;
  Rng rng(7);  // no repeats, so that a piece is found only where it lies
  for (int i = 0; i < 2000; ++i) row.record += static_cast<char>(rng.Next());
  const std::vector<PayloadPiece> pieces = PayloadPieces(2000, 512);
  std::string spread;
  for (const PayloadPiece& piece : pieces) {
    spread += "\x00\x00\x00\x07"s + row.record.substr(static_cast<size_t>(piece.start),
                                                      static_cast<size_t>(piece.size));
  }
  spread[4] = '#';  // the first byte a freed cell's header may overwrite
  EXPECT_TRUE(Survives(row, 512, {spread}));
  EXPECT_FALSE(InFiles(row.record.substr(2), {spread}));  // never whole
  const PayloadPiece& last = pieces.back();
  std::string cut = spread;
  cut[cut.size() - static_cast<size_t>(last.size) / 2] ^= 0x40;
  EXPECT_FALSE(Survives(row, 512, {cut}));
}

// A freed cell's header takes the cell's first four bytes: with one-byte
// payload-length and rowid varints, the record's first two. A value whose
// serial type alone held it (0 or 1, NULL, an empty text) goes with them.
TEST(CarveMeasure, AValueHeldByItsTypeInTheOverwrittenBytesDoesNotSurviveWithoutThem) {
  TruthRow row;
  row.rowid = 5;
  // Header length 4; types 9 (the integer 1), 23 (a 5-byte text), 1; body.
  row.record = "\x04\x09\x17\x01" "hello" "\x2a"s;
  const std::string overwritten = "\x00\x00\x00\x0c"s + row.record.substr(2) + "tail";
  EXPECT_FALSE(Survives(row, 512, {overwritten}));
  EXPECT_TRUE(Survives(row, 512, {"\x0c\x05"s + row.record}));
  // A rowid alias is NULL whatever the bytes: nothing of it was lost.
  row.record[1] = 0;
  const std::string alias = "\x00\x00\x00\x0c"s + row.record.substr(2);
  EXPECT_TRUE(Survives(row, 512, {alias}, 0));
  EXPECT_FALSE(Survives(row, 512, {alias}, 1));
  // With a two-byte rowid varint only the header-length byte is taken, and a
  // first type that tells the value apart survives.
  row.rowid = 300;
  row.record[1] = 9;
  EXPECT_TRUE(Survives(row, 512, {"\x00\x00\x00\x00"s + row.record.substr(1)}));
  EXPECT_FALSE(Survives(row, 512, {"\x00\x00\x00\x00\x00"s + row.record.substr(2)}));
}

TEST(CarveJson, ReadsNestedObjectsAndRefusesBrokenText) {
  const JsonValue v = ParseJson(R"( {"a":[1,-2.5e3,true,false,null],"_raw":{"b":"00"},"s":"\t\u0041\\"} )");
  ASSERT_EQ(v.kind, JsonValue::Kind::kObject);
  EXPECT_EQ(v.Find("a")->items.size(), 5u);
  EXPECT_EQ(v.Find("a")->items[1].text, "-2.5e3");
  EXPECT_TRUE(v.Find("a")->items[2].boolean);
  EXPECT_EQ(v.Find("s")->text, "\tA\\");
  EXPECT_EQ(v.Find("_raw")->Find("b")->text, "00");
  for (const char* bad : {"{", "{\"a\":}", "[1,]", "\"x", "{\"a\":1} x", "\"\\u12\""}) {
    EXPECT_THROW(ParseJson(bad), std::runtime_error) << bad;
  }
  std::string out;
  WriteJsonString("q\"\\\n\x01é", out);
  EXPECT_EQ(out, "\"q\\\"\\\\\\n\\u0001é\"");
  EXPECT_EQ(ParseJson(out).text, "q\"\\\n\x01é");
  EXPECT_EQ(RealText(5.0), "5.0");
  EXPECT_EQ(RealText(0.1), "0.1");
  EXPECT_EQ(std::stod(RealText(-1.1998161960788833e+25)), -1.1998161960788833e+25);
}

}  // namespace
}  // namespace quarrow::scenario

#endif  // QUARROW_HAVE_CARVE_SCENARIO
