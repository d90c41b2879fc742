// The page map's cell-start bits against the plain rule they replace: the
// greatest pointer in [pointers_end, at], over pointer arrays in any order
// (hostile ones pointing into the header or past the usable size), queries
// forward, repeated and backward, pages of every size, and a page read after
// a larger one.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pagemap/cell_start_bits.h"

namespace quarrow {
namespace {

struct Page {
  std::string bytes;
  uint32_t pointers_begin = 8;
  uint32_t pointers_end = 8;
  uint32_t usable_size = 0;
};

Page MakePage(std::mt19937& random, uint32_t page_size, uint32_t cells) {
  Page page;
  page.bytes.assign(page_size, '\0');
  page.usable_size = page_size - (random() % 2 ? 0 : 32);
  page.pointers_end = page.pointers_begin + 2 * cells;
  for (uint32_t k = 0; k < cells; ++k) {
    // Mostly where cells can be; now and then anywhere in 16 bits.
    uint32_t start = random() % 8 == 0 ? random() % 65536
                                       : page.pointers_end + random() % (page.usable_size -
                                                                         page.pointers_end);
    page.bytes[page.pointers_begin + 2 * k] = static_cast<char>(start >> 8);
    page.bytes[page.pointers_begin + 2 * k + 1] = static_cast<char>(start & 0xff);
  }
  return page;
}

uint32_t Expected(const Page& page, uint32_t at) {
  uint32_t nearest = 0;
  for (uint32_t i = page.pointers_begin; i < page.pointers_end; i += 2) {
    const uint32_t start = (static_cast<uint8_t>(page.bytes[i]) << 8) |
                           static_cast<uint8_t>(page.bytes[i + 1]);
    if (start >= page.pointers_end && start < page.usable_size && start <= at && start > nearest)
      nearest = start;
  }
  return nearest;
}

TEST(CellStartBits, NearestStartBelowAsThePointerArraySays) {
  std::mt19937 random(23);
  CellStartBits bits;
  int checked = 0, found = 0;
  for (const uint32_t page_size : {65536u, 512u, 4096u, 1024u, 65536u, 4096u}) {
    for (int round = 0; round < 20; ++round) {
      const uint32_t cells = random() % std::min<uint32_t>(page_size / 8, 400);
      const Page page = MakePage(random, page_size, cells);
      bits.Reset(page.bytes, page.pointers_begin, page.pointers_end, page.usable_size);
      // Forward in steps, with repeats, then now and then back.
      uint32_t at = page.pointers_end;
      for (int q = 0; q < 300 && at < page.usable_size; ++q) {
        const uint32_t answer = bits.NearestAtOrBelow(at);
        ASSERT_EQ(answer, Expected(page, at)) << page_size << " at " << at;
        ++checked;
        found += answer != 0;
        const uint32_t step = random() % 4;
        if (step == 0 && at > 200) {
          at -= random() % 200;
        } else if (step != 1) {
          at += random() % 150;
        }
      }
      ASSERT_EQ(bits.NearestAtOrBelow(page.usable_size - 1), Expected(page, page.usable_size - 1));
    }
  }
  EXPECT_GT(checked, 10000);
  EXPECT_GT(found, checked / 2);
}

}  // namespace
}  // namespace quarrow
