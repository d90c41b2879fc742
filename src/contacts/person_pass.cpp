#include "contacts/person_pass.h"


#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "contacts/contacts_report.h"
#include "contacts/contacts_scan.h"
#include "contacts/person_line_writer.h"
#include "contacts/person_row_writer.h"
#include "contacts/record_facts.h"
#include "contacts/value_placement.h"
#include "engine/header.h"
#include "engine/values.h"
#include "engine/scan.h"
#include "text_rule/text_rule.h"

namespace quarrow {

namespace {

// The prefix holds the payload length, the rowid and the header length.
constexpr int kPrefixCount = 3;

}  // namespace

bool FormatPersonRow(std::string_view prefix, const ColumnList& columns,
                     std::string& row) {
  // The prefix's values, each followed by a TAB, are cells 0 to 2 as they stand.
  row.append(prefix);
  for (int k = 0; k < kPersonColumnsKept && k < static_cast<int>(columns.size()); ++k) {
    if (k > 0) row += '\t';
    const TERM& column = columns[k];
    row += column.off ? std::string_view("null") : std::string_view(column.value);
  }
  return true;
}

namespace {

// A person row: the prefix, then the report's person cells joined by TABs;
// `append_value(index, row)` appends the value of the list's column `index`.
template <typename AppendValue>
bool AppendPersonCells(std::string_view prefix, size_t column_count,
                       const std::vector<int>& person_cells, std::string& row,
                       AppendValue&& append_value) {
  row.append(prefix);
  for (size_t k = 0; k < person_cells.size(); ++k) {
    if (k > 0) row += '\t';
    const int cell = person_cells[k];
    if (cell == ContactsSchema::kNullCell) {
      row += "null";
    } else if (cell >= 0 && static_cast<size_t>(cell) < column_count) {
      append_value(cell, row);
    }
  }
  return true;
}

}  // namespace

bool FormatPersonRow(std::string_view prefix, const ColumnList& columns,
                     const std::vector<int>& person_cells, std::string& row) {
  return AppendPersonCells(prefix, columns.size(), person_cells, row,
                           [&](int cell, std::string& out) { out += columns[cell].value; });
}

bool FormatPersonRowFromMatch(const Match& match, const ColumnList& columns,
                              const std::vector<int>& person_cells, std::string& row) {
  PersonRowWriter(person_cells, columns).Append(match, columns, row);
  return true;
}

void AddPersonRow(ResultTable& table, std::string_view prefix,
                  const ColumnList& columns) {
  std::string row;
  FormatPersonRow(prefix, columns, row);
  table.AddRowText(row);
}

Buffer PersonPass(const std::string& input_path, const std::string& offset_text,
                  DdlEditor& editor, ResultTable& table, ProgressSink* progress) {
  return PersonPass(input_path, offset_text, BuiltInContactsSchema(), editor, table, progress);
}

Buffer PersonPass(const std::string& input_path, const std::string& offset_text,
                  const ContactsSchema& schema, DdlEditor& editor, ResultTable& table,
                  ProgressSink* progress, int threads) {
  table.Reset();
  // The header names are the built-in ones whatever the input's layout.
  const ColumnList built_in = LoadColumns(SplitSchema(PersonSchema));
  for (int k = 0; k < kPersonColumnsKept; ++k) {
    table.SetCell(0, kFirstPersonColumn + k, built_in[k].name);
  }
  ReplaceEditorLines(editor, schema.person_lines);
  ColumnList columns = LoadColumns(EditorLines(editor));
  const RecordShaper shaper = ContactsShaper(columns, schema.person_shared, schema.person_narrower);

  Buffer buffer = LoadContactsBuffer(input_path, offset_text);

  ScanParams params = ContactsScanParams(kPrefixCount, progress);
  params.threads = threads;
  const std::vector<int>& cells = schema.person_cells;
  auto add_row = [&table](std::string_view row) { table.AddRowText(row); };
  if (shaper.shapes()) {
    // Each match is read as its own header says; the row is written from it.
    params.render_nothing = true;
    ScanForContacts(
        buffer, shaper.scan_columns(), params,
        [&shaper, shaped = ColumnList(), rows = PersonRowWriter(cells, columns)](
            const Match& match, const ColumnList& found, std::string& row) mutable {
          ShapedRecord record;
          if (!shaper.Shape(match, found, shaped, record)) return false;
          Match at = match;
          at.body_start = record.body_start;
          rows.Append(at, shaped, row);
          return true;
        },
        add_row);
    return buffer;
  }
  // Only the columns that fill a report cell are rendered.
  params.rendered.assign(columns.size(), 0);
  for (int cell : schema.person_cells) {
    if (cell >= 0 && static_cast<size_t>(cell) < columns.size()) params.rendered[cell] = 1;
  }
  ScanForContacts(
      buffer, columns, params,
      [&cells](const Match& match, const ColumnList& found, std::string& row) {
        return FormatPersonRow(match.prefix, found, cells, row);
      },
      add_row);
  return buffer;
}

Buffer LoadContactsBuffer(const std::string& input_path, const std::string& offset_text) {
  return LoadBuffer(input_path, [&offset_text] {
    BufferShape shape;
    shape.length_from = BufferShape::Length::kFileSize;
    shape.start_offset = StrToInt64(offset_text);
    return shape;
  });
}

namespace {

constexpr int kPersonCells = kFirstPersonColumn + kPersonColumnsKept;  // 0 to 31

// The rowid cell of a person row (cells 0 to 31 joined by TABs).
std::string_view RowidCell(std::string_view row) {
  const size_t first = CellEnd(row, 0);
  if (first == std::string_view::npos) return {};
  const size_t second = CellEnd(row, first + 1);
  return row.substr(first + 1, second - first - 1);
}

// A csv or jsonl line made on a scan worker, for the rows whose label cells
// are empty: all but the first row of each of at most 2,000 record ids. The
// line is most of the report's work, and the one thread that writes the
// report (whichever delivers the scan's pages) could not keep up with the
// workers. Each copy (one per worker) formats with scratch
// of its own.
class WorkerLines {
 public:
  // Where a line's label cells start when WithLabels cannot fill them.
  static constexpr uint64_t kNoLabelsAt = UINT64_MAX;

  WorkerLines(const RunOptions& options, const std::vector<std::string>& names,
              const std::vector<int>& person_cells, const ColumnList& columns)
      : options_(options), names_(&names), lines_(options, names, person_cells, columns) {}
  WorkerLines(const WorkerLines& other)
      : options_(other.options_), names_(other.names_), lines_(other.lines_) {}
  WorkerLines& operator=(const WorkerLines&) = delete;

  // Appends what the report's writer needs of `match`: where its line lies in
  // the page's bulk and where the line's label cells start, then the cells
  // it reads (the match's cell prefix; the whole person row when the line
  // cannot be written straight from the match). The line, with empty label
  // cells and no details, goes to the bulk: hundreds of bytes the writer
  // passes on unread, kept apart so that what it does read lies close.
  void Append(const Match& match, const ColumnList& found, int64_t offset,
              PersonRowWriter& rows, std::string& out) {
    LineBuffer& bulk = *match.bulk;
    uint64_t where[3];  // the line's start in the bulk, its size, its label cells' start
    const size_t where_at = out.size();
    out.append(sizeof where, '\0');
    const size_t row_at = out.size();
    out.append(match.prefix);
    where[0] = bulk.size();
    if (const std::optional<size_t> labels_at = lines_.Append(match, found, offset, bulk)) {
      where[2] = *labels_at;
    } else {
      // The report's writer makes this row from its cells; without details,
      // as it stands when it has no label cells.
      out.resize(row_at);
      rows.Append(match, found, out);
      if (!options_.details) {
        if (!report_) report_ = std::make_unique<ContactsFormattedReport>(options_, *names_);
        // No label cells given: the cells past the row's are empty.
        bulk.Append(report_->Row(std::string_view(out).substr(row_at), {}, offset, "", ""));
      }
      where[2] = kNoLabelsAt;
    }
    where[1] = bulk.size() - where[0];
    std::memcpy(out.data() + where_at, where, sizeof where);
  }

  struct Taken {
    std::string_view cells, line;
    uint64_t labels_at;
  };
  // Splits what Append added (all of `formatted`), its line in `bulk`.
  static Taken Take(std::string_view formatted, std::string_view bulk) {
    uint64_t where[3];
    std::memcpy(where, formatted.data(), sizeof where);
    formatted.remove_prefix(sizeof where);
    return {formatted, bulk.substr(where[0], where[1]), where[2]};
  }

 private:
  RunOptions options_;
  const std::vector<std::string>* names_;
  PersonLineWriter lines_;
  std::unique_ptr<ContactsFormattedReport> report_;
};

// What a worker tells the handler of a person record's links, after its row:
// the names block (when asked for) and its size, the record's copy key (when
// asked for), and a byte of these flags.
constexpr uint8_t kRowidProven = 1, kWithNames = 2, kWithCopyKey = 4;
// Report cells holding First, Last, Middle and Organization.
constexpr std::array<int, 4> kNameCells = {kFirstPersonColumn + 1, kFirstPersonColumn + 2,
                                           kFirstPersonColumn + 3, kFirstPersonColumn + 7};

// A cell prefix's number (decimal digits), or -1.
int64_t PrefixNumber(std::string_view cell) {
  if (cell.empty() || cell.size() > 18) return -1;
  int64_t n = 0;
  for (char c : cell) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The record id a match's rowid cell names, proven or not (0: none). A rowid
// no value can carry links nothing, proven or not: a match without one is
// dropped before it is read further.
int PrefixId(std::string_view prefix) {
  const size_t first = CellEnd(prefix, 0);
  const size_t second = first == std::string_view::npos ? first : CellEnd(prefix, first + 1);
  if (second == std::string_view::npos) return 0;
  return LabelIdOf(prefix.substr(first + 1, second - first - 1));
}

// True iff the record's rowid is its cell's: the payload length in front of it
// is the record's size (a freeblock header overwrites both when SQLite frees
// the cell, and a rowid read from those bytes links nothing). `sizes`: the
// sizes of the record as read (SizesOf); `as_matched`: the record's columns
// are the match's, not shaped.
bool RowidProven(const Match& match, const RecordSizes& sizes, bool as_matched) {
  const std::string_view prefix = match.prefix;
  const size_t first = CellEnd(prefix, 0);
  const size_t second = first == std::string_view::npos ? first : CellEnd(prefix, first + 1);
  const size_t third = second == std::string_view::npos ? second : CellEnd(prefix, second + 1);
  if (third == std::string_view::npos) return false;
  const int id = LabelIdOf(prefix.substr(first + 1, second - first - 1));
  if (id == 0) return false;
  // Most records have the definition's columns: their sizes are known
  // already, and the cell need not be read again.
  if (PrefixNumber(prefix.substr(second + 1, third - second - 1)) ==
          static_cast<int64_t>(sizes.header_size) &&
      PrefixNumber(prefix.substr(0, first)) == static_cast<int64_t>(sizes.record_size))
    return true;
  // Else (a payload length the prefix read together with bytes before it,
  // another column count, a grown table's older record) the cell is read as
  // SQLite writes it; from the match's own serial types, where they are all
  // of its header.
  const std::optional<int64_t> rowid = as_matched ? MatchedCellRowid(match, sizes)
                                                 : CellRowid(*match.view, match.position);
  return rowid && id == *rowid;
}

// Appends the names of a person row (its cells 0 to 31 joined by TABs) and
// the names block's size.
void AppendNames(std::string_view row, std::string& out) {
  const size_t start = out.size();
  size_t cell_start = 0;
  int cell = 0;
  size_t next_name = 0;
  while (next_name < kNameCells.size() && cell_start <= row.size()) {
    size_t end = CellEnd(row, cell_start);
    if (end == std::string_view::npos) end = row.size();
    if (cell == kNameCells[next_name]) {
      const auto size = static_cast<uint32_t>(end - cell_start);
      out.append(reinterpret_cast<const char*>(&size), sizeof size);
      out.append(row.substr(cell_start, size));
      ++next_name;
    }
    ++cell;
    cell_start = end + 1;
  }
  for (; next_name < kNameCells.size(); ++next_name) out.append(sizeof(uint32_t), '\0');
  const auto block = static_cast<uint32_t>(out.size() - start);
  out.append(reinterpret_cast<const char*>(&block), sizeof block);
}

// Takes the link facts a worker appended from the end of `formatted`: whether
// the rowid is proven; the names and the copy key when they were sent (else
// `copy_key` is reset and `names` kept).
bool TakeLinkFacts(std::string_view& formatted, PersonNames& names,
                   std::optional<CopyKey>& copy_key) {
  const auto flags = static_cast<uint8_t>(formatted.back());
  formatted.remove_suffix(1);
  copy_key.reset();
  if (flags & kWithCopyKey) {
    CopyKey key;
    std::memcpy(key.data(), formatted.data() + formatted.size() - key.size(), key.size());
    formatted.remove_suffix(key.size());
    copy_key = key;
  }
  if (!(flags & kWithNames)) return flags & kRowidProven;
  uint32_t block;
  std::memcpy(&block, formatted.data() + formatted.size() - sizeof block, sizeof block);
  formatted.remove_suffix(sizeof block);
  std::string_view names_bytes = formatted.substr(formatted.size() - block);
  formatted.remove_suffix(block);
  for (std::string& name : names) {
    uint32_t size;
    std::memcpy(&size, names_bytes.data(), sizeof size);
    name.assign(names_bytes.substr(sizeof size, size));
    names_bytes.remove_prefix(sizeof size + size);
  }
  return flags & kRowidProven;
}

}  // namespace

bool StreamPersonRows(const Buffer& buffer, const ContactsSchema& schema, DdlEditor& editor,
                      const LabelCells& labels, ContactsReportWriter& writer,
                      MatchStatus& status, const RecordStates& states,
                      const std::vector<ValueOrigin>& value_origins, const ValueLinks& links,
                      const RecordCopies& copies, bool deleted_only, ProgressSink* progress,
                      int threads, const FoundPersonSink& found) {
  ReplaceEditorLines(editor, schema.person_lines);
  ColumnList columns = LoadColumns(EditorLines(editor));
  const RecordShaper shaper = ContactsShaper(columns, schema.person_shared, schema.person_narrower);
  ScanParams params = ContactsScanParams(kPrefixCount, progress);
  params.threads = threads;
  status.Attach(params);
  // Columns are rendered by the formatter, straight into the row.
  params.render_nothing = true;
  const std::vector<int>& person_cells = schema.person_cells;
  std::string status_text;
  // Values go to the first row that proves them: its rowid their record id,
  // or its names those of the search record that lists them.
  ValuePlacement placement(labels, links, writer.options().details);
  // A part keeps every unproven row's names: the links are the merge's.
  const bool names_needed = placement.links_by_names() || found != nullptr;
  // The copy keys of the rows whose rowid is not proven: a part keeps them
  // all, as the merge finds their copies in every part.
  const bool keys_needed = found != nullptr || !copies.empty();
  PersonNames names;
  std::optional<CopyKey> copy_key;
  // With details or deleted data only, each record's facts follow its row:
  // its size from its serial types (the copy tests need it) and its state.
  const bool judged = states.enabled();
  // A line's cells are known on the workers, but for the label cells of an
  // id's first row and the details. A tsv line without details is the row,
  // its empty label cells and the line end: the workers add those after the
  // row. A csv or jsonl line is made whole (see WorkerLines); the thread
  // that delivers the page adds label cells and details where the row has
  // them.
  const bool details = writer.options().details;
  const bool tsv = writer.options().format == ReportFormat::kTsv;
  const bool lines_on_workers = (!details || !tsv) && found == nullptr;
  const std::string empty_labels = std::string(LabelCells::kCells + 1, '\t') + "\r\n";
  const int64_t start_offset = buffer.start_offset();
  // Fills the label cells of the lines made on the workers.
  std::optional<PersonLineWriter> label_lines;
  if (lines_on_workers && !tsv)
    label_lines.emplace(writer.options(), writer.names(), person_cells, columns);
  params.page_done = [&writer] { writer.EndPage(); };
  std::string_view bulk;  // the page's lines made on the workers
  params.page_bulk = [&bulk](std::string_view page_bulk) { bulk = page_bulk; };
  // A match's row (or line) from the record as read.
  auto append_row = [lines_on_workers, tsv, start_offset, &empty_labels,
                     rows = PersonRowWriter(person_cells, columns),
                     lines = WorkerLines(writer.options(), writer.names(), person_cells, columns)](
                        const Match& match, const ColumnList& record, std::string& row) mutable {
    if (lines_on_workers && !tsv) {
      lines.Append(match, record, start_offset + match.position, rows, row);
    } else {
      rows.Append(match, record, row);
      if (lines_on_workers) row += empty_labels;
    }
  };
  // After the row, what its links need: whether its rowid is proven; for
  // one that is not, its names when the search index links by them, and its
  // record's copy key when copies may prove its id.
  auto person_row = [append_row, names_needed, keys_needed, as_matched = !shaper.shapes(),
                     names_row = std::string(), rows = PersonRowWriter(person_cells, columns)](
                        const Match& match, const ColumnList& record,
                        std::string& row) mutable {
    append_row(match, record, row);
    const RecordSizes sizes = SizesOf(record);
    uint8_t flags = RowidProven(match, sizes, as_matched) ? kRowidProven : 0;
    if (!(flags & kRowidProven) && names_needed) {
      names_row.clear();
      rows.Append(match, record, names_row);
      AppendNames(names_row, row);
      flags |= kWithNames;
    }
    if (keys_needed && !(flags & kRowidProven)) {
      if (const std::optional<CopyKey> key =
              RecordCopyKey(*match.view, match.position, sizes, /*whole_cell=*/false)) {
        row.append(reinterpret_cast<const char*>(key->data()), key->size());
        flags |= kWithCopyKey;
      }
    }
    row += static_cast<char>(flags);
    return true;
  };
  // The plain report of a table of one layout takes its matches as they are.
  MatchFormatter format = person_row;
  if (judged || shaper.shapes())
    format = ShapedJudgedFormatter(person_row, kPersonTable, shaper, states, judged, start_offset);
  const bool finished = ScanFormatted(
      buffer, shaper.scan_columns(), params, format,
      [&](int64_t position, std::string_view row) {
        RecordFacts facts;
        if (judged) facts = TakeRecordFacts(row);
        const bool proven = TakeLinkFacts(row, names, copy_key);
        std::string_view line;
        uint64_t labels_at = WorkerLines::kNoLabelsAt;
        if (lines_on_workers && tsv) {
          line = row;
          row.remove_suffix(empty_labels.size());
        } else if (lines_on_workers) {
          const WorkerLines::Taken taken = WorkerLines::Take(row, bulk);
          row = taken.cells;
          line = taken.line;
          labels_at = taken.labels_at;
        }
        const std::string_view rowid = RowidCell(row);
        const int proven_id = proven ? LabelIdOf(rowid) : 0;
        const PageStatus where = status.At(position);
        const RecordState state = judged ? StateAt(where, facts) : RecordState::kUnknown;
        const bool kept = !deleted_only || KeptAsDeletedData(status, position, where, state, facts,
                                                             rowid, row.substr(0, row.find('\t')));
        if (found) {
          found(FoundPerson{status.Offset(position), row, proven_id, &names, copy_key, where,
                            state, kept});
          return;
        }
        const int copy_id = proven_id == 0 && copy_key ? copies.IdOf(*copy_key) : 0;
        // A row --deleted-only drops still takes its values.
        const ValuePlacement::Placed& placed = placement.ForPerson(proven_id, names, copy_id);
        if (!kept) return;
        const bool with_labels = placed.any;
        if (lines_on_workers && !details && !with_labels) {
          writer.PageRow(line);  // `line` lies in the page's formatted bytes or bulk
          return;
        }
        const std::array<std::string_view, LabelCells::kCells>& label_cells = placed.cells;
        status_text.clear();
        if (status.enabled()) AppendStatusText(where, status_text);
        const std::string_view state_text = details ? RecordStateText(state) : std::string_view();
        if (labels_at != WorkerLines::kNoLabelsAt) {
          if (with_labels) line = label_lines->WithLabels(line, labels_at, label_cells);
          if (details)
            line = label_lines->WithDetails(line, status.Offset(position), status_text, state_text,
                                            placed.links);
          writer.FormattedRow(line);
          return;
        }
        writer.Row(row, label_cells, status.Offset(position), status_text, state_text,
                   placed.links);
      });
  if (!finished) return false;
  if (found) return true;
  WriteValueOnlyRows(labels, placement, value_origins, deleted_only,
                     [&status](int64_t position) { return status.Offset(position); }, writer);
  return true;
}

ScanLane PersonCopiesLane(const ContactsSchema& schema, RecordCopies& copies) {
  const ColumnList columns = LoadColumns(schema.person_lines);
  // Shared by the workers' copies of the formatter: Shape is const.
  auto shaper = std::make_shared<const RecordShaper>(
      ContactsShaper(columns, schema.person_shared, schema.person_narrower));
  ScanLane lane;
  lane.columns = shaper->scan_columns();
  lane.params = ContactsScanParams(kPrefixCount, nullptr);
  lane.params.render_nothing = true;  // sizes and the cell's bytes tell; no value is read
  // Each whole copy as its id and key; a record whose rowid is not proven is
  // dropped on the worker.
  struct Found {
    int32_t id;
    CopyKey key;
  };
  lane.formatter = [shaper, shaped = ColumnList()](const Match& match, const ColumnList& found,
                                                   std::string& out) mutable {
    // Most matches name no record id: dropped before they are shaped.
    const int id = PrefixId(match.prefix);
    if (id == 0) return false;
    const ColumnList* record = &found;
    if (shaper->shapes()) {
      ShapedRecord shape;
      if (!shaper->Shape(match, found, shaped, shape)) return false;
      record = &shaped;
    }
    const RecordSizes sizes = SizesOf(*record);
    if (!RowidProven(match, sizes, !shaper->shapes())) return false;
    const std::optional<CopyKey> key =
        RecordCopyKey(*match.view, match.position, sizes, /*whole_cell=*/true);
    if (!key) return false;
    const Found copy{id, *key};
    out.append(reinterpret_cast<const char*>(&copy), sizeof copy);
    return true;
  };
  lane.handler = [&copies](int64_t, std::string_view formatted) {
    Found copy;
    std::memcpy(&copy, formatted.data(), sizeof copy);
    copies.Add(copy.key, copy.id);
  };
  return lane;
}

std::optional<RecordCopies> FindPersonCopies(const Buffer& buffer, const ContactsSchema& schema,
                                             ProgressSink* progress, int threads) {
  RecordCopies copies;
  const ScanLane lane = PersonCopiesLane(schema, copies);
  ScanParams params = lane.params;
  params.progress = progress;
  params.threads = threads;
  if (!ScanFormatted(buffer, lane.columns, params, lane.formatter, lane.handler))
    return std::nullopt;
  copies.Seal();
  return copies;
}

void WriteValueOnlyRows(const LabelCells& labels, ValuePlacement& placement,
                        const std::vector<ValueOrigin>& value_origins, bool deleted_only,
                        const std::function<int64_t(int64_t)>& offset_of,
                        ContactsReportWriter& writer) {
  std::string id_text, status_text;
  for (int id : labels.ids_in_order()) {
    // The values no person row took, in a row of their own.
    const ValuePlacement::Placed& placed = placement.ForValuesOf(id);
    if (!placed.any) continue;
    const ValueOrigin& origin = value_origins[id];
    if (deleted_only && !origin.kept_as_deleted) continue;
    // Cells 0 to 31: only the id, in cell 1.
    id_text.assign(1, '\t');
    id_text += std::to_string(id);
    id_text.append(kPersonCells - 2, '\t');
    status_text.clear();
    AppendStatusText(origin.where, status_text);
    writer.Row(id_text, placed.cells, offset_of(labels.FirstPosition(id)), status_text,
               RecordStateText(origin.state));
  }
}

}  // namespace quarrow
