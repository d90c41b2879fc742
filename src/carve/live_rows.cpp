#include "carve/live_rows.h"

#include <algorithm>
#include <functional>

#include "schema/create_table.h"

namespace quarrow {

namespace {

uint64_t Mix(uint64_t size, std::string_view bytes) {
  const uint64_t h = std::hash<std::string_view>{}(bytes);
  return h ^ (size * 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
}

// The record's length varint, with the payload's size in it.
uint64_t HeaderSizeOf(std::string_view record) {
  uint64_t value = 0;
  for (size_t i = 0; i < record.size() && i < 9; ++i) {
    const auto byte = static_cast<uint8_t>(record[i]);
    value = (value << 7) | (byte & 0x7f);
    if (!(byte & 0x80)) return value;
  }
  return 0;
}

// The serial types of a record's header, or nothing when it is no header.
std::vector<uint64_t> TypesOf(std::string_view record, uint64_t header_size) {
  std::vector<uint64_t> types;
  size_t at = 0;
  while (at < record.size() && (record[at] & 0x80)) ++at;
  ++at;
  while (at < header_size && at < record.size()) {
    uint64_t type = 0;
    int n = 0;
    do {
      type = (type << 7) | (record[at] & 0x7f);
    } while ((record[at++] & 0x80) && ++n < 9 && at < record.size());
    types.push_back(type);
  }
  return types;
}

uint64_t ShapeOf(const std::vector<uint64_t>& types) {
  uint64_t shape = 0xcbf29ce484222325ull;
  for (uint64_t type : types) {
    const uint64_t kind = type == 0 ? 0 : type == 7 ? 2 : type < 12 ? 1 : (type & 1) ? 3 : 4;
    shape = (shape ^ kind) * 0x100000001b3ull;
  }
  return shape;
}

}  // namespace

LiveRows::LiveRows(const DatabaseImage& image, LivePages* pages) {
  if (!image.valid()) return;
  for (const SchemaRow& schema_row : image.Schema()) {
    if (schema_row.type != "table" || schema_row.root_page == 0) continue;
    Table& table = tables_[AsciiLower(schema_row.name)];
    std::vector<uint32_t> tree, overflow;
    image.ForEachRow(schema_row.root_page, [&](int64_t rowid, std::string_view payload) {
      table.record_hash[rowid] = Mix(payload.size(), payload);
      const uint64_t header_size = HeaderSizeOf(payload);
      if (header_size <= payload.size())
        table.body_hashes.insert(Mix(payload.size(), payload.substr(header_size)));
      const std::vector<uint64_t> types = TypesOf(payload, header_size);
      ++table.shapes[ShapeOf(types)];
      ++table.rows;
      if (table.classes.size() < types.size()) table.classes.resize(types.size());
      for (size_t i = 0; i < types.size(); ++i) {
        const uint64_t type = types[i];
        table.classes[i] |= type == 0 ? 1 : type == 7 ? 4 : type < 12 ? 2 : (type & 1) ? 8 : 16;
      }
      if (table.fewest_columns == 0 || types.size() < table.fewest_columns)
        table.fewest_columns = types.size();
      ++rows_;
    }, pages ? &tree : nullptr, pages ? &overflow : nullptr);
    if (!pages) continue;
    for (uint32_t page : tree) pages->owner.emplace(page, schema_row.root_page);
    pages->overflow.insert(overflow.begin(), overflow.end());
  }
}

LiveRows LiveRows::ForInput(const std::string& input_path) {
  auto image = DatabaseImage::ForInput(input_path);
  return LiveRows(*image);
}

namespace {

inline unsigned char Folded(char c) {
  return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

}  // namespace

size_t LiveRows::FoldedHash::operator()(std::string_view name) const {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : name) hash = (hash ^ Folded(c)) * 0x100000001b3ull;
  return static_cast<size_t>(hash);
}

bool LiveRows::FoldedEqual::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Folded(a[i]) != Folded(b[i])) return false;
  return true;
}

const LiveRows::Table* LiveRows::Find(std::string_view table) const {
  auto it = tables_.find(table);
  return it == tables_.end() ? nullptr : &it->second;
}

bool LiveRows::Knows(std::string_view table) const { return Find(table) != nullptr; }

RecordState LiveRows::StateOf(std::string_view table, std::optional<int64_t> rowid,
                              std::string_view record) const {
  const Table* live = Find(table);
  if (!live || !rowid) return RecordState::kUnknown;
  auto it = live->record_hash.find(*rowid);
  if (it == live->record_hash.end()) return RecordState::kDeleted;
  return it->second == Mix(record.size(), record) ? RecordState::kLive : RecordState::kPrior;
}

bool LiveRows::EqualsLiveBody(std::string_view table, std::string_view record,
                              size_t header_size) const {
  const Table* live = Find(table);
  if (!live || header_size > record.size()) return false;
  return live->body_hashes.count(Mix(record.size(), record.substr(header_size))) != 0;
}

}  // namespace quarrow

namespace quarrow {

uint32_t LiveRows::ShapeCount(std::string_view table, const std::vector<uint64_t>& types) const {
  const Table* live = Find(table);
  if (!live) return 0;
  auto it = live->shapes.find(ShapeOf(types));
  return it == live->shapes.end() ? 0 : it->second;
}

size_t LiveRows::FewestColumns(std::string_view table) const {
  const Table* live = Find(table);
  return live ? live->fewest_columns : 0;
}

}  // namespace quarrow

namespace quarrow {

uint8_t LiveRows::ClassesSeen(std::string_view table, size_t column) const {
  const Table* live = Find(table);
  return live && column < live->classes.size() ? live->classes[column] : 0;
}

size_t LiveRows::RowCount(std::string_view table) const {
  const Table* live = Find(table);
  return live ? live->rows : 0;
}

}  // namespace quarrow
