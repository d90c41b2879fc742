// Shards of an input (--range, Buffer::LimitCandidates): the reports of
// consecutive ranges, joined with their heads once, are the whole run's byte
// for byte, at every seam; bad ranges are usage errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "byte_helpers.h"
#include "contacts/contacts_parts.h"
#include "command_helpers.h"
#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/scan.h"
#include "fixtures/sqlite_fixture.h"
#ifdef QUARROW_HAVE_SAMPLE_BOOK
#include "sample_book.h"
#endif

namespace quarrow {
namespace {

using fixtures::ReadFile;
using fixtures::TempDir;
using fixtures::WriteFile;
using testing::Bytes;
using testing::RunCli;

// Records of (INTEGER, TEXT, INTEGER) back to back with stray bytes between,
// and database headers on two 512-byte boundaries, so that candidates and
// starts lie on every side of a seam.
std::string ShardInput() {
  const std::string cell = Bytes({0x10, 0x08, 0x05, 0x04, 0x00, 0x13, 0x01, 'a', 'b', 'c', 0x2A});
  std::string bytes;
  for (int k = 0; bytes.size() < 1500; ++k) {
    bytes += cell;
    bytes.append(static_cast<size_t>(k % 5), static_cast<char>(k % 3));
  }
  const std::string magic("SQLite format 3\0", 16);
  bytes.replace(512, magic.size(), magic);
  bytes.replace(1024, magic.size(), magic);
  return bytes;
}

// What a scan over `buffer` delivers: each match's position and prefix, and
// each database start the hook sees, in order.
std::string ScanTrace(const Buffer& buffer, int64_t page_size) {
  ColumnList columns = LoadColumns({"id INTEGER", "name TEXT", "age INTEGER"});
  ScanParams params = ScanParams::For(CandidateRule::kPair, kLoose, 3, nullptr);
  params.page_size = page_size;
  params.threads = 2;
  std::string trace;
  params.database_start = [&trace](int64_t start) { trace += "db " + std::to_string(start) + "\n"; };
  const bool finished = ScanFormatted(
      buffer, columns, params,
      [](const Match& match, const ColumnList& found, std::string& out) {
        out += std::to_string(match.position) + " " + std::string(match.prefix);
        for (const TERM& column : found) out += column.value + "|";
        return true;
      },
      [&trace](int64_t, std::string_view line) { trace.append(line).append("\n"); });
  EXPECT_TRUE(finished);
  return trace;
}

// The matches of a trace, without the database starts.
std::string MatchesOf(const std::string& trace) {
  std::string matches;
  size_t start = 0;
  while (start < trace.size()) {
    const size_t end = trace.find('\n', start);
    const std::string_view line(trace.data() + start, end - start);
    if (line.rfind("db ", 0) != 0) matches.append(line).append("\n");
    start = end + 1;
  }
  return matches;
}

TEST(Shards, ConsecutiveRangesFindWhatTheWholeScanFindsAtEverySeam) {
  const std::string input = ShardInput();
  const auto size = static_cast<int64_t>(input.size());
  for (int64_t page_size : {1, 7, 64, 1 << 20}) {
    const Buffer whole = Buffer::FromBytes(input);
    const std::string whole_trace = ScanTrace(whole, page_size);
    ASSERT_GT(std::count(whole_trace.begin(), whole_trace.end(), '\n'), 100);
    for (int64_t shard : std::vector<int64_t>{1, 2, 5, 13, 64, 511, 1000, size}) {
      std::string joined;
      for (int64_t first = 0; first < size; first += shard) {
        Buffer part = Buffer::FromBytes(input);
        part.LimitCandidates(first, first + shard);
        const std::string trace = ScanTrace(part, page_size);
        // Every shard's page map hears of every database the whole scan finds.
        EXPECT_EQ(trace.size() - MatchesOf(trace).size(),
                  whole_trace.size() - MatchesOf(whole_trace).size())
            << "page " << page_size << " shard " << first;
        joined += MatchesOf(trace);
      }
      EXPECT_EQ(joined, MatchesOf(whole_trace)) << "page " << page_size << " shard " << shard;
    }
  }
}

TEST(Shards, RangesPastTheEndOrEmptyFindNothing) {
  const std::string input = ShardInput();
  for (auto [first, end] : {std::pair<int64_t, int64_t>{5000, 9000}, {100, 100}, {0, 0}}) {
    Buffer part = Buffer::FromBytes(input);
    part.LimitCandidates(first, end);
    EXPECT_EQ(MatchesOf(ScanTrace(part, 64)), "") << first << ":" << end;
  }
}

TEST(Shards, RangesAreInputOffsetsWhateverTheBufferStart) {
  Buffer buffer(std::make_shared<MemorySource>(ShardInput()), 100, 1000);
  buffer.LimitCandidatesToInput(50, 150);
  EXPECT_EQ(buffer.candidates_first(), 0);
  EXPECT_EQ(buffer.candidates_end(), 50);
  buffer.LimitCandidatesToInput(300, INT64_MAX);
  EXPECT_EQ(buffer.candidates_first(), 200);
  EXPECT_EQ(buffer.candidates_end(), INT64_MAX);
}

// Runs a report command over [0, size) in shards of `shard` bytes and joins
// the reports, each less the head an empty range's report holds.
std::string JoinedShards(const std::vector<std::string>& command, const std::string& input,
                         int64_t size, int64_t shard, const std::string& output) {
  auto run = [&](const std::string& range) {
    std::vector<std::string> args = command;
    args.insert(args.begin() + 1, {"--range", range});
    args.push_back(input);
    args.push_back(output);
    const auto run = RunCli(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadFile(output);
  };
  const std::string head = run("0:0");
  std::string joined = head;
  for (int64_t first = 0; first < size; first += shard) {
    const std::string part = run(std::to_string(first) + ":" + std::to_string(first + shard));
    EXPECT_EQ(part.substr(0, head.size()), head);
    joined += part.substr(head.size());
  }
  return joined;
}

TEST(Shards, FindReportsJoinToTheWholeRunsInEveryFormat) {
  TempDir dir;
  const std::string input = ShardInput();
  WriteFile(dir.File("in"), input);
  WriteFile(dir.File("ddl"), "id INTEGER\nname TEXT\nage INTEGER\n");
  const auto size = static_cast<int64_t>(input.size());
  for (const char* format : {"tsv", "csv", "jsonl"}) {
    for (bool details : {false, true}) {
      std::vector<std::string> command = {"find", "--ddl", dir.File("ddl"), "--format", format};
      if (details) command.push_back("--details");
      std::vector<std::string> whole = command;
      whole.push_back(dir.File("in"));
      whole.push_back(dir.File("whole"));
      ASSERT_EQ(RunCli(whole).status, 0);
      const std::string expected = ReadFile(dir.File("whole"));
      const bool plain = std::string(format) == "tsv" && !details;
      for (int64_t shard : plain ? std::vector<int64_t>{3, 97, size} : std::vector<int64_t>{61, size}) {
        EXPECT_EQ(JoinedShards(command, dir.File("in"), size, shard, dir.File("part")), expected)
            << format << (details ? " details" : "") << " shard " << shard;
      }
    }
  }
}

TEST(Shards, ScanLinesJoinToTheWholeScansWithinItsWindow) {
  TempDir dir;
  const std::string input = ShardInput();
  WriteFile(dir.File("in"), input);
  for (const std::vector<std::string>& window :
       {std::vector<std::string>{}, {"--offset", "37", "--length", "900"}}) {
    std::vector<std::string> whole = {"scan"};
    whole.insert(whole.end(), window.begin(), window.end());
    whole.push_back(dir.File("in"));
    const auto expected = RunCli(whole);
    ASSERT_EQ(expected.status, 0);
    ASSERT_FALSE(expected.out.empty());
    std::string joined;
    for (int64_t first = 0; first < static_cast<int64_t>(input.size()); first += 7) {
      std::vector<std::string> args = whole;
      args.insert(args.begin() + 1, {"--range", std::to_string(first) + ":" + std::to_string(first + 7)});
      joined += RunCli(args).out;
    }
    EXPECT_EQ(joined, expected.out);
  }
}

TEST(Shards, MalformedRangesAreUsageErrorsNamingThem) {
  TempDir dir;
  WriteFile(dir.File("in"), ShardInput());
  for (const std::string& range : {"", "5", "a:b", "-1:4", "9:3", "1:2:3", "99999999999999999999:"}) {
    for (const char* command : {"find", "contacts", "scan"}) {
      std::vector<std::string> args = {command, "--range", range, dir.File("in")};
      if (std::string(command) != "scan") args.push_back(dir.File("out"));
      const auto run = RunCli(args);
      EXPECT_EQ(run.status, 2) << command << " " << range;
      EXPECT_NE(run.err.find("--range"), std::string::npos) << run.err;
    }
  }
  const auto run = RunCli({"find", "--all-tables", "--range", "0:10", dir.File("in"), dir.File("o")});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--all-tables"), std::string::npos) << run.err;
}

TEST(Shards, ARangePastTheEndGivesAnEmptyReport) {
  TempDir dir;
  WriteFile(dir.File("in"), ShardInput());
  ASSERT_EQ(RunCli({"find", "--range", "100000:", dir.File("in"), dir.File("out")}).status, 0);
  EXPECT_EQ(ReadFile(dir.File("out")), "\xEF\xBB\xBFTABLE\r\n");
  const auto scan = RunCli({"scan", "--range", "100000:200000", dir.File("in")});
  EXPECT_EQ(scan.status, 0);
  EXPECT_EQ(scan.out, "");
}

#ifdef QUARROW_HAVE_SAMPLE_BOOK
// A real address book with deleted rows: the page map's statuses and the
// carver's records cross the seams too.
TEST(Shards, AnAddressBooksFindAndTableReportsJoinWithDetails) {
  TempDir dir;
  sample::SampleOptions book;
  book.persons = 40;
  book.page_size = 1024;
  sample::MakeSampleBook(dir.File("book.db"), book);
  const auto size = static_cast<int64_t>(ReadFile(dir.File("book.db")).size());
  WriteFile(dir.File("mv.ddl"),
            "UID INTEGER\nrecord_id INTEGER\nproperty INTEGER\nidentifier INTEGER\n"
            "label INTEGER\nvalue TEXT\n");
  const std::vector<std::vector<std::string>> commands = {
      {"find", "--ddl", dir.File("mv.ddl"), "--details"},
      {"find", "--ddl", dir.File("mv.ddl"), "--deleted-only", "--format", "jsonl"},
      {"find", "--table", "ABPerson", "--details"},
  };
  for (const auto& command : commands) {
    std::vector<std::string> whole = command;
    whole.push_back(dir.File("book.db"));
    whole.push_back(dir.File("whole"));
    ASSERT_EQ(RunCli(whole).status, 0);
    const std::string expected = ReadFile(dir.File("whole"));
    ASSERT_GT(std::count(expected.begin(), expected.end(), '\n'), 10) << command[2];
    for (int64_t shard : {size / 7 + 1, size / 2 + 3}) {
      EXPECT_EQ(JoinedShards(command, dir.File("book.db"), size, shard, dir.File("part")),
                expected)
          << command[1] << " " << command[2] << " shard " << shard;
    }
  }
}

// An image of three books on sector boundaries, the last two across a scan
// page's end (pages are 1 MiB): a shard maps the databases before its range
// (whose headers lie in pages it does not walk) and in it, and finds none
// past it, yet judges every record as the whole run does (statuses, and
// copies of live rows of the books before it).
TEST(Shards, AnImageOfSeveralBooksJoinsWithDetailsAndDeletedOnly) {
  TempDir dir;
  std::string image;
  int64_t last_book = 0;
  for (int seed : {3, 4, 3}) {
    // Zeros to 16 KiB before the next scan page.
    if (!image.empty()) image.resize((image.size() / (1 << 20) + 1) * (1 << 20) - 16384, '\0');
    last_book = static_cast<int64_t>(image.size());
    sample::SampleOptions book;
    book.persons = 30;
    book.page_size = 1024;
    book.seed = seed;
    sample::MakeSampleBook(dir.File("book.db"), book);
    image += ReadFile(dir.File("book.db"));
    std::filesystem::remove(dir.File("book.db"));
  }
  image += std::string(700, '\x5a');
  WriteFile(dir.File("image.bin"), image);
  const auto size = static_cast<int64_t>(image.size());
  WriteFile(dir.File("mv.ddl"),
            "UID INTEGER\nrecord_id INTEGER\nproperty INTEGER\nidentifier INTEGER\n"
            "label INTEGER\nvalue TEXT\n");
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"find", "--ddl", dir.File("mv.ddl"), "--details"},
        std::vector<std::string>{"find", "--ddl", dir.File("mv.ddl"), "--details",
                                 "--deleted-only"}}) {
    std::vector<std::string> whole = command;
    whole.push_back(dir.File("image.bin"));
    whole.push_back(dir.File("whole"));
    ASSERT_EQ(RunCli(whole).status, 0);
    const std::string expected = ReadFile(dir.File("whole"));
    // The last book is mapped: a record in it has a status from the map
    // (each line ends OFFSET, STATUS, STATE, RECOVERY).
    bool mapped_in_last_book = false;
    for (size_t line = expected.find('\n'); line + 1 < expected.size() && !mapped_in_last_book;
         line = expected.find('\n', line + 1)) {
      const std::string text = expected.substr(line + 1, expected.find('\n', line + 1) - line - 1);
      std::vector<std::string> fields;
      for (size_t at = 0; at <= text.size();) {
        const size_t tab = std::min(text.find('\t', at), text.size());
        fields.push_back(text.substr(at, tab - at));
        at = tab + 1;
      }
      ASSERT_GE(fields.size(), 5u) << text;
      const std::string& offset = fields[fields.size() - 5];
      mapped_in_last_book = std::stoll(offset) >= last_book && fields[fields.size() - 4] != "unknown";
    }
    ASSERT_TRUE(mapped_in_last_book) << command.size();
    for (int64_t shard : {size / 5 + 1, size / 2 + 3}) {
      EXPECT_EQ(JoinedShards(command, dir.File("image.bin"), size, shard, dir.File("part")),
                expected)
          << command.size() << " shard " << shard;
    }
  }
}

// Where matches are dense, the whole run looks statuses up on its workers
// after mapping every database; shards under a MiB look them up one by one
// as they are written. Both give the same lines.
TEST(Shards, DenseMatchesGiveTheSameDetailsWhereverTheirStatusesAreLookedUp) {
  TempDir dir;
  sample::SampleOptions book;
  book.persons = 400;
  book.page_size = 4096;
  book.seed = 9;
  sample::MakeSampleBook(dir.File("book.db"), book);
  const std::string one = ReadFile(dir.File("book.db"));
  std::string image;
  while (image.size() < (size_t{3} << 20)) image += one;
  WriteFile(dir.File("image.bin"), image);
  const auto size = static_cast<int64_t>(image.size());
  WriteFile(dir.File("mv.ddl"),
            "UID INTEGER\nrecord_id INTEGER\nproperty INTEGER\nidentifier INTEGER\n"
            "label INTEGER\nvalue TEXT\n");
  const std::vector<std::string> plain = {"find", "--ddl", dir.File("mv.ddl"), "--threads", "2"};
  std::vector<std::string> args = plain;
  args.insert(args.end(), {dir.File("image.bin"), dir.File("plain")});
  ASSERT_EQ(RunCli(args).status, 0);
  const std::string plain_report = ReadFile(dir.File("plain"));
  // Dense: over one match in 256 bytes.
  ASSERT_GT(std::count(plain_report.begin(), plain_report.end(), '\n') * 256, size);
  for (const char* format : {"tsv", "jsonl"}) {
    std::vector<std::string> command = plain;
    command.insert(command.end(), {"--details", "--format", format});
    args = command;
    args.insert(args.end(), {dir.File("image.bin"), dir.File("whole")});
    ASSERT_EQ(RunCli(args).status, 0);
    const std::string expected = ReadFile(dir.File("whole"));
    EXPECT_NE(expected.find("live"), std::string::npos);
    EXPECT_TRUE(JoinedShards(command, dir.File("image.bin"), size, size / 5 + 7,
                             dir.File("part")) == expected)
        << format;
  }
}

// Runs contacts over [0, size) in shards of `shard` bytes, each writing a
// part; returns the parts' paths in order.
std::vector<std::string> ContactsParts(TempDir& dir, const std::string& input, int64_t size,
                                       int64_t shard, const std::vector<std::string>& options,
                                       const std::string& prefix) {
  std::vector<std::string> parts;
  for (int64_t first = 0; first < size; first += shard) {
    parts.push_back(dir.File(prefix + std::to_string(parts.size())));
    std::vector<std::string> args = {"contacts", "--parts", "--range",
                                     std::to_string(first) + ":" + std::to_string(first + shard)};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(input);
    args.push_back(parts.back());
    const auto run = RunCli(args);
    EXPECT_EQ(run.status, 0) << run.err;
  }
  return parts;
}

std::string Merged(TempDir& dir, std::vector<std::string> args, const std::vector<std::string>& parts) {
  args.insert(args.begin(), "merge");
  args.insert(args.end(), parts.begin(), parts.end());
  args.push_back(dir.File("merged"));
  const auto run = RunCli(args);
  EXPECT_EQ(run.status, 0) << run.err;
  return ReadFile(dir.File("merged"));
}

// A book with a search index and a WAL beside it: values, links by rowid and
// by names, rows of values alone and the page map's statuses all cross seams.
struct ContactsBook {
  TempDir dir;
  std::string path = dir.File("book.db");
  int64_t size = 0;
  ContactsBook() {
    sample::SampleOptions book;
    book.persons = 120;
    book.page_size = 1024;
    sample::MakeSampleBook(path, book);
    size = static_cast<int64_t>(ReadFile(path).size());
  }
  std::string Whole(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"contacts"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(path);
    args.push_back(dir.File("whole"));
    const auto run = RunCli(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadFile(dir.File("whole"));
  }
};

TEST(Shards, ContactsPartsMergeToTheWholeRunsReport) {
  ContactsBook book;
  // Shards of a few hundred bytes to the whole book; with details and
  // deleted data only, in every format.
  struct Case {
    std::vector<std::string> shard_options, merge_options;
    std::vector<int64_t> shards;
  };
  const std::vector<Case> cases = {
      {{"--details"}, {"--details"}, {613, 9000, book.size}},
      {{"--details"}, {"--details", "--format", "jsonl"}, {9000}},
      {{}, {"--format", "csv", "--bom"}, {4096}},
      {{"--deleted-only", "--details"}, {"--details", "--format", "csv"}, {5000}},
      {{"--deleted-only"}, {}, {book.size / 3 + 1}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> whole_options = c.merge_options;
    for (const std::string& option : c.shard_options)
      if (option != "--details") whole_options.push_back(option);
    const std::string expected = book.Whole(whole_options);
    ASSERT_GT(std::count(expected.begin(), expected.end(), '\n'), 20);
    for (int64_t shard : c.shards) {
      const auto parts = ContactsParts(book.dir, book.path, book.size, shard, c.shard_options, "p");
      EXPECT_EQ(Merged(book.dir, c.merge_options, parts), expected)
          << "shard " << shard << " " << c.merge_options.size();
    }
  }
}

TEST(Shards, PartsMergedInGroupsThenMergedAgainGiveTheSameReport) {
  ContactsBook book;
  const std::string expected = book.Whole({"--details"});
  const auto parts = ContactsParts(book.dir, book.path, book.size, 7001, {"--details"}, "p");
  ASSERT_GT(parts.size(), 6u);
  // Three groups, given out of order.
  const size_t third = parts.size() / 3;
  const std::vector<std::vector<std::string>> groups = {
      {parts.begin() + 2 * third, parts.end()},
      {parts.begin(), parts.begin() + third},
      {parts.begin() + third, parts.begin() + 2 * third}};
  std::vector<std::string> grouped;
  for (const auto& group : groups) {
    Merged(book.dir, {"--parts"}, group);
    grouped.push_back(book.dir.File("group" + std::to_string(grouped.size())));
    std::filesystem::rename(book.dir.File("merged"), grouped.back());
  }
  EXPECT_EQ(Merged(book.dir, {"--details"}, grouped), expected);
}

TEST(Shards, BadPartsAreRefusedAndNoReportIsWritten) {
  ContactsBook book;
  const auto parts = ContactsParts(book.dir, book.path, book.size, book.size / 3 + 1, {}, "p");
  ASSERT_EQ(parts.size(), 3u);
  WriteFile(book.dir.File("other.db"), ReadFile(book.path) + "x");
  const auto other = ContactsParts(book.dir, book.dir.File("other.db"), book.size + 1,
                                   book.size / 3 + 1, {}, "o");
  const auto details = ContactsParts(book.dir, book.path, book.size, book.size / 3 + 1,
                                     {"--details"}, "d");
  std::string text = ReadFile(parts[1]);
  WriteFile(book.dir.File("cut"), text.substr(0, text.size() / 2));
  WriteFile(book.dir.File("garbled"), std::string(text).replace(text.find("\nv\t"), 4, "\nq\t"));
  std::string newer = text;
  newer.replace(newer.find("program\t"), 8 + std::string(QUARROW_VERSION).size(), "program\t99.0");
  WriteFile(book.dir.File("newer"), newer);
  std::string format = text;
  const std::string version = "part\t" + std::to_string(kContactsPartVersion);
  format.replace(format.find(version), version.size(), "part\t7");
  WriteFile(book.dir.File("format"), format);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{parts[0], parts[2]}, "bytes"},                      // a missing part
      {{parts[0], parts[1]}, "missing"},                    // the last one missing
      {{parts[0], other[1], parts[2]}, "different inputs"},
      {{parts[0], book.dir.File("cut"), parts[2]}, "cut"},
      {{parts[0], book.dir.File("garbled"), parts[2]}, "garbled"},
      {{parts[0], book.dir.File("newer"), parts[2]}, "versions"},
      {{parts[0], book.dir.File("format"), parts[2]}, "version 7"},
      {{parts[0], details[1], parts[2]}, "different options"},
      {{parts[0], parts[1], parts[1], parts[2]}, "both"},
      {{parts[0], book.dir.File("nowhere"), parts[2]}, "nowhere"},
  };
  for (const auto& [merge_parts, says] : cases) {
    WriteFile(book.dir.File("report"), "kept");
    std::vector<std::string> args = {"merge"};
    args.insert(args.end(), merge_parts.begin(), merge_parts.end());
    args.push_back(book.dir.File("report"));
    const auto run = RunCli(args);
    EXPECT_EQ(run.status, 1) << says;
    EXPECT_FALSE(run.err.empty()) << says;
    EXPECT_EQ(ReadFile(book.dir.File("report")), "kept") << says << ": " << run.err;
  }
  // Details need parts that hold statuses and states.
  const auto run = RunCli({"merge", "--details", parts[0], parts[1], parts[2], book.dir.File("r")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("--details"), std::string::npos) << run.err;
  // Nothing is left beside the report or the parts.
  for (const auto& entry : std::filesystem::directory_iterator(book.dir.File("")))
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}
#endif

}  // namespace
}  // namespace quarrow
