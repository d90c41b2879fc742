#include "Unit1/evidence_panel.h"

#include <algorithm>
#include <cctype>

#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QThread>
#include <QVBoxLayout>

#include "Unit1/report_view.h"
#include "Unit1/text_ports.h"
#include "engine/file_io.h"
#include "text_rule/error.h"

namespace quarrow {
namespace {

constexpr int kListShown = 500;  // records listed for one cell
// Half the command line's row: a taller, narrower picture reads better in
// the panel's narrow column.
constexpr int64_t kPanelColumns = 32;
constexpr size_t kReportChunk = size_t{1} << 20;

bool IsDecimal(std::string_view text) {
  return !text.empty() && text.size() <= 19 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A status text as AppendStatusText writes it.
std::optional<Status> StatusOfText(std::string_view text) {
  if (text == "live") return Status::kLive;
  if (text == "superseded") return Status::kSuperseded;
  if (text == "freeblock") return Status::kFreeblock;
  if (text == "freelist") return Status::kFreelist;
  if (text == "journal") return Status::kJournal;
  if (text == "unknown") return Status::kUnknown;
  if (text.substr(0, 4) == "wal:" && IsDecimal(text.substr(4))) return Status::kWal;
  return std::nullopt;
}

std::optional<RecordState> StateOfText(std::string_view text) {
  for (RecordState state : {RecordState::kLive, RecordState::kPrior, RecordState::kDeleted,
                            RecordState::kUnknown}) {
    if (text == RecordStateText(state)) return state;
  }
  return std::nullopt;
}

// The text of a jsonl key's value: a number as it stands, a string without
// its quotes (details values hold no escapes).
std::string_view JsonValue(std::string_view line, std::string_view key) {
  std::string quoted(1, '"');
  quoted.append(key).append("\":");
  const size_t at = line.rfind(quoted);
  if (at == std::string_view::npos) return {};
  std::string_view value = line.substr(at + quoted.size());
  if (!value.empty() && value.front() == '"') {
    value.remove_prefix(1);
    return value.substr(0, value.find('"'));
  }
  return value.substr(0, value.find_first_of(",}"));
}

std::optional<ReportRecord> Found(std::string_view offset, std::string_view status,
                                  std::string_view state) {
  const std::optional<Status> where = StatusOfText(status);
  if (!IsDecimal(offset) || !where) return std::nullopt;
  ReportRecord record;
  record.offset = std::stoll(std::string(offset));
  record.status = std::string(status);
  const std::optional<RecordState> told = StateOfText(state);
  record.state = told ? *told : StateOfStatus(PageStatus{*where, 0});
  return record;
}

std::string CellRecordText(const EvidencePicture::Listed& listed) {
  return "line " + std::to_string(listed.line) + " \xC2\xB7 offset " +
         std::to_string(listed.record.offset) + " \xC2\xB7 " + listed.record.status + " \xC2\xB7 " +
         std::string(RecordStateText(listed.record.state));
}

}  // namespace

std::optional<ReportRecord> ReadReportRecord(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (!line.empty() && line.front() == '{')
    return Found(JsonValue(line, "offset"), JsonValue(line, "status"), JsonValue(line, "state"));
  const char separator = line.find('\t') != std::string_view::npos ? '\t' : ',';
  std::vector<std::string_view> fields;
  for (size_t at = 0;;) {
    const size_t end = line.find(separator, at);
    fields.push_back(line.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  // The details come last: the last offset that a status follows.
  for (size_t i = fields.size(); i-- > 1;) {
    if (!StatusOfText(fields[i]) || !IsDecimal(fields[i - 1])) continue;
    return Found(fields[i - 1], fields[i], i + 1 < fields.size() ? fields[i + 1] : "");
  }
  return std::nullopt;
}

EvidencePicture BuildEvidencePicture(const std::string& input_path,
                                     const std::string& report_path, const std::string& command,
                                     const std::atomic<bool>* cancel) {
  const auto check = [cancel] {
    if (cancel != nullptr && cancel->load()) throw Error("The picture was cancelled");
  };
  EvidenceMapBuilder builder = StartEvidenceMap(
      input_path, input_path, command,
      [cancel](int64_t, int64_t) { return cancel == nullptr || !cancel->load(); },
      "The picture was cancelled", kPanelColumns);

  EvidencePicture picture;
  if (!report_path.empty()) {
    try {
      const InputFile report(report_path);
      std::string chunk, carried;
      int64_t line = 0;
      const auto take = [&](std::string_view text) {
        ++line;
        if (std::optional<ReportRecord> record = ReadReportRecord(text)) {
          builder.AddRecord(record->offset, record->state);
          if (picture.records.size() < EvidencePicture::kListedRecords) {
            picture.records.push_back({line, std::move(*record)});
          } else {
            picture.records_cut = true;
          }
        }
      };
      for (int64_t at = 0; at < report.size(); at += static_cast<int64_t>(kReportChunk)) {
        check();
        chunk.resize(kReportChunk);
        chunk.resize(report.ReadAt(at, kReportChunk, chunk.data()));
        size_t start = 0;
        for (size_t end; (end = chunk.find('\n', start)) != std::string::npos; start = end + 1) {
          if (carried.empty()) {
            take(std::string_view(chunk).substr(start, end - start));
          } else {
            take(carried.append(chunk, start, end - start));
            carried.clear();
          }
        }
        carried.append(chunk, start);
      }
      if (!carried.empty()) take(carried);
    } catch (const Error&) {
      // A report that cannot be read leaves the picture without records.
    }
  }
  picture.map = builder.Finish();
  picture.svg = EvidenceSvg(picture.map);
  QSvgRenderer renderer(QByteArray::fromStdString(picture.svg));
  picture.image = QImage(qRound(picture.map.Width() * 2), qRound(picture.map.Height() * 2),
                         QImage::Format_ARGB32_Premultiplied);
  picture.image.fill(Qt::white);
  QPainter painter(&picture.image);
  renderer.render(&painter);
  return picture;
}

// --- the panel ------------------------------------------------------------------

EvidencePanel::EvidencePanel(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  status_ = new QLabel(QStringLiteral("The picture of the evidence appears here after a run."), this);
  status_->setObjectName(QStringLiteral("EvidenceStatus"));
  status_->setWordWrap(true);
  layout->addWidget(status_);
  auto* canvas = new QWidget(this);  // the picture is painted here, by the panel
  canvas->setObjectName(QStringLiteral("EvidenceCanvas"));
  canvas->setAttribute(Qt::WA_TransparentForMouseEvents);
  layout->addWidget(canvas, 1);
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("EvidenceRecords"));
  list_->setMaximumHeight(110);
  layout->addWidget(list_);
  save_ = new QPushButton(QStringLiteral("Save picture…"), this);
  save_->setObjectName(QStringLiteral("EvidenceSave"));
  save_->setEnabled(false);
  layout->addWidget(save_);
  connect(save_, &QPushButton::clicked, this, &EvidencePanel::SaveClicked);
}

EvidencePanel::~EvidencePanel() {
  if (cancel_) cancel_->store(true);
  for (QThread* thread : findChildren<QThread*>()) thread->wait();
}

void EvidencePanel::ShowEvidence(const QString& input_path, const QString& report_path,
                                 const QString& command) {
  if (cancel_) cancel_->store(true);  // an earlier build's result is dropped
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  const uint64_t generation = ++generation_;
  status_->setText(QStringLiteral("Drawing the picture…"));
  thread_ = QThread::create([this, generation, cancel = cancel_, input = ToBytes(input_path),
                             report = ToBytes(report_path), command = ToBytes(command)] {
    std::shared_ptr<EvidencePicture> picture;
    QString error;
    try {
      picture = std::make_shared<EvidencePicture>(
          BuildEvidencePicture(input, report, command, cancel.get()));
    } catch (const std::exception& failure) {
      error = FromBytes(failure.what());
    }
    QMetaObject::invokeMethod(
        this, [this, generation, picture, error] { Finish(generation, picture, error); },
        Qt::QueuedConnection);
  });
  thread_->setParent(this);
  connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);
  thread_->start();
}

void EvidencePanel::Finish(uint64_t generation, std::shared_ptr<EvidencePicture> picture,
                           QString error) {
  if (generation != generation_) return;
  thread_ = nullptr;
  if (picture) {
    picture_ = std::move(picture);
    selected_cell_ = -1;
    list_->clear();
    const EvidenceMap& map = picture_->map;
    int64_t records = 0;
    for (int64_t count : map.records) records += count;
    status_->setText(
        QStringLiteral("%1 cells of %2 bytes · %3 records marked, %4 deleted · click a cell to list its records")
            .arg(map.cells.size())
            .arg(map.cell_bytes)
            .arg(records)
            .arg(map.records[static_cast<int>(RecordState::kDeleted)]));
    save_->setEnabled(true);
  } else {
    status_->setText(QStringLiteral("No picture: ") + error);
  }
  update();
  emit PictureReady();
}

QRectF EvidencePanel::PictureRect() const {
  if (!picture_) return {};
  const QRect area = findChild<QWidget*>(QStringLiteral("EvidenceCanvas"))->geometry();
  const double width = picture_->map.Width(), height = picture_->map.Height();
  const double scale = std::min(area.width() / width, area.height() / height);
  return {static_cast<double>(area.left()), static_cast<double>(area.top()), width * scale,
          height * scale};
}

void EvidencePanel::paintEvent(QPaintEvent*) {
  if (!picture_) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QRectF at = PictureRect();
  painter.drawImage(at, picture_->image);
  if (selected_cell_ < 0) return;
  const double scale = at.width() / picture_->map.Width();
  const EvidenceBox box = picture_->map.CellBox(selected_cell_);
  const QRectF cell(at.left() + box.x * scale, at.top() + box.y * scale, box.width * scale,
                    box.height * scale);
  painter.setPen(QPen(Qt::black, 2));
  painter.drawRect(cell.adjusted(-2, -2, 2, 2));
  painter.setPen(QPen(QColor(255, 212, 0), 1));
  painter.drawRect(cell.adjusted(-1, -1, 1, 1));
}

void EvidencePanel::mousePressEvent(QMouseEvent* event) {
  const QRectF at = PictureRect();
  if (!picture_ || !at.contains(event->position())) return;
  const double scale = at.width() / picture_->map.Width();
  const QPointF point = (event->position() - at.topLeft()) / scale;
  const int64_t cell = picture_->map.CellAt(point.x(), point.y());
  if (cell >= 0) SelectCell(cell);
}

void EvidencePanel::SelectCell(int64_t cell) {
  if (!picture_ || cell < 0 || cell >= static_cast<int64_t>(picture_->map.cells.size())) return;
  selected_cell_ = cell;
  ShowCellRecords(cell);
  update();
}

void EvidencePanel::ShowRecordAt(std::optional<int64_t> offset) {
  if (!picture_) return;
  const int64_t cell = offset ? picture_->map.CellOf(*offset) : -1;
  if (cell < 0) {
    selected_cell_ = -1;
    update();
    return;
  }
  SelectCell(cell);
}

void EvidencePanel::ShowCellRecords(int64_t cell) {
  list_->clear();
  const EvidenceCell& box = picture_->map.cells[static_cast<size_t>(cell)];
  int shown = 0, more = 0;
  for (const EvidencePicture::Listed& listed : picture_->records) {
    if (listed.record.offset < box.start || listed.record.offset >= box.end) continue;
    if (shown++ < kListShown) {
      list_->addItem(FromBytes(CellRecordText(listed)));
    } else {
      ++more;
    }
  }
  if (more > 0) list_->addItem(QStringLiteral("… and %1 more").arg(more));
  if (shown == 0) list_->addItem(QStringLiteral("No record of the report lies in this cell."));
}

void EvidencePanel::FollowReport(ReportView* view) {
  followed_ = view;
  view->installEventFilter(this);
  view->viewport()->installEventFilter(this);
}

bool EvidencePanel::eventFilter(QObject* watched, QEvent* event) {
  const bool moved = event->type() == QEvent::MouseButtonRelease ||
                     event->type() == QEvent::KeyRelease;
  if (moved && followed_ != nullptr &&
      (watched == followed_ || watched == followed_->viewport()) && followed_->CursorRow() >= 0) {
    const QByteArray line = followed_->lines()->Line(followed_->CursorRow()).toUtf8();
    const std::optional<ReportRecord> record =
        ReadReportRecord(std::string_view(line.constData(), static_cast<size_t>(line.size())));
    ShowRecordAt(record ? std::optional<int64_t>(record->offset) : std::nullopt);
  }
  return QWidget::eventFilter(watched, event);
}

QString EvidencePanel::Save(const QString& path) const {
  if (!picture_) return QStringLiteral("There is no picture to save.");
  if (path.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive)) {
    if (!picture_->image.save(path, "PNG"))
      return QStringLiteral("Cannot write file \"%1\".").arg(path);
    return {};
  }
  try {
    WriteEvidenceSvg(picture_->map, ToBytes(path));
  } catch (const Error& error) {
    return FromBytes(error.what());
  }
  return {};
}

QString EvidencePanel::ChooseSavePath() {
  return QFileDialog::getSaveFileName(this, QStringLiteral("Save the picture"), QString(),
                                      QStringLiteral("SVG picture (*.svg);;PNG image (*.png)"));
}

void EvidencePanel::SaveClicked() {
  const QString path = ChooseSavePath();
  if (path.isEmpty()) return;
  const QString error = Save(path);
  if (!error.isEmpty())
    QMessageBox::critical(this, QStringLiteral("Quarrow"), error);
}

}  // namespace quarrow
