#include "Unit1/report_view.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>
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

QString ReportLineIndex::Decode(std::string_view bytes) const {
  // The line's own end: LF, CR LF or CR.
  if (!bytes.empty() && bytes.back() == '\n') bytes.remove_suffix(1);
  if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
  if (!utf8_) return FromBytes(bytes);
  // A second mark at a line's start is a character of the text, as the whole
  // file's decoding shows it.
  QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
  return decoder.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

QString ReportLineIndex::Line(int64_t index) const {
  if (!decoded_.isEmpty()) return decoded_.value(static_cast<qsizetype>(index));
  if (index < 0 || index >= size()) return {};
  const int64_t from = starts_[index];
  std::string bytes(static_cast<size_t>(starts_[index + 1] - from), '\0');
  bytes.resize(file_.ReadAt(from, bytes.size(), bytes.data()));
  return Decode(bytes);
}

QString ReportLineIndex::Join(int64_t first, int64_t count) const {
  first = std::max<int64_t>(first, 0);
  const int64_t end = std::min(first + std::max<int64_t>(count, 0), size());
  if (first >= end) return {};
  if (!decoded_.isEmpty()) {
    return decoded_.mid(static_cast<qsizetype>(first), static_cast<qsizetype>(end - first))
        .join(QLatin1Char('\n'));
  }
  const int64_t from = starts_[first];
  std::string bytes(static_cast<size_t>(starts_[end] - from), '\0');
  bytes.resize(file_.ReadAt(from, bytes.size(), bytes.data()));
  // Decoded in one piece; every line end becomes LF, the last one goes.
  QString text = Decode(bytes);
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
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

QString ReportLinesModel::Join(int first, int last) const {
  QStringList parts;
  const int file_rows = FileRows();
  if (first < file_rows) {
    parts << file_->Join(first, std::min(last, file_rows - 1) - first + 1);
  }
  for (int row = std::max(first, file_rows); row <= last; ++row) parts << Line(row);
  return parts.join(QLatin1Char('\n'));
}

int64_t ReportLinesModel::LongestLine() const {
  int64_t longest = file_ ? file_->longest() : 0;
  for (const QString& line : appended_) longest = std::max<int64_t>(longest, line.size());
  return longest;
}

ReportView::ReportView(QWidget* parent)
    : QAbstractScrollArea(parent), model_(new ReportLinesModel(this)) {
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setAutoFillBackground(true);
  viewport()->setBackgroundRole(QPalette::Base);
  connect(model_, &QAbstractItemModel::modelReset, this, [this] { ContentChanged(true); });
  connect(model_, &QAbstractItemModel::rowsInserted, this, [this] { ContentChanged(false); });
}

void ReportView::ContentChanged(bool reset) {
  if (reset || cursor_ < 0) {
    // A new report starts with the cursor on its first line, nothing selected.
    cursor_ = model_->rowCount() > 0 ? 0 : -1;
    anchor_ = cursor_;
    selecting_ = false;
    verticalScrollBar()->setValue(0);
  }
  UpdateScrollBars();
  viewport()->update();
}

int ReportView::RowHeight() const { return fontMetrics().height() + 2; }

int ReportView::VisibleRows() const { return std::max(1, viewport()->height() / RowHeight()); }

int ReportView::RowAt(int y) const {
  const int row = verticalScrollBar()->value() + std::max(0, y) / RowHeight();
  return std::min(row, model_->rowCount() - 1);
}

void ReportView::UpdateScrollBars() {
  const int rows = model_->rowCount();
  verticalScrollBar()->setRange(0, std::max(0, rows - VisibleRows()));
  verticalScrollBar()->setPageStep(VisibleRows());
  verticalScrollBar()->setSingleStep(1);
  // The widest line sets the width, from the index, not measured; a TAB is
  // taken as a few characters.
  const int64_t chars = std::min<int64_t>(model_->LongestLine(), 100000);
  const int width = static_cast<int>(chars) * fontMetrics().averageCharWidth() * 2 + 8;
  horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
  horizontalScrollBar()->setSingleStep(fontMetrics().averageCharWidth() * 4);
}

std::pair<int, int> ReportView::Selection() const {
  if (!selecting_ || cursor_ < 0) return {0, -1};
  return {std::min(anchor_, cursor_), std::max(anchor_, cursor_)};
}

void ReportView::MoveCursor(int row, bool extend) {
  const int rows = model_->rowCount();
  if (rows == 0) return;
  row = std::clamp(row, 0, rows - 1);
  // A plain move drops the selection; Shift (or a drag) extends it from the
  // anchor.
  if (!extend) anchor_ = row;
  selecting_ = extend;
  cursor_ = row;
  // Keep the cursor on the screen.
  const int top = verticalScrollBar()->value();
  if (row < top) verticalScrollBar()->setValue(row);
  if (row >= top + VisibleRows()) verticalScrollBar()->setValue(row - VisibleRows() + 1);
  viewport()->update();
}

void ReportView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const int height = RowHeight();
  const int first = verticalScrollBar()->value();
  const int rows = model_->rowCount();
  const int x = 4 - horizontalScrollBar()->value();
  const auto [low, high] = Selection();
  const int tab = fontMetrics().horizontalAdvance(QLatin1Char('0')) * 8;
  QTextOption option;
  option.setWrapMode(QTextOption::NoWrap);
  option.setTabStopDistance(tab);
  for (int i = 0, row = first; row < rows && i * height < viewport()->height(); ++i, ++row) {
    const QRect line(0, i * height, viewport()->width(), height);
    const bool selected = row >= low && row <= high;
    if (selected) painter.fillRect(line, palette().brush(QPalette::Highlight));
    painter.setPen(palette().color(selected ? QPalette::HighlightedText : QPalette::Text));
    painter.drawText(QRectF(x, line.top() + 1, 1 << 24, height - 1), model_->Line(row), option);
    if (row == cursor_ && hasFocus()) {
      painter.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
      painter.drawRect(line.adjusted(0, 0, -1, -1));
    }
  }
}

void ReportView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    CopySelection();
    return;
  }
  if (event->matches(QKeySequence::SelectAll)) {
    anchor_ = 0;
    MoveCursor(model_->rowCount() - 1, true);
    return;
  }
  const bool extend = event->modifiers() & Qt::ShiftModifier;
  const int last = model_->rowCount() - 1;
  switch (event->key()) {
    case Qt::Key_Up: MoveCursor(cursor_ - 1, extend); return;
    case Qt::Key_Down: MoveCursor(cursor_ + 1, extend); return;
    case Qt::Key_PageUp: MoveCursor(cursor_ - VisibleRows(), extend); return;
    case Qt::Key_PageDown: MoveCursor(cursor_ + VisibleRows(), extend); return;
    case Qt::Key_Home: MoveCursor(0, extend); return;
    case Qt::Key_End: MoveCursor(last, extend); return;
    case Qt::Key_Left:
      horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
      return;
    case Qt::Key_Right:
      horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
      return;
    default: QAbstractScrollArea::keyPressEvent(event);
  }
}

void ReportView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || model_->rowCount() == 0) return;
  setFocus(Qt::MouseFocusReason);
  const bool extend = event->modifiers() & Qt::ShiftModifier;
  MoveCursor(RowAt(event->position().toPoint().y()), extend);
  if (!extend) selecting_ = true;  // a click selects its row
}

void ReportView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || model_->rowCount() == 0) return;
  MoveCursor(RowAt(event->position().toPoint().y()), true);
}

void ReportView::mouseReleaseEvent(QMouseEvent* event) {
  // The press chose the rows; the release ends the drag.
  event->setAccepted(event->button() == Qt::LeftButton);
}

void ReportView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void ReportView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    UpdateScrollBars();
    viewport()->update();
  }
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
  const auto [low, high] = Selection();
  if (high < low) return;
  QApplication::clipboard()->setText(model_->Join(low, std::min(high, low + kCopyLines - 1)));
}

void ListOutputView::Clear() { view_->lines()->Clear(); }

void ListOutputView::AppendLine(std::string_view line) {
  view_->lines()->AppendLines({FromBytes(line)});
}

void ListOutputView::LoadFile(const std::string& path) {
  view_->lines()->ShowFile(ReportLineIndex::Build(path));
}

}  // namespace quarrow
