// The DDL editor's and the output view's adapters: lines in and out of a
// document, the view's loading rule, and the stand-in view the command thread
// uses ending in the same text as the real one.
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QtTest>

#include "Unit1/command_runner.h"
#include "Unit1/report_view.h"
#include "Unit1/text_ports.h"
#include "text_rule/error.h"
#include "window_tests.h"

namespace quarrow::test {

class TextPortsTest : public QObject {
  Q_OBJECT

 private slots:
  void AppendedLinesCountAsLines_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<QStringList>("start_lines");
    QTest::addColumn<QStringList>("appended");
    const QStringList none;
    QTest::newRow("empty, one") << "" << none << QStringList{"a"};
    QTest::newRow("empty, empty line") << "" << none << QStringList{""};
    QTest::newRow("empty, empty then text") << "" << none << QStringList{"", "x"};
    QTest::newRow("text, empty in the middle") << "z" << QStringList{"z"}
                                               << QStringList{"a", "", "b"};
    QTest::newRow("text, empty at the end") << "z" << QStringList{"z"}
                                            << QStringList{"a", ""};
    QTest::newRow("final line break opens no line")
        << "z\n" << QStringList{"z"} << QStringList{"a"};
    QTest::newRow("blank first line") << "\nz" << QStringList{"", "z"} << QStringList{"a"};
  }

  // One at a time and all at once give the same document, and counting gives
  // back exactly the lines put in.
  void AppendedLinesCountAsLines() {
    QFETCH(QString, start);
    QFETCH(QStringList, start_lines);
    QFETCH(QStringList, appended);
    QTextDocument one_by_one(start);
    QTextDocument at_once(start);
    QCOMPARE(DocumentLines(one_by_one), start_lines);
    for (const QString& line : appended) AppendDocumentLines(one_by_one, {line});
    AppendDocumentLines(at_once, appended);
    QCOMPARE(DocumentLines(one_by_one), start_lines + appended);
    QCOMPARE(at_once.toPlainText(), one_by_one.toPlainText());
  }

  void MemoEditorHandsOverBytes() {
    QPlainTextEdit memo;
    MemoEditor editor(&memo);
    QCOMPARE(editor.LineCount(), 0);
    // A line crosses in the system's 8-bit code page, whatever that is.
    const QString shown = QString::fromUtf8("Zo\xC3\xAB TEXT, ");
    const std::string name = shown.toLocal8Bit().toStdString();
    editor.Append("ROWID INTEGER");
    editor.Append(name);
    QCOMPARE(memo.toPlainText(), "ROWID INTEGER\n" + shown);
    QCOMPARE(editor.LineCount(), 2);
    QCOMPARE(editor.Line(1), name);
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, editor.Line(2));
    editor.SetLines({"a", "b", "c"});
    QCOMPARE(EditorLines(editor), (std::vector<std::string>{"a", "b", "c"}));
    editor.Clear();
    QCOMPARE(editor.LineCount(), 0);
  }

  // A report too long to lay out is shown in whole lines up to the limit,
  // then a line that sends the reader to the file.
  void LongReportsAreShownInPart() {
    QTemporaryDir dir;
    const QString path = dir.filePath("long.txt");
    QVERIFY(WriteFile(path, QByteArray("\xEF\xBB\xBFTABLE\r\nfirst\t\r\nsecond\t\r\nthird\t\r\n")));
    const QString shown = ReadViewFile(path.toStdString(), 20);
    QVERIFY2(shown.startsWith(QStringLiteral("TABLE\nfirst\t\n[Only the first 0 MiB")), qPrintable(shown));
    QVERIFY(shown.contains(path));
    QVERIFY(!shown.contains(QStringLiteral("second")));
    // Within the limit nothing changes.
    QCOMPARE(ReadViewFile(path.toStdString(), 1000), QStringLiteral("TABLE\nfirst\t\nsecond\t\nthird\t\n"));
  }

  void ViewDecodesByMark_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("utf-8 mark") << QByteArray("\xEF\xBB\xBFTABLE\r\nZo\xC3\xAB\t1\t\r\n")
                                << QString::fromUtf8("TABLE\nZo\xC3\xAB\t1\t\n");
    QTest::newRow("utf-16 little-endian") << QByteArray("\xFF\xFET\0A\0\r\0\n\0\xEB\0", 12)
                                          << QString::fromUtf8("TA\n\xC3\xAB");
    QTest::newRow("utf-16 big-endian") << QByteArray("\xFE\xFF\0T\0A\0\r\0\n", 10)
                                       << QStringLiteral("TA\n");
    QTest::newRow("only the first mark goes")
        << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBFx") << QString(QChar(0xFEFF)) + u'x';
    QTest::newRow("no mark") << QByteArray("a\r\nb\rc\n") << QStringLiteral("a\nb\nc\n");
    QTest::newRow("empty") << QByteArray() << QString();
  }

  void ViewDecodesByMark() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    QCOMPARE(DecodeViewText(bytes), shown);

    // The same through a file, as a command's report reaches the view.
    QTemporaryDir dir;
    const QString path = dir.filePath("report.txt");
    QVERIFY(WriteFile(path, bytes));
    ReportView widget;
    ListOutputView view(&widget);
    view.LoadFile(path.toStdString());
    // The view holds lines: a line end at the very end opens no further line.
    QString expected = shown;
    if (expected.endsWith(u'\n')) expected.chop(1);
    QCOMPARE(widget.toPlainText(), expected);
  }

  void UnreadableFileLeavesViewAlone() {
    QTemporaryDir dir;
    const QString path = dir.filePath("missing.txt");
    ReportView widget;
    widget.setPlainText("earlier");
    ListOutputView view(&widget);
    try {
      view.LoadFile(path.toStdString());
      QFAIL("a missing file was loaded");
    } catch (const Error& error) {
      const QString message = QString::fromLocal8Bit(error.what());
      QVERIFY2(message.startsWith("Cannot open file \"") && message.contains("missing.txt\". "),
               qPrintable(message));
    }
    QCOMPARE(widget.toPlainText(), QStringLiteral("earlier"));
  }

  // Each script: A appends a line, C clears, L loads the file "a\r\nb\r\n",
  // M loads a missing file (which fails and changes nothing).
  void StandInViewEndsLikeTheRealOne_data() {
    QTest::addColumn<QString>("script");
    for (const char* script : {"", "AA", "CA", "ACA", "LA", "ALAA", "AMA", "LC"}) {
      QTest::newRow(*script ? script : "nothing") << QString::fromLatin1(script);
    }
  }

  void StandInViewEndsLikeTheRealOne() {
    QFETCH(QString, script);
    QTemporaryDir dir;
    const std::string report = dir.filePath("r.txt").toStdString();
    const std::string missing = dir.filePath("none.txt").toStdString();
    QVERIFY(WriteFile(QString::fromStdString(report), "a\r\nb\r\n"));
    auto play = [&](OutputView& view) {
      int line = 0;
      for (QChar step : script) {
        try {
          switch (step.toLatin1()) {
            case 'A': view.AppendLine("line " + std::to_string(++line)); break;
            case 'C': view.Clear(); break;
            case 'L': view.LoadFile(report); break;
            case 'M': view.LoadFile(missing); break;
          }
        } catch (const Error&) {
        }
      }
    };
    ReportView direct_widget, replayed_widget;
    direct_widget.setPlainText("earlier");
    replayed_widget.setPlainText("earlier");
    ListOutputView direct(&direct_widget);
    RecordingView recording;
    play(direct);
    play(recording);
    recording.ApplyTo(replayed_widget);
    QCOMPARE(replayed_widget.toPlainText(), direct_widget.toPlainText());
  }
};

int RunTextPortsTests(int argc, char** argv) {
  TextPortsTest suite;
  return QTest::qExec(&suite, argc, argv);
}

}  // namespace quarrow::test

#include "text_ports_test.moc"
