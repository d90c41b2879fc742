#include "report/evidence_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "engine/file_io.h"
#include "report/sha256.h"
#include "text_rule/error.h"
#include "text_rule/utf8.h"

namespace quarrow {
namespace {

// The picture's geometry, in SVG user units.
constexpr double kMargin = 12;
constexpr double kLine = 18;           // a text line's height
constexpr double kTitleLines = 4;
constexpr double kGutter = 100;        // the rows' offset labels
constexpr int64_t kColumns = kGridColumns;
constexpr double kStride = 13;         // a cell and the gap after it, at most cells
constexpr double kLargestStride = 40;  // for inputs of a few pages
constexpr double kCellSize = 12;       // the legend's swatches
constexpr double kMarkSize = 5;
constexpr double kMinWidth = 560;     // the title's and legend's texts
constexpr double kWideWidth = 900;    // from here on, three legend columns
constexpr size_t kLegendTables = 24;   // tables named in the legend; the rest are counted
constexpr int64_t kSector = 512;

constexpr const char* kTablePalette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd",
                                         "#aec7e8", "#ffbb78", "#98df8a", "#6baed6",
                                         "#fd8d3c", "#74c476", "#9e9ac8", "#e377c2"};
constexpr const char* kSchemaColour = "#393b79";

const char* RoleColour(PageRole role) {
  switch (role) {
    case PageRole::kTable: return kTablePalette[0];
    case PageRole::kIndex: return "#a0a0a0";
    case PageRole::kFreelistTrunk: return "#8c564b";
    case PageRole::kFreelistLeaf: return "#c49c94";
    case PageRole::kOverflow: return "#c5b0d5";
    case PageRole::kSuperseded: return "#f7b6d2";
    case PageRole::kWalFrame: return "#17becf";
    case PageRole::kJournalImage: return "#bcbd22";
    case PageRole::kUnmapped: break;
  }
  return "#f0f0f0";
}

// The legend's order: tables first (as met), then the other roles.
int RoleRank(PageRole role) {
  static constexpr PageRole kOrder[] = {
      PageRole::kTable,        PageRole::kIndex,        PageRole::kOverflow,
      PageRole::kFreelistTrunk, PageRole::kFreelistLeaf, PageRole::kSuperseded,
      PageRole::kWalFrame,     PageRole::kJournalImage, PageRole::kUnmapped};
  return static_cast<int>(std::find(std::begin(kOrder), std::end(kOrder), role) -
                          std::begin(kOrder));
}

constexpr RecordState kStates[kRecordStates] = {RecordState::kLive, RecordState::kPrior,
                                                RecordState::kDeleted, RecordState::kUnknown};

// "1,234,567".
std::string Grouped(int64_t value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return value < 0 ? "-" + out : out;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// Appends `text` as XML character data: markup characters escaped, bytes that
// are no valid UTF-8 and control characters XML forbids replaced.
void AppendXml(std::string_view text, std::string& out) {
  for (size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      switch (byte) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += byte < 0x20 || byte == 0x7f ? '?' : static_cast<char>(byte);
      }
      ++at;
      continue;
    }
    uint32_t point = 0;
    const int length = DecodeUtf8(text, at, point);
    if (length == 0 || (point >= 0x80 && point < 0xa0)) {
      out += "\xEF\xBF\xBD";
      ++at;
    } else {
      out.append(text.substr(at, static_cast<size_t>(length)));
      at += static_cast<size_t>(length);
    }
  }
}

std::string Xml(std::string_view text) {
  std::string out;
  AppendXml(text, out);
  return out;
}

// Which kinds the legend names (in its order) and how many tables it leaves out.
// A narrow picture (the window's) sets its legend in two columns.
struct Legend {
  std::vector<int32_t> kinds;
  int64_t tables_left_out = 0;
  int columns = 3;        // of kinds
  int state_columns = 4;  // of the record states' entries
  int Rows() const {
    const auto entries = static_cast<int>(kinds.size()) + (tables_left_out > 0 ? 1 : 0);
    return (entries + columns - 1) / columns;
  }
  int StateRows() const { return (kRecordStates + state_columns - 1) / state_columns; }
};

Legend LegendOf(const EvidenceMap& map) {
  Legend legend;
  if (map.Width() < kWideWidth) {
    legend.columns = 2;
    legend.state_columns = 2;
  }
  std::vector<int32_t> order;
  for (size_t i = 0; i < map.kinds.size(); ++i) {
    if (map.kinds[i].bytes > 0) order.push_back(static_cast<int32_t>(i));
  }
  std::stable_sort(order.begin(), order.end(), [&map](int32_t a, int32_t b) {
    return RoleRank(map.kinds[a].role) < RoleRank(map.kinds[b].role);
  });
  size_t tables = 0;
  for (int32_t kind : order) {
    if (map.kinds[kind].role == PageRole::kTable && ++tables > kLegendTables) {
      ++legend.tables_left_out;
      continue;
    }
    legend.kinds.push_back(kind);
  }
  return legend;
}

// The grid: 64 columns of 12-unit cells; an input of fewer cells gets one
// row of larger ones, so that a small database reads as well as a large one.
struct Grid {
  int64_t columns = kColumns;
  double stride = kStride;
  double cell = kCellSize;
  double mark = kMarkSize;
};

Grid GridOf(const EvidenceMap& map) {
  Grid grid;
  const int64_t most = std::clamp<int64_t>(map.columns, 1, kColumns);
  grid.columns = std::clamp<int64_t>(static_cast<int64_t>(map.cells.size()), 1, most);
  grid.stride = std::clamp(
      std::floor(static_cast<double>(most) * kStride / static_cast<double>(grid.columns)), kStride,
      kLargestStride);
  grid.cell = grid.stride - 1;
  grid.mark = std::floor((grid.cell - 2) / 2);
  return grid;
}

int GridRows(const EvidenceMap& map) {
  const int64_t columns = GridOf(map).columns;
  return static_cast<int>((static_cast<int64_t>(map.cells.size()) + columns - 1) / columns);
}

double LegendTop(const EvidenceMap& map) {
  return map.GridTop() + GridRows(map) * GridOf(map).stride + kLine;
}

std::string CellText(const EvidenceMap& map, const EvidenceCell& cell) {
  std::string text = "bytes " + Grouped(cell.start) + " to " + Grouped(cell.end - 1);
  const int64_t size = cell.end - cell.start;
  if (map.page_size > 0 && size > map.page_size)
    text += " (" + Grouped((size + map.page_size - 1) / map.page_size) + " pages)";
  text += ": ";
  bool first = true;
  for (const auto& [kind, bytes] : cell.shares) {
    if (kind < 0) break;
    if (!first) text += ", ";
    first = false;
    text += map.kinds[kind].Label();
    if (bytes < size) text += " " + std::to_string(bytes * 100 / size) + " %";
  }
  std::string records;
  for (RecordState state : kStates) {
    const int64_t count = cell.records[static_cast<int>(state)];
    if (count == 0) continue;
    records += records.empty() ? "; records: " : ", ";
    records += Grouped(count) + " " + std::string(RecordStateText(state));
  }
  return text + records;
}

std::string CellSizeText(const EvidenceMap& map) {
  std::string text = "Each cell: " + Grouped(map.cell_bytes) + " bytes";
  if (map.page_size > 0) {
    const int64_t pages = map.cell_bytes / map.page_size;
    text += pages == 1 ? " (one page)"
                       : " (" + Grouped(pages) + " pages of " + Grouped(map.page_size) + " bytes)";
  }
  return text + ".";
}

constexpr const char* kCellNote =
    "Its colour: what most of its bytes are. Its marks: the states of its records.";

void AppendText(double x, double y, std::string_view attributes, std::string_view text,
                std::string& out) {
  out += "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\"";
  if (!attributes.empty()) (out += ' ') += attributes;
  out += '>';
  AppendXml(text, out);
  out += "</text>\n";
}

void AppendRect(const EvidenceBox& box, std::string_view fill, std::string_view more,
                std::string& out) {
  out += "<rect x=\"" + Number(box.x) + "\" y=\"" + Number(box.y) + "\" width=\"" +
         Number(box.width) + "\" height=\"" + Number(box.height) + "\" fill=\"";
  out += fill;
  out += '"';
  if (!more.empty()) (out += ' ') += more;
}

void AppendTitle(const EvidenceMap& map, std::string& out) {
  const EvidenceMapInfo& info = map.info;
  double y = kMargin + 13;
  AppendText(kMargin, y, "font-size=\"14\" font-weight=\"bold\"",
             "Evidence map of " + info.input_name, out);
  y += kLine;
  AppendText(kMargin, y, "", "Size " + Grouped(info.input_size) + " bytes", out);
  y += kLine;
  AppendText(kMargin, y, "",
             "SHA-256 " + (info.sha256.empty() ? std::string("not computed") : info.sha256), out);
  y += kLine;
  AppendText(kMargin, y, "", info.command + " \xC2\xB7 " + info.date, out);
}

void AppendGrid(const EvidenceMap& map, std::string& out) {
  out += "<g id=\"offsets\" font-family=\"DejaVu Sans Mono, monospace\" font-size=\"10\" "
         "text-anchor=\"end\" fill=\"#444444\">\n";
  const int64_t columns = GridOf(map).columns;
  for (int row = 0; row < GridRows(map); ++row) {
    const EvidenceCell& first = map.cells[static_cast<size_t>(row * columns)];
    char label[32];
    std::snprintf(label, sizeof label, "0x%llX", static_cast<unsigned long long>(first.start));
    const EvidenceBox box = map.CellBox(row * columns);
    AppendText(box.x - 6, box.y + 10, "", label, out);
  }
  out += "</g>\n<g id=\"cells\">\n";
  for (size_t i = 0; i < map.cells.size(); ++i) {
    const EvidenceCell& cell = map.cells[i];
    AppendRect(map.CellBox(static_cast<int64_t>(i)), map.kinds[cell.kind].colour,
               "data-kind=\"" + std::to_string(cell.kind) + "\" data-start=\"" +
                   std::to_string(cell.start) + "\" data-end=\"" + std::to_string(cell.end) + "\"",
               out);
    out += "><title>";
    AppendXml(CellText(map, cell), out);
    out += "</title></rect>\n";
  }
  out += "</g>\n<g id=\"marks\" stroke=\"#000000\" stroke-width=\"0.6\">\n";
  for (RecordState state : kStates) {
    const int s = static_cast<int>(state);
    if (map.records[s] == 0) continue;
    out += "<path class=\"mark-" + std::string(RecordStateText(state)) + "\" fill=\"" +
           std::string(RecordStateColour(state)) + "\" d=\"";
    for (size_t i = 0; i < map.cells.size(); ++i) {
      if (map.cells[i].records[s] == 0) continue;
      const EvidenceBox box = map.MarkBox(static_cast<int64_t>(i), state);
      ((((out += 'M') += Number(box.x)) += ' ') += Number(box.y)) += 'h';
      ((((out += Number(box.width)) += 'v') += Number(box.height)) += "h-") += Number(box.width);
      out += 'z';
    }
    out += "\"/>\n";
  }
  out += "</g>\n";
}

void AppendLegend(const EvidenceMap& map, std::string& out) {
  const Legend legend = LegendOf(map);
  double y = LegendTop(map);
  out += "<g id=\"legend\">\n";
  AppendText(kMargin, y + 10, "", CellSizeText(map), out);
  y += kLine;
  AppendText(kMargin, y + 10, "", kCellNote, out);
  y += kLine;
  const double column_width = (map.Width() - 2 * kMargin) / legend.columns;
  for (size_t i = 0; i <= legend.kinds.size(); ++i) {
    const double x = kMargin + static_cast<double>(i % legend.columns) * column_width;
    const double row_y = y + static_cast<double>(i / legend.columns) * kLine;
    if (i == legend.kinds.size()) {
      if (legend.tables_left_out > 0)
        AppendText(x, row_y + 10, "", "and " + Grouped(legend.tables_left_out) +
                                          " more tables (their colours repeat)", out);
      break;
    }
    const EvidenceKind& kind = map.kinds[legend.kinds[i]];
    AppendRect({x, row_y, kCellSize, kCellSize}, kind.colour,
               "stroke=\"#808080\" stroke-width=\"0.5\" data-legend-kind=\"" +
                   std::to_string(legend.kinds[i]) + "\"/>\n",
               out);
    const int64_t pages = kind.pages;
    AppendText(x + kCellSize + 6, row_y + 10, "",
               kind.Label() + (pages > 0 ? " \xC2\xB7 " + Grouped(pages) +
                                               (pages == 1 ? " page" : " pages")
                                         : " \xC2\xB7 " + Grouped(kind.bytes) + " bytes"),
               out);
  }
  y += legend.Rows() * kLine + kLine / 2;
  const double state_width = (map.Width() - 2 * kMargin) / legend.state_columns;
  for (int s = 0; s < kRecordStates; ++s) {
    const double x = kMargin + (s % legend.state_columns) * state_width;
    const double row_y = y + (s / legend.state_columns) * kLine;
    AppendRect({x + 3, row_y + 3, kMarkSize, kMarkSize}, RecordStateColour(kStates[s]),
               "stroke=\"#000000\" stroke-width=\"0.6\"/>\n", out);
    AppendText(x + kCellSize + 6, row_y + 10, "",
               std::string(RecordStateText(kStates[s])) + " records \xC2\xB7 " +
                   Grouped(map.records[s]),
               out);
  }
  out += "</g>\n";
}

}  // namespace

std::string EvidenceKind::Label() const {
  if (role != PageRole::kTable) return std::string(PageRoleText(role));
  return (table.empty() ? std::string("unnamed") : table) + " (table)";
}

RecordState StateOfStatus(const PageStatus& status) {
  switch (status.status) {
    case Status::kLive: return RecordState::kLive;
    case Status::kFreeblock:
    case Status::kFreelist: return RecordState::kDeleted;
    default: return RecordState::kUnknown;
  }
}

std::string UtcNowText() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string_view RecordStateColour(RecordState state) {
  switch (state) {
    case RecordState::kLive: return "#ffffff";
    case RecordState::kPrior: return "#ffd400";
    case RecordState::kDeleted: return "#e8000b";
    case RecordState::kUnknown: break;
  }
  return "#6f6f6f";
}

// --- geometry -----------------------------------------------------------------

int64_t EvidenceMap::CellOf(int64_t offset) const {
  if (offset < 0 || offset >= info.input_size || cell_bytes <= 0) return -1;
  return std::min<int64_t>(offset / cell_bytes, static_cast<int64_t>(cells.size()) - 1);
}

double EvidenceMap::GridTop() const { return kMargin + kTitleLines * kLine + kLine / 2; }

EvidenceBox EvidenceMap::CellBox(int64_t cell) const {
  const Grid grid = GridOf(*this);
  return {kMargin + kGutter + static_cast<double>(cell % grid.columns) * grid.stride,
          GridTop() + static_cast<double>(cell / grid.columns) * grid.stride, grid.cell, grid.cell};
}

int64_t EvidenceMap::CellAt(double x, double y) const {
  const Grid grid = GridOf(*this);
  const double column = (x - kMargin - kGutter) / grid.stride;
  const double row = (y - GridTop()) / grid.stride;
  if (column < 0 || row < 0 || column >= static_cast<double>(grid.columns)) return -1;
  // The gap after a cell is no cell.
  if (x - kMargin - kGutter - std::floor(column) * grid.stride >= grid.cell ||
      y - GridTop() - std::floor(row) * grid.stride >= grid.cell)
    return -1;
  const auto cell = static_cast<int64_t>(row) * grid.columns + static_cast<int64_t>(column);
  return cell < static_cast<int64_t>(cells.size()) ? cell : -1;
}

EvidenceBox EvidenceMap::MarkBox(int64_t cell, RecordState state) const {
  const EvidenceBox box = CellBox(cell);
  const int s = static_cast<int>(state);
  const double mark = GridOf(*this).mark;
  return {box.x + 1 + (s % 2) * mark, box.y + 1 + (s / 2) * mark, mark, mark};
}

double EvidenceMap::Width() const {
  const auto most = static_cast<double>(std::clamp<int64_t>(columns, 1, kColumns));
  return std::max(kMinWidth, kMargin + kGutter + most * kStride + kMargin);
}

double EvidenceMap::Height() const {
  const Legend legend = LegendOf(*this);
  return LegendTop(*this) + 2 * kLine + legend.Rows() * kLine + kLine / 2 +
         legend.StateRows() * kLine + kMargin;
}

// --- the builder ----------------------------------------------------------------

EvidenceMapBuilder::EvidenceMapBuilder(EvidenceMapInfo info, int64_t page_size,
                                       int64_t columns) {
  map_.info = std::move(info);
  map_.columns = std::clamp<int64_t>(columns, 1, kColumns);
  const int64_t size = std::max<int64_t>(0, map_.info.input_size);
  map_.info.input_size = size;
  map_.page_size = page_size;
  const int64_t unit = page_size > 0 ? page_size : kSector;
  const int64_t units = size / unit + (size % unit != 0 ? 1 : 0);
  const int64_t per_cell = std::max<int64_t>(1, units / kMaxCells + (units % kMaxCells != 0 ? 1 : 0));
  map_.cell_bytes = unit * per_cell;
  const int64_t count = size / map_.cell_bytes + (size % map_.cell_bytes != 0 ? 1 : 0);
  map_.cells.resize(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    EvidenceCell& cell = map_.cells[static_cast<size_t>(i)];
    cell.start = i * map_.cell_bytes;
    cell.end = std::min(size, cell.start + map_.cell_bytes);
    cell.kind = -1;
  }
}

int32_t EvidenceMapBuilder::KindOf(PageRole role, std::string_view table) {
  std::string key(1, static_cast<char>(role));
  if (role == PageRole::kTable) key.append(table);
  if (auto it = kind_ids_.find(key); it != kind_ids_.end()) return it->second;
  EvidenceKind kind;
  kind.role = role;
  kind.colour = RoleColour(role);
  if (role == PageRole::kTable) {
    kind.table = std::string(table);
    kind.colour = table == "sqlite_schema" ? kSchemaColour
                                           : kTablePalette[tables_++ % std::size(kTablePalette)];
  }
  map_.kinds.push_back(std::move(kind));
  const auto id = static_cast<int32_t>(map_.kinds.size() - 1);
  kind_ids_.emplace(std::move(key), id);
  return id;
}

void EvidenceMapBuilder::AddSpan(int64_t start, int64_t end, PageRole role,
                                 std::string_view table, int64_t unit) {
  end = std::min(end, map_.info.input_size);
  start = std::max(start, covered_);
  if (start >= end) return;
  if (start > covered_) AddBytes(covered_, start, KindOf(PageRole::kUnmapped, {}));
  const int32_t kind = KindOf(role, table);
  map_.kinds[kind].pages += unit > 0 ? (end - start + unit - 1) / unit : 0;
  AddBytes(start, end, kind);
}

void EvidenceMapBuilder::AddLayout(const PageLayout& layout) {
  const std::vector<LayoutTree>& trees = layout.trees();
  layout.ForEachSpan([&](const LayoutSpan& span) {
    std::string_view table;
    if (span.role == PageRole::kTable && span.tree >= 0 &&
        static_cast<size_t>(span.tree) < trees.size())
      table = trees[static_cast<size_t>(span.tree)].table;
    AddSpan(span.start, span.end, span.role, table, span.unit);
  });
}

void EvidenceMapBuilder::AddBytes(int64_t start, int64_t end, int32_t kind) {
  map_.kinds[kind].bytes += end - start;
  covered_ = end;
  for (int64_t at = start; at < end;) {
    const int64_t cell = at / map_.cell_bytes;
    const int64_t cell_end = std::min(end, (cell + 1) * map_.cell_bytes);
    if (cell != open_cell_) {
      if (open_cell_ >= 0) CloseCell(open_cell_);
      open_cell_ = cell;
      open_shares_.clear();
    }
    auto it = std::find_if(open_shares_.begin(), open_shares_.end(),
                           [kind](const auto& share) { return share.first == kind; });
    if (it == open_shares_.end()) {
      open_shares_.emplace_back(kind, cell_end - at);
    } else {
      it->second += cell_end - at;
    }
    at = cell_end;
  }
}

void EvidenceMapBuilder::CloseCell(int64_t index) {
  EvidenceCell& cell = map_.cells[static_cast<size_t>(index)];
  // Most bytes first; of equal shares, the kind met first.
  std::stable_sort(open_shares_.begin(), open_shares_.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  for (size_t i = 0; i < cell.shares.size() && i < open_shares_.size(); ++i)
    cell.shares[i] = open_shares_[i];
  if (!open_shares_.empty()) cell.kind = open_shares_.front().first;
}

void EvidenceMapBuilder::AddRecord(int64_t offset, RecordState state) {
  const int64_t cell = map_.CellOf(offset);
  if (cell < 0) {
    ++map_.records_outside;
    return;
  }
  const int s = static_cast<int>(state);
  ++map_.cells[static_cast<size_t>(cell)].records[s];
  ++map_.records[s];
}

EvidenceMap EvidenceMapBuilder::Finish() {
  AddSpan(covered_, map_.info.input_size, PageRole::kUnmapped, {}, 0);
  if (open_cell_ >= 0) CloseCell(open_cell_);
  open_cell_ = -1;
  for (EvidenceCell& cell : map_.cells) {
    if (cell.kind < 0) cell.kind = KindOf(PageRole::kUnmapped, {});
  }
  return std::move(map_);
}

EvidenceMapBuilder StartEvidenceMap(
    const std::string& input_path, std::string input_name, std::string command,
    const std::function<bool(int64_t done, int64_t total)>& keep_going,
    const std::string& stopped_message, int64_t columns) {
  const int64_t total = InputFile(input_path).size();  // its own error first
  Sha256 digest;
  int64_t done = 0;
  LayoutOptions options;
  options.on_input_bytes = [&](std::string_view bytes) {
    digest.Update(bytes);
    done += static_cast<int64_t>(bytes.size());
    if (keep_going && !keep_going(done, total)) throw Error(stopped_message);
  };
  const PageLayout layout(input_path, options);
  EvidenceMapInfo info;
  info.input_name = std::move(input_name);
  info.input_size = layout.input_size();
  info.sha256 = digest.HexDigest();
  info.command = std::move(command);
  info.date = UtcNowText();
  EvidenceMapBuilder builder(std::move(info), layout.summary().page_size, columns);
  builder.AddLayout(layout);
  return builder;
}

// --- the writer -----------------------------------------------------------------

std::string EvidenceSvg(const EvidenceMap& map) {
  std::string out;
  out.reserve(map.cells.size() * 260 + 8192);
  const std::string width = Number(map.Width()), height = Number(map.Height());
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + width +
         "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
         "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"12\">\n";
  out += "<title>Evidence map of " + Xml(map.info.input_name) + "</title>\n";
  out += "<rect width=\"" + width + "\" height=\"" + height + "\" fill=\"#ffffff\"/>\n";
  AppendTitle(map, out);
  AppendGrid(map, out);
  AppendLegend(map, out);
  out += "</svg>\n";
  return out;
}

void WriteEvidenceSvg(const EvidenceMap& map, const std::string& path) {
  OutputFile file(path);
  file.Write(EvidenceSvg(map));
  file.Close();
}

}  // namespace quarrow
