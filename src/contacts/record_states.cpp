#include "contacts/record_states.h"

#include <algorithm>

#include "engine/file_io.h"
#include "engine/header.h"
#include "pagemap/sqlite_format.h"

namespace quarrow {

namespace sf = sqlite_format;

namespace {

// No record of a person or a value is near this; a header claiming more is
// stray bytes, and its bytes are not read.
constexpr uint64_t kMaxRecordSize = uint64_t{1} << 30;

int VarintLength(uint64_t value) {
  int length = 1;
  while (value >= 0x80 && length < 9) {
    value >>= 7;
    ++length;
  }
  return length;
}

}  // namespace

std::unique_ptr<RecordStates> RecordStates::ForInput(const std::string& input_path,
                                                     const RunOptions& options) {
  auto states = std::make_unique<RecordStates>();
  if (!options.details && !options.deleted_only) return states;
  states->enabled_ = true;
  states->copies_ = options.deleted_only;
  states->image_ = DatabaseImage::ForInput(input_path);
  states->rows_ = LiveRows(*states->image_);
  // A database input's own records end with its pages; past them (a disk
  // image that starts with one) lie other databases' records.
  InputFile input(input_path);
  char head[sf::kDatabaseHeaderSize];
  sf::DatabaseHeader header;
  if (input.ReadAt(0, sizeof head, head) == sizeof head &&
      sf::ParseDatabaseHeader(std::string_view(head, sizeof head), header) &&
      header.page_count_valid)
    states->database_end_ = int64_t{header.page_count} * header.page_size;
  return states;
}

bool RecordStates::AppendOverflow(const BufferView& view, int64_t pointer_at, uint64_t need,
                                  std::string& record) const {
  if (!image_->valid()) return false;
  uint32_t first = 0;
  for (int i = 0; i < 4; ++i) first = (first << 8) | view.At(pointer_at + i);
  return image_->ReadOverflow(first, need, record);
}

RecordState RecordStates::StateOf(std::string_view table, const BufferView& view,
                                  int64_t position, int64_t offset) const {
  if (!enabled_ || offset >= database_end_ || !rows_.Knows(table)) return RecordState::kUnknown;
  const CellRecord cell = ReadCellRecord(view, position);
  if (!cell.rowid) return RecordState::kUnknown;
  // The record as SQLite stores it: what its page holds, then its overflow.
  thread_local std::string record;
  record.clear();
  const uint64_t local =
      image_->valid() ? sf::LocalPayloadSize(cell.record_size, image_->usable_size(), true)
                      : cell.record_size;
  view.AppendTo(cell.header_start, static_cast<int64_t>(local), record);
  if (local < cell.record_size)
    AppendOverflow(view, cell.header_start + static_cast<int64_t>(local),
                   cell.record_size - local, record);
  return rows_.StateOf(table, cell.rowid, record);
}

bool RecordStates::EqualsLive(std::string_view table, const BufferView& view, int64_t position,
                              int64_t offset, const RecordSizes& lost_header_sizes) const {
  if (!enabled_ || offset >= database_end_ || !rows_.Knows(table)) return false;
  // Its header length, when lost, is what its serial types give.
  const CellRecord cell = ReadCellRecord(view, position);
  RecordSizes sizes{cell.header_size, cell.record_size};
  int64_t start = cell.header_start;
  if (sizes.header_size == 0) {
    sizes = lost_header_sizes;
    start = position - (VarintLength(sizes.header_size) - 1);
  }
  if (sizes.record_size > kMaxRecordSize || start < 0) return false;
  // A freed cell's overflow pages are freed with it: only a record that lies
  // whole on its page can be compared.
  if (image_->valid() &&
      sf::LocalPayloadSize(sizes.record_size, image_->usable_size(), true) < sizes.record_size)
    return false;
  thread_local std::string record;
  record.clear();
  view.AppendTo(start, static_cast<int64_t>(sizes.record_size), record);
  return rows_.EqualsLiveBody(table, record, sizes.header_size);
}

}  // namespace quarrow
