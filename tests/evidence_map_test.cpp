// The picture of the evidence: how the builder bins pages and records into
// cells, what the SVG says (read back from its text and parsed by a real
// renderer), and `quarrow-cli map` on a generated address book, checked page
// by page against SQLite's own account of its pages and record by record
// against the contacts report's offsets and statuses.
#include "report/evidence_map.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli/map_command.h"
#include "report/sha256.h"
#include "text_rule/error.h"
#include "command_helpers.h"
#include "sqlite_fixture.h"
#ifdef QUARROW_HAVE_SAMPLE_BOOK
#include "sample_book.h"
#endif

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::WriteFile;
using testing::RunCli;
using testing::Snapshot;

constexpr int64_t kGiB = int64_t{1} << 30;

EvidenceMapInfo Info(int64_t size) {
  EvidenceMapInfo info;
  info.input_name = "evidence.bin";
  info.input_size = size;
  info.sha256 = std::string(64, 'a');
  info.command = "quarrow-cli map evidence.bin out.svg";
  info.date = "2026-01-02 03:04:05 UTC";
  return info;
}

// The SVG read back: cells by their rect, the legend's kinds, the marks.
struct SvgCell {
  double x = 0, y = 0, size = 0;
  std::string fill;
  int kind = -1;
  int64_t start = 0, end = 0;
};
struct ReadSvg {
  std::vector<SvgCell> cells;
  std::map<std::string, std::pair<int, std::string>> legend;  // label -> kind, fill
  std::map<std::string, std::set<size_t>> marks;              // state -> cells
  std::map<std::string, int64_t> state_counts;                // from the legend
  size_t elements = 0;
};

ReadSvg Read(const std::string& svg) {
  ReadSvg read;
  for (size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1))
    read.elements += svg[at + 1] != '/' && svg[at + 1] != '?' ? 1 : 0;  // opening tags
  static const std::regex cell(
      "<rect x=\"([0-9.]+)\" y=\"([0-9.]+)\" width=\"([0-9.]+)\" height=\"[0-9.]+\" "
      "fill=\"(#[0-9a-f]{6})\" data-kind=\"([0-9]+)\" data-start=\"([0-9]+)\" data-end=\"([0-9]+)\"");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), cell); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    read.cells.push_back({std::stod(m[1]), std::stod(m[2]), std::stod(m[3]), m[4], std::stoi(m[5]),
                          std::stoll(m[6]), std::stoll(m[7])});
  }
  static const std::regex legend(
      "fill=\"(#[0-9a-f]{6})\" stroke=\"#808080\" stroke-width=\"0.5\" data-legend-kind=\"([0-9]+)\"/>\n"
      "<text [^>]*>([^<]*) \xC2\xB7 [0-9,]+ (?:pages?|bytes)</text>");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), legend); it != std::sregex_iterator(); ++it)
    read.legend[(*it)[3]] = {std::stoi((*it)[2]), (*it)[1]};
  static const std::regex path("<path class=\"mark-([a-z]+)\" fill=\"#[0-9a-f]{6}\" d=\"([^\"]*)\"/>");
  static const std::regex move("M([0-9.]+) ([0-9.]+)h");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), path); it != std::sregex_iterator(); ++it) {
    const std::string state = (*it)[1], d = (*it)[2];
    for (auto m = std::sregex_iterator(d.begin(), d.end(), move); m != std::sregex_iterator(); ++m) {
      const double x = std::stod((*m)[1]), y = std::stod((*m)[2]);
      size_t found = read.cells.size();
      for (size_t i = 0; i < read.cells.size(); ++i) {
        const SvgCell& c = read.cells[i];
        if (x >= c.x && x < c.x + c.size && y >= c.y && y < c.y + c.size)
          found = i;
      }
      EXPECT_LT(found, read.cells.size()) << "a " << state << " mark outside every cell";
      read.marks[state].insert(found);
    }
  }
  static const std::regex counts("<text [^>]*>([a-z]+) records \xC2\xB7 ([0-9,]+)</text>");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), counts); it != std::sregex_iterator(); ++it) {
    std::string digits = (*it)[2];
    std::erase(digits, ',');
    read.state_counts[(*it)[1]] = std::stoll(digits);
  }
  return read;
}

// rsvg-convert renders the picture: it is SVG a real renderer reads.
void ExpectRenders(const std::string& svg_path, const TempDir& dir) {
#ifdef _WIN32
  return;  // no rsvg-convert under Windows: the Linux run renders the pictures
#endif
  const std::string png = dir.File("rendered.png");
  const std::string command = "rsvg-convert -f png -o '" + png + "' '" + svg_path + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::string bytes = ReadFile(png);
  ASSERT_GT(bytes.size(), 8u);
  EXPECT_EQ(bytes.substr(1, 3), "PNG");
}

TEST(EvidenceMapBuilderTest, SmallInputsGetACellPerPage) {
  EvidenceMapBuilder builder(Info(10 * 4096 + 100), 4096);
  builder.AddSpan(0, 4096, PageRole::kTable, "sqlite_schema", 4096);
  builder.AddSpan(4096, 3 * 4096, PageRole::kTable, "people", 4096);
  builder.AddSpan(5 * 4096, 6 * 4096, PageRole::kFreelistLeaf, {}, 4096);
  builder.AddRecord(4096 + 10, RecordState::kLive);
  builder.AddRecord(5 * 4096 + 10, RecordState::kDeleted);
  builder.AddRecord(5 * 4096 + 11, RecordState::kDeleted);
  builder.AddRecord(10 * 4096 + 100, RecordState::kUnknown);  // past the end
  const EvidenceMap map = builder.Finish();
  ASSERT_EQ(map.cells.size(), 11u);
  EXPECT_EQ(map.cell_bytes, 4096);
  EXPECT_EQ(map.cells.back().end, 10 * 4096 + 100);
  EXPECT_EQ(map.kinds[map.cells[1].kind].Label(), "people (table)");
  EXPECT_EQ(map.kinds[map.cells[2].kind].Label(), "people (table)");
  EXPECT_EQ(map.kinds[map.cells[3].kind].Label(), "unmapped");  // no span covered it
  EXPECT_EQ(map.kinds[map.cells[5].kind].Label(), "freelist leaf");
  EXPECT_EQ(map.kinds[map.cells[10].kind].Label(), "unmapped");
  EXPECT_EQ(map.cells[1].records[static_cast<int>(RecordState::kLive)], 1);
  EXPECT_EQ(map.cells[5].records[static_cast<int>(RecordState::kDeleted)], 2);
  EXPECT_EQ(map.records[static_cast<int>(RecordState::kDeleted)], 2);
  EXPECT_EQ(map.records_outside, 1);
  EXPECT_EQ(map.kinds[map.cells[1].kind].pages, 2);
  // Each table its own colour; the schema table its fixed one.
  EXPECT_NE(map.kinds[map.cells[0].kind].colour, map.kinds[map.cells[1].kind].colour);
}

TEST(EvidenceMapBuilderTest, LargeInputsAreBinnedByWholePagesAndMostBytes) {
  const int64_t size = 6 * kGiB + 12345;
  EvidenceMapBuilder builder(Info(size), 4096);
  // Three pages in four are table pages, the fourth freelist: every cell is
  // mostly table, and cells hold whole pages.
  const int64_t pages = size / 4096;
  for (int64_t page = 0; page < pages; page += 4) {
    builder.AddSpan(page * 4096, (page + 3) * 4096, PageRole::kTable, "t", 4096);
    builder.AddSpan((page + 3) * 4096, (page + 4) * 4096, PageRole::kFreelistLeaf, {}, 4096);
  }
  builder.AddRecord(size - 1, RecordState::kPrior);
  const EvidenceMap map = builder.Finish();
  EXPECT_LE(static_cast<int64_t>(map.cells.size()), kMaxCells);
  EXPECT_GT(static_cast<int64_t>(map.cells.size()), kMaxCells / 2);
  EXPECT_EQ(map.cell_bytes % 4096, 0);
  int64_t at = 0;
  for (const EvidenceCell& cell : map.cells) {
    EXPECT_EQ(cell.start, at);
    at = cell.end;
  }
  EXPECT_EQ(at, size);
  for (size_t i = 0; i + 1 < map.cells.size(); ++i) {
    const EvidenceCell& cell = map.cells[i];
    ASSERT_EQ(map.kinds[cell.kind].Label(), "t (table)") << i;
    EXPECT_EQ(map.kinds[cell.shares[1].first].Label(), "freelist leaf");
    // Within a page: a cell need not hold a whole number of four-page groups.
    EXPECT_NEAR(static_cast<double>(cell.shares[0].second),
                3.0 * static_cast<double>(cell.shares[1].second), 4 * 4096);
  }
  EXPECT_EQ(map.cells.back().records[static_cast<int>(RecordState::kPrior)], 1);
  // A few thousand elements at most, whatever the size.
  const ReadSvg read = Read(EvidenceSvg(map));
  EXPECT_EQ(read.cells.size(), map.cells.size());
  EXPECT_LT(read.elements, 3000u);
}

TEST(EvidenceMapBuilderTest, OverlappingAndOutOfOrderSpansKeepTheFirst) {
  EvidenceMapBuilder builder(Info(3 * 512), 512);
  builder.AddSpan(0, 1024, PageRole::kIndex, {}, 512);
  builder.AddSpan(512, 1536, PageRole::kOverflow, {}, 512);  // its first page was given
  builder.AddSpan(0, 512, PageRole::kWalFrame, {}, 512);     // before the last end: ignored
  const EvidenceMap map = builder.Finish();
  ASSERT_EQ(map.cells.size(), 3u);
  EXPECT_EQ(map.kinds[map.cells[1].kind].Label(), "index");
  EXPECT_EQ(map.kinds[map.cells[2].kind].Label(), "overflow");
}

TEST(EvidenceMapSvgTest, TitleLegendAndHostileNames) {
  TempDir dir;
  EvidenceMapInfo info = Info(4 * 1024);
  info.input_name = "case <7> & \"x\"\xff.bin";
  EvidenceMapBuilder builder(info, 1024);
  builder.AddSpan(0, 1024, PageRole::kTable, "a<b>&\x01\xc3", 1024);
  builder.AddSpan(1024, 2048, PageRole::kJournalImage, {}, 1024);
  builder.AddRecord(1500, RecordState::kDeleted);
  const EvidenceMap map = builder.Finish();
  const std::string svg = EvidenceSvg(map);
  EXPECT_NE(svg.find("Evidence map of case &lt;7&gt; &amp; &quot;x&quot;\xEF\xBF\xBD.bin"),
            std::string::npos);
  EXPECT_NE(svg.find("SHA-256 " + std::string(64, 'a')), std::string::npos);
  EXPECT_NE(svg.find("quarrow-cli map evidence.bin out.svg \xC2\xB7 2026-01-02 03:04:05 UTC"),
            std::string::npos);
  EXPECT_NE(svg.find("a&lt;b&gt;&amp;?\xEF\xBF\xBD (table)"), std::string::npos);
  EXPECT_NE(svg.find("Each cell: 1,024 bytes (one page)"), std::string::npos);
  ReadSvg read = Read(svg);
  ASSERT_EQ(read.cells.size(), 4u);
  EXPECT_EQ(read.marks["deleted"], std::set<size_t>{1});
  EXPECT_EQ(read.state_counts["deleted"], 1);
  EXPECT_EQ(read.state_counts["live"], 0);
  EXPECT_EQ(read.cells[1].fill, read.legend.at("journal image").second);
  const std::string path = dir.File("picture.svg");
  WriteEvidenceSvg(map, path);
  EXPECT_EQ(ReadFile(path), svg);
  ExpectRenders(path, dir);
}

TEST(EvidenceMapSvgTest, GeometryFindsCellsAndMarks) {
  EvidenceMapBuilder builder(Info(200 * 512), 512);
  const EvidenceMap map = builder.Finish();
  for (int64_t cell : {int64_t{0}, int64_t{63}, int64_t{64}, int64_t{199}}) {
    const EvidenceBox box = map.CellBox(cell);
    EXPECT_EQ(map.CellAt(box.x + 1, box.y + 1), cell);
    EXPECT_EQ(map.CellAt(box.x + box.width - 0.5, box.y + box.height - 0.5), cell);
    for (RecordState state : {RecordState::kLive, RecordState::kUnknown}) {
      const EvidenceBox mark = map.MarkBox(cell, state);
      EXPECT_EQ(map.CellAt(mark.x + mark.width / 2, mark.y + mark.height / 2), cell);
    }
  }
  EXPECT_EQ(map.CellAt(0, 0), -1);
  EXPECT_EQ(map.CellAt(map.CellBox(0).x + map.CellBox(0).width + 0.5, map.CellBox(0).y + 1), -1);
  EXPECT_EQ(map.CellBox(0).width, 12);
  // An input of a few pages is one row of larger cells.
  const EvidenceMap small = EvidenceMapBuilder(Info(3 * 512), 512).Finish();
  EXPECT_GT(small.CellBox(0).width, 30);
  EXPECT_EQ(small.CellBox(2).y, small.CellBox(0).y);
  EXPECT_EQ(small.CellAt(small.CellBox(2).x + 20, small.CellBox(2).y + 20), 2);
  // A narrow picture (the window's): half the row, twice the rows.
  const EvidenceMap narrow = EvidenceMapBuilder(Info(kMaxCells * 512), 512, 32).Finish();
  EXPECT_LT(narrow.Width(), map.Width());
  EXPECT_EQ(narrow.CellBox(32).x, narrow.CellBox(0).x);
  EXPECT_GT(narrow.CellBox(kMaxCells - 1).y + 12, narrow.GridTop() + 31 * 13);
  EXPECT_LT(narrow.CellBox(kMaxCells - 1).y + narrow.CellBox(0).height, narrow.Height());
  for (int64_t cell : {int64_t{31}, int64_t{32}, kMaxCells - 1})
    EXPECT_EQ(narrow.CellAt(narrow.CellBox(cell).x + 3, narrow.CellBox(cell).y + 3), cell);
  EXPECT_EQ(map.CellAt(map.CellBox(199).x + 13, map.CellBox(199).y), -1);  // past the last
  EXPECT_EQ(map.CellOf(200 * 512), -1);
  EXPECT_EQ(map.CellOf(511), 0);
}

TEST(EvidenceMapBuilderTest, StartingFromAFileTakesItsLayoutAndDigest) {
  TempDir dir;
  const std::string path = dir.File("notes.db");
  {
    fixtures::SqliteDbOptions options;
    options.page_size = 512;
    fixtures::SqliteDb db(path, options);
    db.Exec("CREATE TABLE note(id INTEGER PRIMARY KEY, body TEXT)");
    for (int i = 0; i < 50; ++i) db.Run("INSERT INTO note(body) VALUES(?)", {std::string(90, 'n')});
  }
  const std::string bytes = ReadFile(path);
  const EvidenceMap map = StartEvidenceMap(path, "notes.db", "test").Finish();
  EXPECT_EQ(map.info.sha256, Sha256Hex(bytes));
  EXPECT_EQ(map.info.input_size, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(map.cell_bytes, 512);
  ASSERT_EQ(map.cells.size(), bytes.size() / 512);
  EXPECT_EQ(map.kinds[map.cells[0].kind].Label(), "sqlite_schema (table)");
  EXPECT_EQ(map.kinds[map.cells.back().kind].Label(), "note (table)");
  // Asked to stop, it stops with the caller's message.
  try {
    StartEvidenceMap(path, "notes.db", "test", [](int64_t, int64_t) { return false; }, "stopped");
    FAIL() << "not stopped";
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "stopped");
  }
  EXPECT_THROW(StartEvidenceMap(dir.File("missing"), "", ""), Error);
}

TEST(MapCommandTest, StatesFollowStatuses) {
  EXPECT_EQ(StateOfStatus({Status::kLive, 0}), RecordState::kLive);
  EXPECT_EQ(StateOfStatus({Status::kFreeblock, 0}), RecordState::kDeleted);
  EXPECT_EQ(StateOfStatus({Status::kFreelist, 0}), RecordState::kDeleted);
  EXPECT_EQ(StateOfStatus({Status::kWal, 3}), RecordState::kUnknown);
  EXPECT_EQ(StateOfStatus({Status::kSuperseded, 0}), RecordState::kUnknown);
}

TEST(MapCommandTest, AnOutputThatCannotBeWrittenIsNamedAndTheInputOnlyRead) {
  TempDir dir;
  const std::string input = dir.File("evidence.bin");
  WriteFile(input, std::string(5000, 'q'));
  const auto before = Snapshot(dir.path());
  const std::string output = dir.File("no such folder/out.svg");
  const auto run = RunCli({"map", input, output});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("quarrow-cli: Cannot create file \"" + output + "\"", 0), 0u) << run.err;
  EXPECT_EQ(Snapshot(dir.path()), before);
  // The input itself as the output is refused before anything is written.
  const auto same = RunCli({"map", input, input});
  EXPECT_EQ(same.status, 1);
  EXPECT_EQ(Snapshot(dir.path()), before);
  EXPECT_EQ(RunCli({"map", input}).status, 2);
  EXPECT_EQ(RunCli({"map", dir.File("missing.bin"), dir.File("out.svg")}).status, 1);
}

#ifdef QUARROW_HAVE_SAMPLE_BOOK

// What SQLite says each page of a closed database is, read through an
// immutable connection (nothing is written beside it): the dbstat tree of
// b-tree and overflow pages, the freelist's trunks from the header's chain.
std::vector<std::string> ExpectedLabels(const std::string& path, int page_size) {
  sqlite3* db = nullptr;
  const std::string uri = "file:" + path + "?immutable=1";
  EXPECT_EQ(sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
            SQLITE_OK);
  std::set<std::string> indexes;
  std::map<int64_t, std::pair<std::string, std::string>> pages;
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "SELECT name FROM sqlite_schema WHERE type = 'index'", -1, &stmt, nullptr);
  while (sqlite3_step(stmt) == SQLITE_ROW)
    indexes.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  sqlite3_finalize(stmt);
  sqlite3_prepare_v2(db, "SELECT name, pageno, pagetype FROM dbstat", -1, &stmt, nullptr);
  while (sqlite3_step(stmt) == SQLITE_ROW)
    pages[sqlite3_column_int64(stmt, 1)] = {
        reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
        reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2))};
  sqlite3_finalize(stmt);
  sqlite3_close(db);

  const std::string bytes = ReadFile(path);
  const auto get32 = [&bytes](size_t at) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  };
  std::set<uint32_t> trunks;
  for (uint32_t trunk = get32(32); trunk != 0 && trunks.insert(trunk).second;)
    trunk = get32(static_cast<size_t>(trunk - 1) * page_size);
  std::vector<std::string> labels(bytes.size() / page_size);
  for (size_t i = 0; i < labels.size(); ++i) {
    const auto it = pages.find(static_cast<int64_t>(i + 1));
    if (it == pages.end()) {
      labels[i] = trunks.count(static_cast<uint32_t>(i + 1)) ? "freelist trunk" : "freelist leaf";
    } else if (it->second.second == "overflow") {
      labels[i] = "overflow";
    } else {
      labels[i] = indexes.count(it->second.first) ? "index" : it->second.first + " (table)";
    }
  }
  return labels;
}

// OFFSET and STATUS of each row of a tsv contacts report with details.
std::vector<std::pair<int64_t, std::string>> ReportOffsets(const std::string& report) {
  std::vector<std::pair<int64_t, std::string>> rows;
  std::string text = report.substr(report.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0);
  size_t offset_column = 0, status_column = 0;
  bool header = true;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> cells;
    for (size_t at = start; at < end;) {
      size_t tab = text.find('\t', at);
      if (tab == std::string::npos || tab > end) tab = end;
      cells.push_back(text.substr(at, tab - at));
      at = tab + 1;
    }
    if (header) {
      for (size_t i = 0; i < cells.size(); ++i) {
        if (cells[i] == "OFFSET") offset_column = i;
        if (cells[i] == "STATUS") status_column = i;
      }
      EXPECT_GT(status_column, 0u);
      header = false;
    } else if (status_column < cells.size()) {
      rows.emplace_back(std::stoll(cells[offset_column]), cells[status_column]);
    }
    start = end + 2;
  }
  return rows;
}

TEST(MapCommandTest, AGeneratedBookIsDrawnPageByPageWithItsDeletedRecords) {
  TempDir dir;
  const std::string book = dir.File("AddressBook.sqlitedb");
  sample::SampleOptions options;
  options.layout = sample::kLayout34;
  options.persons = 300;
  options.page_size = 1024;
  options.seed = 22;
  sample::MakeSampleBook(book, options);
  const std::vector<std::string> labels = ExpectedLabels(book, 1024);
  const std::string input_bytes = ReadFile(book);
  const auto before = Snapshot(dir.path());

  const std::string svg_path = dir.File("out") + ".svg";
  const auto run = RunCli({"map", book, svg_path});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Snapshot(dir.path()).size(), before.size() + 1);  // the picture, nothing else
  EXPECT_EQ(ReadFile(book), input_bytes);
  const std::string svg = ReadFile(svg_path);
  ReadSvg read = Read(svg);
  EXPECT_NE(svg.find("SHA-256 " + Sha256Hex(input_bytes)), std::string::npos);

  // Every page its own cell, coloured as SQLite says it is.
  ASSERT_EQ(read.cells.size(), labels.size());
  std::set<std::string> kinds_seen;
  for (size_t i = 0; i < labels.size(); ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1) + ", " + labels[i]);
    ASSERT_TRUE(read.legend.count(labels[i]));
    EXPECT_EQ(read.cells[i].start, static_cast<int64_t>(i) * 1024);
    EXPECT_EQ(read.cells[i].fill, read.legend.at(labels[i]).second);
    EXPECT_EQ(read.cells[i].kind, read.legend.at(labels[i]).first);
    kinds_seen.insert(labels[i]);
  }
  for (const char* kind : {"ABPerson (table)", "ABMultiValue (table)", "freelist leaf"})
    EXPECT_TRUE(kinds_seen.count(kind)) << kind;

  // Every record the contacts report places in a freed spot is a deleted
  // mark in its page, every live one a live mark.
  const std::string report = dir.File("report.tsv");
  ASSERT_EQ(RunCli({"contacts", "--details", book, report}).status, 0);
  const auto rows = ReportOffsets(ReadFile(report));
  int deleted = 0;
  for (const auto& [offset, status] : rows) {
    const auto page = static_cast<size_t>(offset / 1024);
    if (status == "freeblock" || status == "freelist") {
      ++deleted;
      EXPECT_TRUE(read.marks["deleted"].count(page)) << "offset " << offset;
    } else if (status == "live") {
      EXPECT_TRUE(read.marks["live"].count(page)) << "offset " << offset;
    }
  }
  EXPECT_GT(deleted, 0);
  EXPECT_GE(read.state_counts["deleted"], deleted);
  // Marks lie only where the legend counts records.
  for (const auto& [state, cells] : read.marks) EXPECT_LE(static_cast<int64_t>(cells.size()), read.state_counts[state]);
  ExpectRenders(svg_path, dir);
}

TEST(MapCommandTest, ADamagedBookDrawsWhatWasMappedAndTheRestUnmapped) {
  TempDir dir;
  const std::string book = dir.File("book.sqlitedb");
  sample::SampleOptions options;
  options.layout = sample::kLayout34;
  options.persons = 200;
  options.page_size = 1024;
  sample::MakeSampleBook(book, options);
  const std::vector<std::string> labels = ExpectedLabels(book, 1024);
  std::string bytes = ReadFile(book);
  // Every ABPerson page loses its page type.
  for (size_t i = 0; i < labels.size(); ++i) {
    if (labels[i] == "ABPerson (table)") bytes[i * 1024 + (i == 0 ? 100 : 0)] = '\x33';
  }
  const std::string damaged = dir.File("damaged.bin");
  WriteFile(damaged, bytes);
  const std::string svg_path = dir.File("damaged.svg");
  const auto run = RunCli({"map", damaged, svg_path});
  ASSERT_EQ(run.status, 0) << run.err;
  ReadSvg read = Read(ReadFile(svg_path));
  ASSERT_EQ(read.cells.size(), labels.size());
  for (size_t i = 0; i < labels.size(); ++i) {
    const std::string& fill = read.cells[i].fill;
    if (labels[i] == "ABPerson (table)") {
      EXPECT_EQ(fill, read.legend.at("unmapped").second) << "page " << i + 1;
    } else if (labels[i] == "ABMultiValue (table)") {
      EXPECT_EQ(fill, read.legend.at(labels[i]).second) << "page " << i + 1;
    }
  }
}

#endif  // QUARROW_HAVE_SAMPLE_BOOK

}  // namespace
}  // namespace quarrow
