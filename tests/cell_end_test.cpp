// The inline cell end the page map's cursor reads for every match, against
// ReadCellExtent, which it must equal byte for byte: over table leaves of
// real-looking cells, overflowing payloads, varints cut by the usable area,
// and hostile bytes, for every page type.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "pagemap/sqlite_format.h"

namespace quarrow::sqlite_format {
namespace {

uint32_t ExtentEnd(std::string_view page, uint32_t usable_size, PageType type, uint32_t start) {
  CellExtent cell;
  return ReadCellExtent(page, usable_size, type, start, cell) ? start + cell.size : start;
}

TEST(CellEnd, EqualsReadCellExtentForEveryCell) {
  std::mt19937 random(11);
  const PageType types[] = {PageType::kTableLeaf, PageType::kTableInterior,
                            PageType::kIndexLeaf, PageType::kIndexInterior};
  int checked = 0;
  for (const uint32_t page_size : {512u, 4096u, 65536u}) {
    for (int round = 0; round < 40; ++round) {
      std::string page(page_size, '\0');
      for (char& byte : page) byte = static_cast<char>(random());
      // Cells as SQLite writes them: a payload length and a rowid, short and
      // long, some past the largest local payload.
      for (uint32_t at = 8; at + 20 < page_size; at += 1 + random() % 300) {
        uint8_t varint[9];
        const uint64_t payload = random() % 3 == 0 ? random() % (2 * page_size) : random() % 200;
        int n = PutVarint(payload, varint);
        if (round % 2 == 0) page.replace(at, static_cast<size_t>(n), reinterpret_cast<char*>(varint), static_cast<size_t>(n));
      }
      const uint32_t usable = page_size - (round % 3 == 0 ? 40 : 0);
      for (const PageType type : types) {
        for (uint32_t start = 1; start < page_size + 4; start += 1 + random() % 7) {
          ASSERT_EQ(CellEnd(page, usable, type, start), ExtentEnd(page, usable, type, start))
              << page_size << " " << start;
          ++checked;
        }
        // Varints that the usable area cuts: the last bytes all high.
        std::string cut = page;
        for (uint32_t k = usable - 12; k < usable; ++k) cut[k] = '\xff';
        for (uint32_t start = usable - 12; start < usable + 2; ++start)
          ASSERT_EQ(CellEnd(cut, usable, type, start), ExtentEnd(cut, usable, type, start));
      }
    }
  }
  EXPECT_GT(checked, 100000);
}

}  // namespace
}  // namespace quarrow::sqlite_format
