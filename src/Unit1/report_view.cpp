#include "Unit1/report_view.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStringDecoder>

#include "Unit1/text_ports.h"

namespace quarrow {

std::shared_ptr<const ReportLineIndex> ReportLineIndex::Build(const std::string& path) {
  std::shared_ptr<ReportLineIndex> index(new ReportLineIndex(path));
  const int64_t size = index->file_.size();
  std::string block(size_t{1} << 20, '\0');
  int64_t start = 0;
  size_t got = index->file_.ReadAt(0, 3, block.data());
  if (got >= 2 && ((block[0] == '\xFF' && block[1] == '\xFE') ||
                   (block[0] == '\xFE' && block[1] == '\xFF'))) {
    // UTF-16: rare enough to be decoded whole, as the text view always did.
    index->decoded_ = ReadViewFile(path).split(QLatin1Char('\n'));
    if (!index->decoded_.isEmpty() && index->decoded_.back().isEmpty())
      index->decoded_.removeLast();
    return index;
  }
  if (got == 3 && block.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    index->utf8_ = true;
    start = 3;
  }
  std::vector<int64_t>& starts = index->starts_;
  int64_t line_start = start;
  bool after_cr = false;
  for (int64_t at = start; at < size;) {
    size_t count = index->file_.ReadAt(at, block.size(), block.data());
    if (count == 0) break;
    for (size_t i = 0; i < count; ++i) {
      const char c = block[i];
      const int64_t position = at + static_cast<int64_t>(i);
      const bool cr_before = after_cr;
      if (cr_before && c != '\n') {  // a lone CR ended the line before
        starts.push_back(line_start);
        index->longest_ = std::max(index->longest_, position - 1 - line_start);
        line_start = position;
      }
      if (c == '\n') {
        starts.push_back(line_start);
        index->longest_ =
            std::max(index->longest_, position - (cr_before ? 1 : 0) - line_start);
        line_start = position + 1;
      }
      after_cr = c == '\r';
    }
    at += static_cast<int64_t>(count);
  }
  if (after_cr || line_start < size) {
    starts.push_back(line_start);
    index->longest_ = std::max(index->longest_, size - (after_cr ? 1 : 0) - line_start);
  }
  starts.push_back(size);
  return index;
}

int64_t ReportLineIndex::size() const {
  if (!decoded_.isEmpty()) return decoded_.size();
  return starts_.empty() ? 0 : static_cast<int64_t>(starts_.size()) - 1;
}

QString ReportLineIndex::Line(int64_t index) const {
  if (!decoded_.isEmpty()) return decoded_.value(static_cast<qsizetype>(index));
  if (index < 0 || index >= size()) return {};
  const int64_t from = starts_[index];
  int64_t length = starts_[index + 1] - from;
  std::string bytes(static_cast<size_t>(length), '\0');
  bytes.resize(file_.ReadAt(from, bytes.size(), bytes.data()));
  // The line's own end: LF, CR LF or CR.
  if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
  if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
  if (!utf8_) return FromBytes(bytes);
  // A second mark at a line's start is a character of the text, as the whole
  // file's decoding shows it.
  QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
  return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

int ReportLinesModel::FileRows() const {
  return file_ ? static_cast<int>(std::min<int64_t>(file_->size(), INT32_MAX / 2)) : 0;
}

int ReportLinesModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : FileRows() + static_cast<int>(appended_.size());
}

QString ReportLinesModel::Line(int row) const {
  if (row >= FileRows()) return appended_.value(row - FileRows());
  if (QString* kept = recent_.object(row)) return *kept;
  QString line = file_->Line(row);
  recent_.insert(row, new QString(line));
  return line;
}

QVariant ReportLinesModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  if (role == Qt::DisplayRole) return Line(index.row());
  return {};
}

void ReportLinesModel::Clear() {
  beginResetModel();
  file_.reset();
  appended_.clear();
  recent_.clear();
  endResetModel();
}

void ReportLinesModel::ShowFile(std::shared_ptr<const ReportLineIndex> file) {
  beginResetModel();
  file_ = std::move(file);
  appended_.clear();
  recent_.clear();
  endResetModel();
}

void ReportLinesModel::AppendLines(const QStringList& lines) {
  if (lines.isEmpty()) return;
  const int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(lines.size()) - 1);
  appended_ += lines;
  endInsertRows();
}

int64_t ReportLinesModel::LongestLine() const {
  int64_t longest = file_ ? file_->longest() : 0;
  for (const QString& line : appended_) longest = std::max<int64_t>(longest, line.size());
  return longest;
}

ReportView::ReportView(QWidget* parent) : QTableView(parent), model_(new ReportLinesModel(this)) {
  setModel(model_);
  // One column of rows of one fixed height: the view places any row without
  // measuring the others (its header keeps the rows as one span), so a report
  // of millions of lines shows and scrolls as one of ten.
  horizontalHeader()->hide();
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  setShowGrid(false);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setTextElideMode(Qt::ElideNone);
  setWordWrap(false);
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    FitRows();
    // A cursor on the first line, so that the first Ctrl+End goes to the end
    // (with no cursor, any move only puts it on the first line).
    if (model_->rowCount() > 0)
      selectionModel()->setCurrentIndex(model_->index(0), QItemSelectionModel::NoUpdate);
  });
  connect(model_, &QAbstractItemModel::rowsInserted, this, &ReportView::FitRows);
}

void ReportView::FitRows() {
  // The widest line sets the column's width, from the index, not measured.
  const QFontMetrics metrics(font());
  const int64_t chars = std::min<int64_t>(model_->LongestLine(), 100000);
  verticalHeader()->setDefaultSectionSize(metrics.height() + 2);
  setColumnWidth(0, static_cast<int>(chars) * metrics.averageCharWidth() + 8);
}

void ReportView::changeEvent(QEvent* event) {
  QTableView::changeEvent(event);
  if (event->type() == QEvent::FontChange) FitRows();
}

QString ReportView::toPlainText() const {
  QStringList all;
  for (int row = 0; row < model_->rowCount(); ++row) all << model_->Line(row);
  return all.join(QLatin1Char('\n'));
}

void ReportView::setPlainText(const QString& text) {
  model_->Clear();
  QStringList lines = text.split(QLatin1Char('\n'));
  if (text.isEmpty()) lines.clear();
  model_->AppendLines(lines);
}

void ReportView::CopySelection() const {
  // By ranges, not by index: a selection of every row of a large report is
  // one range, and only kCopyLines rows of it are read.
  std::vector<std::pair<int, int>> ranges;
  for (const QItemSelectionRange& range : selectionModel()->selection())
    ranges.emplace_back(range.top(), range.bottom());
  std::sort(ranges.begin(), ranges.end());
  QStringList lines;
  for (const auto& [top, bottom] : ranges) {
    for (int row = top; row <= bottom && lines.size() < kCopyLines; ++row)
      lines << model_->Line(row);
  }
  QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void ReportView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    CopySelection();
    return;
  }
  QTableView::keyPressEvent(event);
}

void ListOutputView::Clear() { view_->lines()->Clear(); }

void ListOutputView::AppendLine(std::string_view line) {
  view_->lines()->AppendLines({FromBytes(line)});
}

void ListOutputView::LoadFile(const std::string& path) {
  view_->lines()->ShowFile(ReportLineIndex::Build(path));
}

}  // namespace quarrow
