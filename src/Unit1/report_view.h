// The output view: a list of lines that reads a report from its file only as
// far as the lines are shown, so that no action on it (loading, scrolling,
// Ctrl+End, selecting) costs more than the lines on the screen, whatever the
// report's size. A command's loaded report is indexed (each line's start) on
// the command's thread; the window's thread only swaps the index in.
#ifndef QUARROW_UNIT1_REPORT_VIEW_H_
#define QUARROW_UNIT1_REPORT_VIEW_H_

#include <cstdint>
#include <memory>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include <QAbstractListModel>
#include <QCache>
#include <QAbstractScrollArea>
#include <QStringList>

#include "engine/file_io.h"
#include "engine/ports.h"

namespace quarrow {

// Where each line of a text file starts, with the file kept open to read
// lines by position. Lines end at LF, CR LF or a lone CR; a line end at the
// very end opens no further line; a leading EF BB BF marks UTF-8 (else the
// 8-bit code page), and a UTF-16 file is decoded whole. Immutable once built;
// reading lines is thread-safe.
class ReportLineIndex {
 public:
  // Throws Error 'Cannot open file "<full path>". <reason>'.
  static std::shared_ptr<const ReportLineIndex> Build(const std::string& path);

  int64_t size() const;
  QString Line(int64_t index) const;
  // Lines first to first + count - 1 (cut at the end), joined by LF: one
  // read for all of them.
  QString Join(int64_t first, int64_t count) const;
  // The longest line's length in bytes (the view's width).
  int64_t longest() const { return longest_; }

 private:
  explicit ReportLineIndex(const std::string& path) : file_(path) {}
  QString Decode(std::string_view bytes) const;

  InputFile file_;
  bool utf8_ = false;
  std::vector<int64_t> starts_;  // line i is [starts_[i], starts_[i + 1]) less its end
  QStringList decoded_;          // a UTF-16 file's lines
  int64_t longest_ = 0;
};

// The view's lines: a report's indexed lines, then lines appended after it.
class ReportLinesModel : public QAbstractListModel {
  Q_OBJECT

 public:
  using QAbstractListModel::QAbstractListModel;
  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;

  void Clear();
  void ShowFile(std::shared_ptr<const ReportLineIndex> file);
  void AppendLines(const QStringList& lines);
  // One row's text, read on demand (a few recent rows are kept).
  QString Line(int row) const;
  // Rows first to last, joined by LF, read in one piece where they are the
  // file's.
  QString Join(int first, int last) const;
  int64_t LongestLine() const;

 private:
  int FileRows() const;

  std::shared_ptr<const ReportLineIndex> file_;
  QStringList appended_;
  mutable QCache<int, QString> recent_{2048};
};

// Draws only the rows on the screen, each one line of the report: showing,
// scrolling, moving the cursor and selecting cost the same for ten lines or
// a billion. Keys: arrows, Page Up/Down, (Ctrl+)Home/End, Shift to select,
// Ctrl+A, Ctrl+C; the mouse selects rows; the wheel scrolls.
class ReportView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit ReportView(QWidget* parent = nullptr);
  ReportLinesModel* lines() const { return model_; }

  // Every line, joined by LF: reads the whole report, so for tests and small
  // reports only.
  QString toPlainText() const;
  // Replaces the content by `text`'s lines.
  void setPlainText(const QString& text);
  bool isReadOnly() const { return true; }
  // The row of the cursor (-1 when there are none), and the selected rows'
  // range (empty when none is selected).
  int CursorRow() const { return cursor_; }
  std::pair<int, int> Selection() const;
  // Copies the selected lines (at most kCopyLines of them) to the clipboard.
  void CopySelection() const;
  static constexpr int kCopyLines = 50000;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void ContentChanged(bool reset);
  void UpdateScrollBars();
  int RowHeight() const;
  int VisibleRows() const;
  int RowAt(int y) const;
  void MoveCursor(int row, bool extend);

  ReportLinesModel* model_;
  int cursor_ = -1;
  int anchor_ = -1;  // the selection runs from here to the cursor
  bool selecting_ = false;
};

// The output view as the commands see it, over a ReportView.
class ListOutputView : public OutputView {
 public:
  explicit ListOutputView(ReportView* view) : view_(view) {}
  void Clear() override;
  void AppendLine(std::string_view line) override;
  // Indexes the file here and shows it; throws as ReportLineIndex::Build.
  void LoadFile(const std::string& path) override;

 private:
  ReportView* view_;
};

}  // namespace quarrow

#endif  // QUARROW_UNIT1_REPORT_VIEW_H_
