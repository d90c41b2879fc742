// The window's picture of the evidence: report lines read for their records'
// details in every format, the picture built off the window's thread from a
// real database and a report, rendered by Qt's SVG renderer with every cell
// in its kind's colour and the records' marks in their cells, clicks on a
// report row and on a cell answered at once, and the picture saved as SVG
// and PNG.
#include <sqlite3.h>

#include <chrono>

#include <QListWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "Unit1/evidence_panel.h"
#include "Unit1/report_view.h"
#include "window_tests.h"

namespace quarrow::test {

namespace {

constexpr int kPageSize = 1024;

// A database of 1 KiB pages with a table of rows, a third of them deleted
// with secure_delete off; returns an offset in a freeblock of a leaf page.
QString MakeDatabase(const QString& path, int64_t& freed_offset) {
  sqlite3* db = nullptr;
  sqlite3_open(QFile::encodeName(path).constData(), &db);
  sqlite3_exec(db,
               "PRAGMA page_size=1024; PRAGMA secure_delete=OFF; PRAGMA journal_mode=DELETE;"
               "CREATE TABLE note(id INTEGER PRIMARY KEY, body TEXT);"
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300)"
               " INSERT INTO note SELECT i, printf('body of note %05d', i) FROM n;"
               "DELETE FROM note WHERE id % 3 = 0;",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const QByteArray bytes = ReadFile(path);
  freed_offset = bytes.indexOf("body of note 00150");  // deleted: 150 % 3 == 0
  return path;
}

QColor Pixel(const QImage& image, const EvidenceBox& box, double dx, double dy) {
  return image.pixelColor(qFloor((box.x + dx) * 2), qFloor((box.y + dy) * 2));
}

bool Near(const QColor& a, const QColor& b) {
  return qAbs(a.red() - b.red()) <= 3 && qAbs(a.green() - b.green()) <= 3 &&
         qAbs(a.blue() - b.blue()) <= 3;
}

template <typename Action>
qint64 Milliseconds(Action action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

class EvidencePanelTest : public QObject {
  Q_OBJECT

 private slots:
  void ReportLinesGiveTheirRecords_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<qint64>("offset");  // -1: no record
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("state");
    QTest::newRow("contacts tsv") << QByteArray("7\tAnna\t\t4242\tfreeblock\t\r\n") << qint64(4242)
                                  << "freeblock" << "deleted";
    QTest::newRow("find tsv") << QByteArray("1\tx\t99\tlive\tlive\tintact\t\r\n") << qint64(99)
                              << "live" << "live";
    QTest::newRow("a told state wins") << QByteArray("1\t5000\twal:3\tprior\tintact\t\r\n")
                                       << qint64(5000) << "wal:3" << "prior";
    QTest::newRow("csv") << QByteArray("\"a,1,live\",b,77,freelist,unknown,rebuilt\r\n")
                         << qint64(77) << "freelist" << "unknown";
    QTest::newRow("jsonl") << QByteArray("{\"offset\":55,\"a\":\"12 live\",\"status\":\"journal\","
                                         "\"state\":\"deleted\"}\n")
                           << qint64(55) << "journal" << "deleted";
    QTest::newRow("no details") << QByteArray("1\tAnna\tBerg\t\r\n") << qint64(-1) << "" << "";
    QTest::newRow("data before details") << QByteArray("12\tlive\t3\tsuperseded\t\r\n")
                                         << qint64(3) << "superseded" << "unknown";
    QTest::newRow("header row") << QByteArray("ID\tOFFSET\tSTATUS\t\r\n") << qint64(-1) << ""
                                << "";
  }

  void ReportLinesGiveTheirRecords() {
    QFETCH(QByteArray, line);
    QFETCH(qint64, offset);
    QFETCH(QString, status);
    QFETCH(QString, state);
    const std::optional<ReportRecord> record =
        ReadReportRecord(std::string_view(line.constData(), static_cast<size_t>(line.size())));
    QCOMPARE(record.has_value(), offset >= 0);
    if (!record) return;
    QCOMPARE(record->offset, offset);
    QCOMPARE(QString::fromStdString(record->status), status);
    QCOMPARE(QString::fromUtf8(RecordStateText(record->state).data()), state);
  }

  void PictureShowsPagesAndRecordsAndAnswersClicks() {
    QTemporaryDir dir;
    int64_t freed = 0;
    const QString database = MakeDatabase(dir.filePath("notes.db"), freed);
    QVERIFY(freed > 0);
    const QString report = dir.filePath("report.tsv");
    const QByteArray lines = "ID\tOFFSET\tSTATUS\t\r\n1\t" + QByteArray::number(freed) +
                             "\tfreeblock\t\r\n2\t" + QByteArray::number(kPageSize + 40) +
                             "\tlive\t\r\n3\tno details\t\r\n";
    QVERIFY(WriteFile(report, lines));

    EvidencePanel panel;
    panel.resize(360, 584);
    panel.show();
    QSignalSpy ready(&panel, &EvidencePanel::PictureReady);
    panel.ShowEvidence(database, report, QStringLiteral("test run"));
    QVERIFY(panel.Building());
    QVERIFY(ready.wait(20000));
    QVERIFY(panel.HasPicture());
    const EvidencePicture& picture = *panel.picture();
    const EvidenceMap& map = picture.map;
    QCOMPARE(map.cell_bytes, kPageSize);
    QCOMPARE(static_cast<qint64>(map.cells.size()), QFileInfo(database).size() / kPageSize);
    QCOMPARE(picture.records.size(), size_t{2});
    QCOMPARE(picture.records[0].line, 2);

    // Qt's renderer draws every cell in its kind's colour (the corner the
    // marks leave free), and the deleted record's mark in its page.
    for (size_t i = 0; i < map.cells.size(); ++i) {
      const QColor expected(QString::fromStdString(map.kinds[map.cells[i].kind].colour));
      QVERIFY2(Near(Pixel(picture.image, map.CellBox(static_cast<int64_t>(i)), 0.25, 0.25), expected),
               qPrintable(QString("cell %1").arg(i)));
    }
    const int64_t freed_cell = freed / kPageSize;
    const EvidenceBox deleted_mark = map.MarkBox(freed_cell, RecordState::kDeleted);
    QVERIFY(Near(Pixel(picture.image, deleted_mark, 2.5, 2.5),
                 QColor(QString::fromUtf8(RecordStateColour(RecordState::kDeleted).data()))));
    QCOMPARE(map.cells[static_cast<size_t>(freed_cell)].records[static_cast<int>(RecordState::kDeleted)], 1);
    QCOMPARE(map.kinds[map.cells[static_cast<size_t>(freed_cell)].kind].Label(), std::string("note (table)"));

    // A click on a cell lists its records, at once.
    const QRectF at = QRectF(panel.findChild<QWidget*>("EvidenceCanvas")->geometry());
    const double scale = std::min(at.width() / map.Width(), at.height() / map.Height());
    const EvidenceBox box = map.CellBox(freed_cell);
    const QPoint click(qRound(at.left() + (box.x + 6) * scale), qRound(at.top() + (box.y + 6) * scale));
    const qint64 click_ms = Milliseconds([&] { QTest::mouseClick(&panel, Qt::LeftButton, {}, click); });
    QCOMPARE(panel.SelectedCell(), freed_cell);
    QCOMPARE(panel.RecordList()->count(), 1);
    QVERIFY(panel.RecordList()->item(0)->text().contains(QString::number(freed)));
    QVERIFY(panel.RecordList()->item(0)->text().contains("deleted"));
    QVERIFY2(click_ms < 200, qPrintable(QString::number(click_ms)));

    // A click on a report row outlines its record's cell.
    ReportView view;
    view.resize(500, 300);
    view.setPlainText(QString::fromUtf8(lines).remove('\r').trimmed());
    view.show();
    panel.FollowReport(&view);
    const int row_height = view.fontMetrics().height();
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(20, 2 * row_height + row_height / 2));
    QCOMPARE(view.CursorRow(), 2);
    QCOMPARE(panel.SelectedCell(), int64_t{1});  // the live record's page
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, QPoint(20, row_height + row_height / 2));
    QCOMPARE(panel.SelectedCell(), freed_cell);
    const qint64 paint_ms = Milliseconds([&] { panel.repaint(); });
    QVERIFY2(paint_ms < 200, qPrintable(QString::number(paint_ms)));

    // Saved as SVG (the command line's text) and as PNG; a path that cannot
    // be written is named.
    const QString svg = dir.filePath("picture.svg");
    QCOMPARE(panel.Save(svg), QString());
    QCOMPARE(ReadFile(svg).toStdString(), picture.svg);
    const QString png = dir.filePath("picture.png");
    QCOMPARE(panel.Save(png), QString());
    QImage saved(png);
    QCOMPARE(saved.size(), picture.image.size());
    const QString bad = dir.filePath("missing/picture.svg");
    QVERIFY(panel.Save(bad).contains(bad));
  }

  void ANewRunDropsTheOneBefore() {
    QTemporaryDir dir;
    int64_t freed = 0;
    const QString database = MakeDatabase(dir.filePath("a.db"), freed);
    EvidencePanel panel;
    QSignalSpy ready(&panel, &EvidencePanel::PictureReady);
    panel.ShowEvidence(dir.filePath("missing.db"), QString(), QStringLiteral("first"));
    panel.ShowEvidence(database, QString(), QStringLiteral("second"));
    QVERIFY(ready.wait(20000));
    QTest::qWait(100);
    QCOMPARE(ready.count(), 1);
    QVERIFY(panel.HasPicture());
    QCOMPARE(panel.picture()->map.info.command, std::string("second"));
    QCOMPARE(panel.picture()->records.size(), size_t{0});
  }
};

}  // namespace

int RunEvidencePanelTests(int argc, char** argv) {
  EvidencePanelTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace quarrow::test

#include "evidence_panel_test.moc"
