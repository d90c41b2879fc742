// The window's picture of the evidence (report/evidence_map.h), beside the
// report: the input's pages coloured by what they are and the report's
// records marked by state. Clicking a report row outlines the cell its record
// lies in; clicking a cell lists the report's records found in it. The
// picture is built off the window's thread (reading the input for its layout
// and digest, the report for its records' offsets), then only drawn: no
// action on the panel costs more than painting one image, whatever the
// input's size. Saves the picture as SVG (the command line's text) or PNG
// (that text rendered by Qt's SVG renderer).
// Belongs to the window's thread.
#ifndef QUARROW_UNIT1_EVIDENCE_PANEL_H_
#define QUARROW_UNIT1_EVIDENCE_PANEL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QImage>
#include <QString>
#include <QWidget>

#include "carve/record_state.h"
#include "report/evidence_map.h"

class QLabel;
class QListWidget;
class QPushButton;
class QThread;

namespace quarrow {

class ReportView;

// A record as a report line's details give it: its offset, its status's
// text and its state (the line's STATE, else the one its status gives).
struct ReportRecord {
  int64_t offset = 0;
  std::string status;
  RecordState state = RecordState::kUnknown;
};

// Reads the details of one report line (tsv, csv or jsonl, from find or
// contacts): the last offset that a status text follows, and the state after
// it when there is one. Nothing when the line carries no details.
std::optional<ReportRecord> ReadReportRecord(std::string_view line);

// What the panel draws, built off the window's thread.
struct EvidencePicture {
  EvidenceMap map;
  std::string svg;
  QImage image;  // the SVG rendered at twice its size
  struct Listed {
    int64_t line = 0;  // the report line, from 1
    ReportRecord record;
  };
  std::vector<Listed> records;  // in report order, at most kListedRecords
  bool records_cut = false;     // more records than that were marked
  static constexpr size_t kListedRecords = 1000000;
};

// Builds the picture of `input_path` with the records of `report_path` (may
// be empty: none). Throws Error when the input cannot be read or `cancel` is
// set; a report that cannot be read gives no records.
EvidencePicture BuildEvidencePicture(const std::string& input_path,
                                     const std::string& report_path,
                                     const std::string& command,
                                     const std::atomic<bool>* cancel = nullptr);

class EvidencePanel : public QWidget {
  Q_OBJECT

 public:
  explicit EvidencePanel(QWidget* parent = nullptr);
  // Stops a picture being built and waits for it.
  ~EvidencePanel() override;

  // Builds the picture of the input with the report's records, off the
  // window's thread; an earlier build still running is dropped. `command`
  // names what made the report in the title.
  void ShowEvidence(const QString& input_path, const QString& report_path,
                    const QString& command);
  // Outlines the cell holding `offset` (none: no outline).
  void ShowRecordAt(std::optional<int64_t> offset);
  // Outlines the cell of the record on `view`'s current row whenever a click
  // or a key moves it.
  void FollowReport(ReportView* view);
  // Lists the records of `cell` and outlines it.
  void SelectCell(int64_t cell);

  bool Building() const { return thread_ != nullptr; }
  bool HasPicture() const { return picture_ != nullptr; }
  const EvidencePicture* picture() const { return picture_.get(); }
  int64_t SelectedCell() const { return selected_cell_; }
  QListWidget* RecordList() const { return list_; }

  // Writes the picture to `path`: SVG unless the name ends in ".png".
  // Returns the error's text, or an empty string when it was written.
  QString Save(const QString& path) const;

 signals:
  // A picture (or its failure) has reached the panel.
  void PictureReady();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Asks where to save; empty when cancelled.
  virtual QString ChooseSavePath();

 private:
  // Where the picture is drawn in the panel, and the scale from map units.
  QRectF PictureRect() const;
  void Finish(uint64_t generation, std::shared_ptr<EvidencePicture> picture, QString error);
  void ShowCellRecords(int64_t cell);
  void SaveClicked();

  QLabel* status_;
  QListWidget* list_;
  QPushButton* save_;
  ReportView* followed_ = nullptr;
  std::shared_ptr<EvidencePicture> picture_;
  int64_t selected_cell_ = -1;
  QThread* thread_ = nullptr;
  std::shared_ptr<std::atomic<bool>> cancel_;
  uint64_t generation_ = 0;
};

}  // namespace quarrow

#endif  // QUARROW_UNIT1_EVIDENCE_PANEL_H_
