#include "pagemap/wal_index.h"

#include <algorithm>
#include <string>

#include "pagemap/sqlite_format.h"

namespace quarrow {
namespace {

using sqlite_format::Get32;

constexpr uint32_t kWalMagicLittle = 0x377f0682;  // checksums over little-endian words
constexpr uint32_t kWalMagicBig = 0x377f0683;     // over big-endian words
constexpr uint32_t kWalVersion = 3007000;

struct Checksum {
  uint32_t s0 = 0;
  uint32_t s1 = 0;
};

// SQLite's log checksum: pairs of 32-bit words, each sum feeding the other.
void AddToChecksum(const uint8_t* p, size_t length, bool big_endian, Checksum& sum) {
  for (size_t i = 0; i + 8 <= length; i += 8) {
    uint32_t a, b;
    if (big_endian) {
      a = Get32(p + i);
      b = Get32(p + i + 4);
    } else {
      a = uint32_t{p[i]} | (uint32_t{p[i + 1]} << 8) | (uint32_t{p[i + 2]} << 16) |
          (uint32_t{p[i + 3]} << 24);
      b = uint32_t{p[i + 4]} | (uint32_t{p[i + 5]} << 8) | (uint32_t{p[i + 6]} << 16) |
          (uint32_t{p[i + 7]} << 24);
    }
    sum.s0 += a + sum.s1;
    sum.s1 += b + sum.s0;
  }
}

bool ReadExactly(const ByteSource& source, int64_t offset, size_t length, std::string& out) {
  out.resize(length);
  return source.ReadAt(offset, length, out.data()) == length;
}

}  // namespace

bool IsWalMagic(const uint8_t* p) {
  uint32_t magic = Get32(p);
  return (magic == kWalMagicLittle || magic == kWalMagicBig) && Get32(p + 4) == kWalVersion;
}

int64_t WalIndex::FrameOf(uint32_t page) const {
  auto it = std::lower_bound(latest_frame.begin(), latest_frame.end(),
                             std::make_pair(page, int64_t{0}));
  return it != latest_frame.end() && it->first == page ? it->second : 0;
}

uint32_t WalIndex::HighestPage() const {
  return latest_frame.empty() ? 0 : latest_frame.back().first;
}

WalIndex ReadWalIndex(const ByteSource& wal) {
  WalIndex index;
  std::string header;
  if (!ReadExactly(wal, 0, kWalHeaderSize, header)) return index;
  const auto* h = reinterpret_cast<const uint8_t*>(header.data());
  if (!IsWalMagic(h)) return index;
  const uint32_t page_size = Get32(h + 8);
  if (page_size < 512 || page_size > 65536 || (page_size & (page_size - 1)) != 0)
    return index;
  index.page_size = page_size;
  index.frames_known = true;
  const int64_t frame_size = kWalFrameHeaderSize + int64_t{page_size};
  index.frame_slots =
      std::max<int64_t>(0, (wal.size() - kWalHeaderSize + frame_size - 1) / frame_size);

  const bool big_endian = Get32(h) == kWalMagicBig;
  Checksum sum;
  AddToChecksum(h, 24, big_endian, sum);
  if (sum.s0 != Get32(h + 24) || sum.s1 != Get32(h + 28)) return index;
  index.header_valid = true;

  // Frames are read in order; only the first invalid one matters.
  std::vector<std::pair<uint32_t, int64_t>> pending;  // since the last commit
  std::vector<std::pair<uint32_t, int64_t>> committed;
  std::string frame;
  for (int64_t n = 1; n <= index.frame_slots; ++n) {
    const int64_t at = kWalHeaderSize + (n - 1) * frame_size;
    if (!ReadExactly(wal, at, static_cast<size_t>(frame_size), frame)) break;
    const auto* f = reinterpret_cast<const uint8_t*>(frame.data());
    const uint32_t page = Get32(f);
    if (page == 0 || Get32(f + 8) != Get32(h + 16) || Get32(f + 12) != Get32(h + 20))
      break;
    AddToChecksum(f, 8, big_endian, sum);
    AddToChecksum(f + kWalFrameHeaderSize, page_size, big_endian, sum);
    if (sum.s0 != Get32(f + 16) || sum.s1 != Get32(f + 20)) break;
    pending.emplace_back(page, n);
    const uint32_t size_after_commit = Get32(f + 4);
    if (size_after_commit != 0) {
      committed.insert(committed.end(), pending.begin(), pending.end());
      pending.clear();
      index.committed_frames = n;
      index.database_pages = size_after_commit;
    }
  }
  // Keep each page's latest frame: sort by page, then frame descending.
  std::sort(committed.begin(), committed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second > b.second;
  });
  for (const auto& entry : committed) {
    if (index.latest_frame.empty() || index.latest_frame.back().first != entry.first)
      index.latest_frame.push_back(entry);
  }
  return index;
}

}  // namespace quarrow
