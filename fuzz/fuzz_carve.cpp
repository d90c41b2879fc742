// Fuzz target for the table carver: it reads attacker-controlled structure
// (freeblock chains and sizes, old freeblock headers, cell pointers, overflow
// chains, freelist trunks, schema records) at every byte position. The first
// byte picks a table definition; the rest is the input, read as a database
// (page sizes from 512 up, so page seams come often) and as loose pages.
// Besides "no crash, no hang", it checks that every record lies in the input,
// has one loss mark per serial type, holds no more bytes than its payload
// length, and decodes to one value per column; a violation aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  FitTable table = FitTableOf(*ParseCreateTable(kDefinitions[data[0] % 5]));
  if (data[0] & 0x80) table.min_columns = 1;

  // The whole carve, over the bytes as a database (and as any input).
  auto source = std::make_shared<MemorySource>(input);
  auto image = std::make_unique<DatabaseImage>(source, nullptr);
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
