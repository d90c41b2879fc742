#include "contacts/result_table.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <optional>
#include <stdexcept>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace quarrow {

namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;

// The empty row: 50 empty cells, 49 separators.
const std::string kEmptyRow(ResultTable::kColumns - 1, '\t');

void CheckNoTab(std::string_view text) {
  if (text.find('\t') != std::string_view::npos) {
    throw std::invalid_argument("a result table cell cannot hold a TAB");
  }
}

// Bits set in each byte value: a table, since a population count instruction
// is not in every x86-64 processor the build targets.
constexpr auto kBitCount = [] {
  std::array<uint8_t, 256> counts{};
  for (int v = 0; v < 256; ++v) counts[v] = static_cast<uint8_t>(std::popcount(static_cast<unsigned>(v)));
  return counts;
}();

#if defined(__SSE2__) || defined(_M_X64)
// Which of the sixteen bytes at `at` are TABs, one bit each.
unsigned TabMask(const char* at) {
  __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, _mm_set1_epi8('\t'))));
}
constexpr size_t kTabBlock = 16;
#else
constexpr size_t kTabBlock = 0;  // no blocks: byte by byte
#endif

// The position just past the n-th TAB of `row` (0 for n = 0), or npos when it
// has fewer. Sixteen bytes at a time where SSE2 is there: rows are a few hundred
// bytes and the label cells lie near their end.
size_t AfterNthTab(std::string_view row, int n) {
  size_t i = 0;
#if defined(__SSE2__) || defined(_M_X64)
  for (; n > 0 && i + kTabBlock <= row.size(); i += kTabBlock) {
    unsigned mask = TabMask(row.data() + i);
    int count = kBitCount[mask & 0xFF] + kBitCount[mask >> 8];
    if (count < n) {
      n -= count;
      continue;
    }
    for (; n > 1; --n) mask &= mask - 1;
    return i + static_cast<size_t>(std::countr_zero(mask)) + 1;
  }
#endif
  for (; n > 0; ++i) {
    if (i >= row.size()) return std::string_view::npos;
    if (row[i] == '\t') --n;
  }
  return i;
}

size_t CountTabs(std::string_view text) {
  size_t count = 0, i = 0;
#if defined(__SSE2__) || defined(_M_X64)
  for (; i + kTabBlock <= text.size(); i += kTabBlock) {
    unsigned mask = TabMask(text.data() + i);
    count += kBitCount[mask & 0xFF] + kBitCount[mask >> 8];
  }
#endif
  for (; i < text.size(); ++i) count += text[i] == '\t';
  return count;
}

// The bounds of cell `col` in a row's text.
std::pair<size_t, size_t> CellBounds(std::string_view row, int col) {
  size_t begin = AfterNthTab(row, col);
  size_t end = row.find('\t', begin);
  return {begin, end == std::string_view::npos ? row.size() : end};
}

}  // namespace

ResultTable::ResultTable() { Reset(); }

void ResultTable::Reset() {
  rows_.clear();
  rows_.shrink_to_fit();
  blocks_.clear();
  block_used_ = block_size_ = 0;
  rows_.push_back(Store(kEmptyRow));
  first_row_by_key_.clear();
  first_row_by_number_.clear();
}

ResultTable::RowRef ResultTable::Reserve(size_t size) {
  if (blocks_.empty() || block_size_ - block_used_ < size) {
    // A row longer than a block gets a block of its own size.
    block_size_ = std::max(kBlockBytes, size);
    if (blocks_.size() >= std::numeric_limits<uint32_t>::max()) {
      throw std::length_error("result table too large");
    }
    blocks_.push_back(std::make_unique<char[]>(block_size_));
    block_used_ = 0;
  }
  RowRef ref{static_cast<uint32_t>(blocks_.size() - 1),
             static_cast<uint32_t>(block_used_), static_cast<uint32_t>(size)};
  block_used_ += size;
  return ref;
}

ResultTable::RowRef ResultTable::Store(std::string_view text) {
  RowRef ref = Reserve(text.size());
  std::copy(text.begin(), text.end(), blocks_[ref.block].get() + ref.offset);
  return ref;
}

std::string_view ResultTable::RowText(int64_t row) const {
  const RowRef& ref = rows_[static_cast<size_t>(row)];
  return std::string_view(blocks_[ref.block].get() + ref.offset, ref.size);
}

int64_t ResultTable::AddRow() {
  rows_.push_back(Store(kEmptyRow));
  int64_t row = LastRow();
  // A new row's key is the empty text until column 1 is set.
  IndexKey({}, row);
  return row;
}

int64_t ResultTable::AddRowText(std::string_view cells) {
  size_t tabs = CountTabs(cells);
  if (tabs >= static_cast<size_t>(kColumns)) {
    throw std::invalid_argument("result table row has too many cells");
  }
  size_t size = cells.size() + (kColumns - 1 - tabs);
  if (size > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("result table row too long");
  }
  // Written straight into the blocks: this runs once per record found.
  RowRef ref = Reserve(size);
  char* at = std::copy(cells.begin(), cells.end(), blocks_[ref.block].get() + ref.offset);
  std::fill_n(at, kColumns - 1 - tabs, '\t');
  rows_.push_back(ref);
  int64_t row = LastRow();
  std::string_view text = RowText(row);
  auto [begin, end] = CellBounds(text, kIdColumn);
  IndexKey(text.substr(begin, end - begin), row);
  return row;
}

void ResultTable::CheckCell(int64_t row, int col) const {
  if (row < 0 || row > LastRow() || col < 0 || col >= kColumns) {
    throw std::out_of_range("result table cell out of range");
  }
}

std::string_view ResultTable::Cell(int64_t row, int col) const {
  CheckCell(row, col);
  std::string_view text = RowText(row);
  auto [begin, end] = CellBounds(text, col);
  return text.substr(begin, end - begin);
}

void ResultTable::SetCell(int64_t row, int col, std::string_view text) {
  CheckCell(row, col);
  CheckNoTab(text);
  std::string_view old_row = RowText(row);
  auto [begin, end] = CellBounds(old_row, col);
  std::string_view old_cell = old_row.substr(begin, end - begin);
  if (old_cell == text) return;
  std::string new_row;
  new_row.reserve(old_row.size() - old_cell.size() + text.size());
  new_row.append(old_row.substr(0, begin)).append(text).append(old_row.substr(end));
  if (new_row.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("result table row too long");
  }
  bool is_key = col == kIdColumn && row > 0;
  std::string old_key = is_key ? std::string(old_cell) : std::string();
  // Old rows stay in their blocks, so views handed out stay valid.
  rows_[static_cast<size_t>(row)] = Store(new_row);
  if (is_key) {
    // The old key is dropped only once the new one is in, so that the search
    // for the next row holding the old key does not find this row again.
    UnindexKey(old_key, row);
    IndexKey(text, row);
  }
}

void ResultTable::AppendCells(int64_t row, int count, std::string& out) const {
  CheckCell(row, count - 1);
  std::string_view text = RowText(row);
  out.append(text.substr(0, CellBounds(text, count - 1).second));
  out += '\t';
}

namespace {

// The value of `key` when it is a decimal number spelled the one way it can be
// (no sign, no leading zero, fits 64 bits); nothing otherwise.
std::optional<uint64_t> CanonicalNumber(std::string_view key) {
  if (key.empty() || key.size() > 19 || (key[0] == '0' && key.size() > 1)) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : key) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

// Shared by the const and non-const lookups: a pointer to the entry, or null.
template <typename Table>
auto* ResultTable::EntryOf(Table& table, std::string_view key) {
  if (std::optional<uint64_t> number = CanonicalNumber(key)) {
    auto it = table.first_row_by_number_.find(*number);
    return it == table.first_row_by_number_.end() ? nullptr : &it->second;
  }
  auto it = table.first_row_by_key_.find(key);
  return it == table.first_row_by_key_.end() ? nullptr : &it->second;
}

int64_t* ResultTable::FirstRowEntry(std::string_view key) { return EntryOf(*this, key); }

void ResultTable::DropEntry(std::string_view key) {
  if (std::optional<uint64_t> number = CanonicalNumber(key)) {
    first_row_by_number_.erase(*number);
  } else {
    first_row_by_key_.erase(first_row_by_key_.find(key));
  }
}

int64_t ResultTable::FindRowById(std::string_view id) const {
  const int64_t* entry = EntryOf(*this, id);
  return entry == nullptr ? -1 : *entry;
}

void ResultTable::IndexKey(std::string_view key, int64_t row) {
  if (int64_t* entry = FirstRowEntry(key)) {
    if (row < *entry) *entry = row;
  } else if (std::optional<uint64_t> number = CanonicalNumber(key)) {
    first_row_by_number_.emplace(*number, row);
  } else {
    first_row_by_key_.emplace(std::string(key), row);
  }
}

void ResultTable::UnindexKey(std::string_view key, int64_t row) {
  int64_t* entry = FirstRowEntry(key);
  if (entry == nullptr || *entry != row) return;
  // This row was the first to hold the key: the next one that does takes its
  // place. Keys are set once per row in practice, so this walk is rare (and
  // empty when `row` is the last row).
  for (int64_t r = row + 1; r <= LastRow(); ++r) {
    if (Cell(r, kIdColumn) == key) {
      *entry = r;
      return;
    }
  }
  DropEntry(key);
}

}  // namespace quarrow
