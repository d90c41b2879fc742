// Fuzz target for the table carver: it reads attacker-controlled structure
// (freeblock chains and sizes, old freeblock headers, cell pointers, overflow
// chains, freelist trunks, schema records) at every byte position. The first
// byte picks a table definition; the rest is the input, read as a database
// (page sizes from 512 up, so page seams come often) and as loose pages.
// With bit 0x40 of the first byte, the rest is a database of 512-byte pages
// and the frames of its WAL, which is carved as the input: the next byte
// gives the database's page count, then come its pages, then each frame as
// a page number (4 bytes), a flags byte (1: commit, 2: a frame of an earlier
// generation of the log) and the page. The harness writes the headers, salts
// and checksums, so that the frames reach the readers of pages as of a frame
// (overflow chains read as the log stood) rather than stop at a checksum.
// Besides "no crash, no hang", it checks that every record lies in the input,
// has one loss mark per serial type, holds no more bytes than its payload
// length, and decodes to one value per column; a violation aborts.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "carve/freed_cell.h"
#include "carve/record_values.h"
#include "carve/table_carver.h"
#include "engine/buffer.h"

namespace {

using namespace quarrow;

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr const char* kDefinitions[] = {
    "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INTEGER, x REAL)",
    "CREATE TABLE u(uid INT NOT NULL, name TEXT, n INTEGER)",
    "CREATE TABLE i(a INTEGER, b INTEGER)",
    "CREATE TABLE b(id INTEGER PRIMARY KEY, data BLOB NOT NULL, note)",
    "CREATE TABLE sqlite_master(type text, name text, tbl_name text, rootpage integer, sql text)",
};

constexpr uint32_t kPage = 512;

void Put32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// SQLite's log checksum over big-endian words (the 0x377f0683 magic).
void AddChecksum(std::string_view bytes, uint32_t& s1, uint32_t& s2) {
  auto word = [&](size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
  };
  for (size_t at = 0; at + 8 <= bytes.size(); at += 8) {
    s1 += word(at) + s2;
    s2 += word(at + 4) + s1;
  }
}

// The database (its header made valid for 512-byte pages in WAL mode) and the
// log that `rest` describes (see the top of this file).
struct WalInput {
  std::string database, wal;
};

WalInput MakeWalInput(std::string_view rest) {
  WalInput made;
  const size_t pages = rest.empty() ? 1 : std::max<size_t>(1, static_cast<uint8_t>(rest[0]));
  rest.remove_prefix(rest.empty() ? 0 : 1);
  made.database.assign(rest.substr(0, pages * kPage));
  made.database.resize(pages * kPage, '\0');
  rest.remove_prefix(std::min(rest.size(), pages * kPage));
  std::string& db = made.database;
  db.replace(0, 16, std::string("SQLite format 3\0", 16));
  db[16] = 0x02, db[17] = 0x00, db[18] = 2, db[19] = 2, db[20] = 0;
  db[21] = 64, db[22] = 32, db[23] = 32;
  Put32(db, 28, static_cast<uint32_t>(pages));
  db.replace(92, 4, db.substr(24, 4));

  std::string& wal = made.wal;
  wal.assign(32, '\0');
  Put32(wal, 0, 0x377f0683);
  Put32(wal, 4, 3007000);
  Put32(wal, 8, kPage);
  Put32(wal, 16, 0x11111111);
  Put32(wal, 20, 0x22222222);
  uint32_t s1 = 0, s2 = 0;
  AddChecksum(std::string_view(wal).substr(0, 24), s1, s2);
  Put32(wal, 24, s1);
  Put32(wal, 28, s2);
  for (uint32_t earlier = 0; rest.size() >= 5; rest.remove_prefix(std::min(rest.size(), size_t{5} + kPage))) {
    uint32_t number = 0;
    for (int i = 0; i < 4; ++i) number = number << 8 | static_cast<uint8_t>(rest[i]);
    number = 1 + number % (static_cast<uint32_t>(pages) + 8);
    const uint8_t flags = static_cast<uint8_t>(rest[4]);
    std::string frame(24, '\0');
    Put32(frame, 0, number);
    if (flags & 1) Put32(frame, 4, std::max<uint32_t>(number, static_cast<uint32_t>(pages)));
    std::string page(rest.substr(5, kPage));
    page.resize(kPage, '\0');
    if (flags & 2) {
      // An earlier generation: other salts, so its checksum is never read.
      earlier = earlier ? earlier : 0x33333333u + flags;
      Put32(frame, 8, earlier);
      Put32(frame, 12, earlier);
    } else {
      Put32(frame, 8, 0x11111111);
      Put32(frame, 12, 0x22222222);
      AddChecksum(std::string_view(frame).substr(0, 8), s1, s2);
      AddChecksum(page, s1, s2);
      Put32(frame, 16, s1);
      Put32(frame, 20, s2);
    }
    wal += frame;
    wal += page;
  }
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  FitTable table = FitTableOf(*ParseCreateTable(kDefinitions[data[0] % 5]));
  if (data[0] & 0x80) table.min_columns = 1;

  // The whole carve, over the bytes as a database (and as any input), or
  // over a WAL with its database.
  std::shared_ptr<MemorySource> source;
  std::unique_ptr<DatabaseImage> image;
  if (data[0] & 0x40) {
    WalInput made = MakeWalInput(input);
    input = made.wal;
    source = std::make_shared<MemorySource>(made.wal);
    image = std::make_unique<DatabaseImage>(std::make_shared<MemorySource>(made.database), source);
  } else {
    source = std::make_shared<MemorySource>(input);
    image = std::make_unique<DatabaseImage>(source, nullptr);
  }
  TableCarver carver(source, std::move(image), 1);
  CarveTarget target{table, static_cast<uint32_t>(data[0] % 7), (data[0] & 8) != 0, {}};
  std::vector<CarveTarget> others = {
      CarveTarget{FitTableOf(*ParseCreateTable(kDefinitions[(data[0] + 1) % 5])), 0, false, {}}};
  std::vector<std::string> scratch;
  int64_t last = -1;
  carver.Carve(target, others, [&](const CarvedRecord& record) {
    Check(record.offset >= 0 && record.offset < static_cast<int64_t>(input.size()));
    Check(record.offset >= last);
    last = record.offset;
    Check(record.lost.size() == record.types.size());
    Check(record.record.size() <= record.payload_size);
    Check(DecodeRecord(record, table, scratch).size() == table.columns.size());
  });

  // The page-level readers over the bytes as loose pages of 512 bytes.
  for (size_t at = 0; at + 512 <= input.size() && at < 8 * 512; at += 512) {
    const std::string_view page(input.data() + at, 512);
    for (const FreeRegion& region : FreeRegionsOf(page, 0, 512)) {
      Check(region.start < region.limit && region.limit <= 512);
      for (const PageCell& cell : CellsInFreeRegion(page, region.start, region.limit, table, 512))
        Check(cell.start >= region.start && cell.end <= 512 && cell.header_at < cell.end);
    }
    for (const PageCell& cell : CellsAtStaleHeaders(page, 0, 512, table, 512))
      Check(cell.start < 512 && cell.header_at < 512);
  }
  return 0;
}
