#include "carve/header_prefilter.h"

namespace quarrow {

namespace {

void Allow(const FitColumn& column, std::array<uint8_t, 256>& bytes) {
  for (uint64_t b = 0; b < 256; ++b)
    bytes[b] = b < 0x80 ? SerialTypeFits(column, b) : column.texts || column.blobs;
}

}  // namespace

HeaderPrefilter::HeaderPrefilter(const FitTable& table) {
  const uint64_t least = 1 + table.min_columns, most = MaxHeaderSize(table);
  for (uint64_t b = 0; b < 0x80; ++b) length_[b] = b >= least && b <= most;
  // Two-byte header lengths, 128 to 383.
  if (most >= 0x80) length_[0x81] = length_[0x82] = 1;
  Allow(table.columns[0], first_type_);
  if (table.columns.size() > 1) {
    Allow(table.columns[1], second_type_);
  } else {
    second_type_.fill(1);
  }
}

void HeaderPrefilter::Find(const uint8_t* bytes, int64_t begin, int64_t end,
                           std::vector<uint32_t>& out) const {
  out.clear();
  for (int64_t at = begin; at < end; ++at)
    if (Passes(bytes + at)) out.push_back(static_cast<uint32_t>(at));
}

}  // namespace quarrow
