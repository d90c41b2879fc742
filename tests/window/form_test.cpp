// The main window as a user meets it: its initial state and layout, "Open
// Database" with a stand-in for the dialog, the check boxes, the commands run
// from their buttons, the error box, and the progress and cancel of a command
// running off the window's thread.
#include <atomic>
#include <deque>
#include <thread>

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include "Unit1/Unit1.h"
#include "Unit1/report_view.h"
#include "Unit1/text_ports.h"
#include "Unit1/wrap_button.h"
#include "text_rule/error.h"
#include "window_tests.h"

namespace quarrow::test {

namespace {

// The window with its file dialog replaced by a queue of answers.
class TestForm : public TForm1 {
 public:
  std::deque<std::optional<QString>> answers;
  int dialogs_shown = 0;

 protected:
  std::optional<QString> ChooseInputFile() override {
    ++dialogs_shown;
    std::optional<QString> answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

// What an error box showed.
struct SeenBox {
  int count = 0;
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
};

// Watches for modal message boxes, notes what they show and presses OK.
class BoxWatcher {
 public:
  BoxWatcher() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      ++seen.count;
      seen.text = box->text();
      seen.title = box->windowTitle();
      seen.icon = box->icon();
      seen.buttons = box->standardButtons();
      box->button(QMessageBox::Ok)->click();
    });
    timer_.start();
  }
  SeenBox seen;

 private:
  QTimer timer_;
};

// Cell bytes of the record 8, 5 | header 4: NULL, text "abc", int 42, after a
// byte below 0x80, for the columns id INTEGER, name TEXT, age INTEGER.
const QByteArray kFindDataCell("\x00\x08\x05\x04\x00\x13\x01" "abc\x2A", 11);

// A multi-value record: rowid 9, record id 7, property 3 (a phone), label 1
// (mobile), the value "+1 (555) 010-0199".
const QByteArray kMultiValueCell = QByteArray("\x00\x1C\x09\x07\x00\x01\x01\x01\x01\x2F"
                                              "\x07\x03\x05\x01", 14) +
                                   "+1 (555) 010-0199" + QByteArray(16, '\0');

// A window-scan record, after one byte that the offset "1" skips.
const QByteArray kWindowScanBytes("X\x00\x04\x01\x01\x13\x2A\x03" "abc", 11);

const QStringList kMultiValueSchema = {
    "ABMultiValue (UID INTEGER PRIMARY KEY", "record_id INTEGER", "property INTEGER",
    "identifier INTEGER", "label INTEGER", "value TEXT);"};

QStringList Lines(QPlainTextEdit* memo) { return DocumentLines(*memo->document()); }
QStringList Lines(ReportView* view) {
  QStringList lines;
  for (int row = 0; row < view->lines()->rowCount(); ++row) lines << view->lines()->Line(row);
  return lines;
}

}  // namespace

class FormTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

  QString Path(const QString& name) const { return QDir::toNativeSeparators(dir_.filePath(name)); }

  // Starts a command through `start` and waits until its results are in the
  // window (and its error box, if any, is closed).
  static bool RunAndWait(TForm1& form, const std::function<void()>& start) {
    QSignalSpy finished(&form, &TForm1::CommandFinished);
    start();
    return finished.wait(20000);
  }

  static bool Usable(const TForm1& form) {
    return form.Button1->isEnabled() && form.Button2->isEnabled() &&
           form.Button3->isEnabled() && !form.Memo2->isReadOnly() &&
           form.ProgressBar1->isHidden() && !form.CommandRunning();
  }

 private slots:
  void initTestCase() { QVERIFY(dir_.isValid()); }

  void InitialState() {
    TForm1 form;
    form.show();
    QCOMPARE(form.windowTitle(), QStringLiteral("  Quarrow deleted data (iPhone contacts)"));
    QCOMPARE(form.objectName(), QStringLiteral("Form1"));
    QCOMPARE(form.Label1->text(), QStringLiteral("OUT DATA"));
    QCOMPARE(form.Label2->text(), QStringLiteral("DDL (* not print)"));
    QCOMPARE(form.Label3->text(),
             QString::fromUtf8("Quarrow \xC2\xB7 recovers deleted SQLite records"));
    QVERIFY(form.Label3->font().bold());
    QVERIFY(form.Label3->font().pointSizeF() > form.font().pointSizeF());
    QCOMPARE(form.Button1->text(), QStringLiteral("Restore deleted contacts IPHONE"));
    QCOMPARE(form.Button2->text(), QStringLiteral("Find data"));
    QCOMPARE(form.Button3->text(), QStringLiteral("Open Database"));
    QCOMPARE(form.CheckBox1->text(), QStringLiteral("iOS"));
    QCOMPARE(form.CheckBox2->text(), QStringLiteral("iCloud"));
    const QList<std::pair<const char*, const char*>> captions = {
        {"LabeledEdit1", "input file"}, {"LabeledEdit2", "output file"},
        {"SEG_F", "SEG_F"}, {"Len_f", "Len"}};
    for (auto [edit, text] : captions) {
      auto* label = form.findChild<QLabel*>(QString(edit) + ".EditLabel");
      QVERIFY2(label, edit);
      QCOMPARE(label->text(), QString(text));
      QCOMPARE(label->buddy(), form.findChild<QWidget*>(edit));
      QVERIFY(label->geometry().bottom() < label->buddy()->y());
    }

    QCOMPARE(form.LabeledEdit1->text(), QString());
    QCOMPARE(form.LabeledEdit2->text(), QString());
    QCOMPARE(form.SEG_F->text(), QStringLiteral("1"));
    QCOMPARE(form.Len_f->text(), QStringLiteral("1"));
    QCOMPARE(form.memo1->toPlainText(), QString());
    QVERIFY(form.memo1->isReadOnly());
    QVERIFY(!form.CheckBox1->isChecked());
    QVERIFY(!form.CheckBox2->isChecked());
    QVERIFY(form.Button4->isHidden());
    QVERIFY(form.Button1->isVisible() && form.Memo2->isVisible() && form.memo1->isVisible());
    QVERIFY(!form.ProgressBar1->isVisible());
    QVERIFY(!form.CancelButton->isVisible());

    const QStringList memo = Lines(form.Memo2);
    QCOMPARE(memo.size(), 29);
    QCOMPARE(memo.first(), QStringLiteral("ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT,"));
    QCOMPARE(memo[1], QStringLiteral("First TEXT, "));
    QCOMPARE(memo[16], QStringLiteral("FirstSort TEXT, *"));
    QCOMPARE(memo[24], QStringLiteral("ExternalRepresentation BLOB, "));
    QCOMPARE(memo.last(), QStringLiteral("LastSortLanguageIndex INTEGER DEFAULT 2147483647);"));
    QCOMPARE(form.Memo2->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(form.Memo2->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(form.memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    QCOMPARE(form.AppDir, QDir::toNativeSeparators(QCoreApplication::applicationDirPath()));
    QVERIFY(form.findChild<QFileDialog*>("OpenDialog1"));
  }

  void Geometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("design");  // at 120 dots per inch
    QTest::newRow("Label1") << "Label1" << QRect(10, 38, 65, 17);
    QTest::newRow("Label2") << "Label2" << QRect(743, 38, 107, 17);
    QTest::newRow("Label3") << "Label3" << QRect(64, 5, 833, 27);
    QTest::newRow("Button1") << "Button1" << QRect(824, 510, 158, 65);
    QTest::newRow("Memo2") << "Memo2" << QRect(743, 63, 252, 439);
    QTest::newRow("Button2") << "Button2" << QRect(10, 575, 117, 47);
    QTest::newRow("Button3") << "Button3" << QRect(10, 519, 117, 47);
    QTest::newRow("LabeledEdit1") << "LabeledEdit1" << QRect(135, 530, 557, 25);
    QTest::newRow("LabeledEdit2") << "LabeledEdit2" << QRect(135, 585, 681, 25);
    QTest::newRow("memo1") << "memo1" << QRect(10, 63, 725, 439);
    QTest::newRow("SEG_F") << "SEG_F" << QRect(700, 528, 55, 25);
    QTest::newRow("Len_f") << "Len_f" << QRect(761, 528, 55, 25);
    QTest::newRow("Button4") << "Button4" << QRect(366, 230, 158, 43);
    QTest::newRow("CheckBox1") << "CheckBox1" << QRect(824, 581, 86, 43);
    QTest::newRow("CheckBox2") << "CheckBox2" << QRect(918, 586, 78, 33);
    QTest::newRow("Picture") << "Picture" << QRect(1003, 38, 360, 584);
  }

  void Geometry() {
    QFETCH(QString, name);
    QFETCH(QRect, design);
    TForm1 form;
    const double scale = QGuiApplication::primaryScreen()->logicalDotsPerInch() / 120.0;
    auto px = [scale](int v) { return qRound(v * scale); };
    // 1007 design pixels of the layout, then the picture of the evidence.
    QCOMPARE(form.minimumSize(), QSize(px(1373), px(634)));
    QCOMPARE(form.maximumSize(), form.minimumSize());
    auto* widget = form.findChild<QWidget*>(name);
    QVERIFY(widget);
    const QRect at = widget->geometry();
    QCOMPARE(at.topLeft(), QPoint(px(design.left()), px(design.top())));
    QCOMPARE(at.height(), px(design.height()));
    if (qobject_cast<QLabel*>(widget)) {
      // A label grows to its caption where a stand-in font is wider.
      QVERIFY(at.width() >= px(design.width()));
      QVERIFY(at.width() >= widget->sizeHint().width());
    } else {
      QCOMPARE(at.width(), px(design.width()));
    }
  }

  void TabOrder() {
    TForm1 form;
    const QStringList expected = {"Button1",      "Memo2", "Button2", "Button3",
                                  "LabeledEdit1", "LabeledEdit2", "memo1", "SEG_F",
                                  "Len_f",        "Button4", "CheckBox1", "CheckBox2"};
    QStringList seen;
    QWidget* widget = form.Button1;
    do {
      if (expected.contains(widget->objectName()) && !seen.contains(widget->objectName())) {
        seen << widget->objectName();
      }
      widget = widget->nextInFocusChain();
    } while (widget != form.Button1);
    QCOMPARE(seen, expected);
  }

  void OpenDatabase() {
    TestForm form;
    QTemporaryDir app_dir;
    form.AppDir = QDir::toNativeSeparators(app_dir.path());
    form.LabeledEdit1->setText("typed in");
    form.LabeledEdit2->setText("typed out");

    form.answers = {std::nullopt};
    form.Button3->click();
    QCOMPARE(form.dialogs_shown, 1);
    QCOMPARE(form.LabeledEdit1->text(), QStringLiteral("typed in"));
    QCOMPARE(form.LabeledEdit2->text(), QStringLiteral("typed out"));
    QVERIFY(!QDir(app_dir.path()).exists("outs"));

    const QString chosen = dir_.filePath("cases/AddressBook.sqlitedb");  // '/' as dialogs give
    form.answers = {chosen};
    const QString today = QDate::currentDate().toString("dd_MM_yyyy");
    form.Button3->click();
    const QString sep = QDir::separator();
    QCOMPARE(form.LabeledEdit1->text(), QDir::toNativeSeparators(chosen));
    QCOMPARE(form.LabeledEdit2->text(), form.AppDir + sep + "outs" + sep +
                                            "RES_AddressBook.sqlitedb_" + today + ".TXT");
    QVERIFY(QDir(app_dir.path()).exists("outs"));
  }

  void CheckBoxesExcludeEachOther() {
    TForm1 form;
    form.CheckBox2->click();
    QVERIFY(form.CheckBox2->isChecked());
    form.CheckBox1->click();
    QVERIFY(form.CheckBox1->isChecked());
    QVERIFY(!form.CheckBox2->isChecked());
    form.CheckBox1->click();
    QVERIFY(!form.CheckBox1->isChecked());
    QVERIFY(!form.CheckBox2->isChecked());
    form.CheckBox2->setChecked(true);  // also when set from code
    form.CheckBox1->setChecked(true);
    QVERIFY(!form.CheckBox2->isChecked());
  }

  void FindDataShowsTheReport() {
    TForm1 form;
    const QString input = Path("find.bin"), output = Path("find.txt");
    QVERIFY(WriteFile(input, kFindDataCell));
    form.Memo2->setPlainText("id INTEGER\nname TEXT\nage INTEGER\n");
    form.LabeledEdit1->setText(input);
    form.LabeledEdit2->setText(output);
    form.memo1->setPlainText("earlier");
    QVERIFY(RunAndWait(form, [&] { form.Button2->click(); }));
    QCOMPARE(Lines(form.memo1), (QStringList{"TABLE", "8\t5\t4\t0\tabc\t42\t"}));
    QCOMPARE(ReadFile(output), QByteArray("\xEF\xBB\xBFTABLE\r\n8\t5\t4\t0\tabc\t42\t\r\n"));
    QCOMPARE(Lines(form.Memo2), (QStringList{"id INTEGER", "name TEXT", "age INTEGER"}));
    QVERIFY(Usable(form));
  }

  void DetailsBoxAddsOffsetAndStatus() {
    TForm1 form;
    QVERIFY(!form.DetailsBox->isChecked());  // off by default: the specified reports
    const QString input = Path("details.bin"), output = Path("details.txt");
    QVERIFY(WriteFile(input, kFindDataCell));
    form.Memo2->setPlainText("id INTEGER\nname TEXT\nage INTEGER\n");
    form.LabeledEdit1->setText(input);
    form.LabeledEdit2->setText(output);
    form.DetailsBox->setChecked(true);
    QVERIFY(RunAndWait(form, [&] { form.Button2->click(); }));
    // Bytes that hold no SQLite structure: the record's status and state are
    // unknown; a column list's records are read as they lie.
    QCOMPARE(Lines(form.memo1),
             (QStringList{"TABLE", "8\t5\t4\t0\tabc\t42\t3\tunknown\tunknown\tintact\t"}));
    QVERIFY(RunAndWait(form, [&] { form.Button1->click(); }));
    const QStringList shown = Lines(form.memo1);
    QVERIFY(!shown.isEmpty());
    QVERIFY2(shown[0].endsWith("\tOFFSET\tSTATUS\tSTATE\tLINKS\t"), qPrintable(shown[0]));
  }

  void ContactsRecoveryLeavesTheMultiValueSchema() {
    TForm1 form;
    const QString input = Path("book.bin"), output = Path("contacts.txt");
    QVERIFY(WriteFile(input, kMultiValueCell));
    form.LabeledEdit1->setText(input);
    form.LabeledEdit2->setText(output);
    form.SEG_F->setText("0");
    QVERIFY(RunAndWait(form, [&] { form.Button1->click(); }));
    QCOMPARE(Lines(form.Memo2), kMultiValueSchema);
    const QStringList shown = Lines(form.memo1);
    QVERIFY(shown.size() >= 2);
    QVERIFY2(shown[0].startsWith("NUM_0\tNUM_1\tNUM_2\tABPerson\tFirst\t"), qPrintable(shown[0]));
    QCOMPARE(shown[0].count('\t'), 46);
    const QStringList row = shown.last().split('\t');
    QCOMPARE(row.value(1), QStringLiteral("7"));
    QCOMPARE(row.value(32), QStringLiteral("+1 (555) 010-0199"));
    QCOMPARE(DecodeViewText(ReadFile(output)), form.memo1->toPlainText() + u'\n');
    QVERIFY(Usable(form));
  }

  void WindowScanAppendsLines() {
    TForm1 form;
    const QString input = Path("window.bin");
    QVERIFY(WriteFile(input, kWindowScanBytes));
    form.LabeledEdit1->setText(input);
    form.Len_f->setText("10");
    form.memo1->setPlainText("earlier");
    QVERIFY(RunAndWait(form, [&] { form.Button4Click(); }));
    QCOMPARE(Lines(form.memo1), (QStringList{"earlier", "4\t\t42\t3\tabc"}));
    QCOMPARE(Lines(form.Memo2), (QStringList{"ABMultiValue ( parent_id INTEGER",
                                             "property INTEGER", "value TEXT);"}));
    QVERIFY(RunAndWait(form, [&] { form.Button4Click(); }));
    QCOMPARE(Lines(form.memo1),
             (QStringList{"earlier", "4\t\t42\t3\tabc", "4\t\t42\t3\tabc"}));
  }

  void ErrorsReachTheBox() {
    TForm1 form;
    BoxWatcher watcher;
    const QStringList initial_ddl = Lines(form.Memo2);

    // A missing input: only the box; the fields stay as typed.
    const QString missing = Path("no-such.db");
    form.LabeledEdit1->setText(missing);
    form.LabeledEdit2->setText(Path("never.txt"));
    form.memo1->setPlainText("earlier");
    QVERIFY(RunAndWait(form, [&] { form.Button2->click(); }));
    QCOMPARE(watcher.seen.count, 1);
    QVERIFY2(watcher.seen.text.startsWith("Cannot open file \"") &&
                 watcher.seen.text.contains("no-such.db\". "),
             qPrintable(watcher.seen.text));
    QVERIFY(watcher.seen.text.endsWith('.'));
    QVERIFY(!watcher.seen.text.endsWith(".."));
    QCOMPARE(watcher.seen.title, QStringLiteral("Quarrow"));
    QCOMPARE(watcher.seen.icon, QMessageBox::Critical);
    QCOMPARE(watcher.seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(form.LabeledEdit1->text(), missing);
    QCOMPARE(Lines(form.memo1), QStringList{"earlier"});
    QCOMPARE(Lines(form.Memo2), initial_ddl);
    QVERIFY(!QFile::exists(Path("never.txt")));
    QVERIFY(Usable(form));

    // A conversion error ends the window scan before the editor is rewritten.
    QVERIFY(WriteFile(Path("window.bin"), kWindowScanBytes));
    form.LabeledEdit1->setText(Path("window.bin"));
    form.Len_f->setText("12a");
    QVERIFY(RunAndWait(form, [&] { form.Button4Click(); }));
    QCOMPARE(watcher.seen.count, 2);
    QCOMPARE(watcher.seen.text, QStringLiteral("''012a'' is not a valid integer value."));
    QCOMPARE(Lines(form.Memo2), initial_ddl);
    QCOMPARE(Lines(form.memo1), QStringList{"earlier"});

    // The fields are 64-bit: past 2 GiB is a window beyond this file's end;
    // past 2^63-1 is out of range, quoted as typed.
    form.Len_f->setText("10");
    form.SEG_F->setText("2726297600");
    QVERIFY(RunAndWait(form, [&] { form.Button4Click(); }));
    QCOMPARE(watcher.seen.count, 2);
    QCOMPARE(Lines(form.memo1), QStringList{"earlier"});
    form.Len_f->setText("99999999999999999999");
    QVERIFY(RunAndWait(form, [&] { form.Button4Click(); }));
    QCOMPARE(watcher.seen.count, 3);
    QCOMPARE(watcher.seen.text, QStringLiteral("''99999999999999999999'' is out of range: enter "
                                               "a number from 0 to 9223372036854775807."));
    form.SEG_F->setText("1");
    form.Len_f->setText("1");

    // A report that cannot be created: the passes have rewritten the editor and
    // the report cleared the view; none of that is rolled back.
    QVERIFY(WriteFile(Path("book.bin"), kMultiValueCell));
    form.LabeledEdit1->setText(Path("book.bin"));
    form.LabeledEdit2->setText(Path("no-such-folder/contacts.txt"));
    QVERIFY(RunAndWait(form, [&] { form.Button1->click(); }));
    QCOMPARE(watcher.seen.count, 4);
    QVERIFY2(watcher.seen.text.startsWith("Cannot create file"), qPrintable(watcher.seen.text));
    QCOMPARE(Lines(form.Memo2), kMultiValueSchema);
    QCOMPARE(form.memo1->toPlainText(), QString());

    // And the window goes on: the same command with a good path succeeds.
    form.LabeledEdit2->setText(Path("contacts-after-error.txt"));
    QVERIFY(RunAndWait(form, [&] { form.Button1->click(); }));
    QCOMPARE(watcher.seen.count, 4);
    QVERIFY(Lines(form.memo1).value(0).startsWith("NUM_0"));
    QVERIFY(Usable(form));
  }

  void WhatAFailedCommandDidStays() {
    TForm1 form;
    BoxWatcher watcher;
    form.memo1->setPlainText("earlier");
    QVERIFY(RunAndWait(form, [&] {
      form.RunCommand([](DdlEditor& editor, OutputView& view, ProgressSink&) {
        view.AppendLine("found before the failure");
        editor.Clear();
        editor.Append("left INTEGER");
        throw Error("Stopped by the test (no period after a parenthesis)");
      });
    }));
    QCOMPARE(watcher.seen.text,
             QStringLiteral("Stopped by the test (no period after a parenthesis)"));
    QCOMPARE(watcher.seen.icon, QMessageBox::Critical);
    QCOMPARE(Lines(form.memo1), (QStringList{"earlier", "found before the failure"}));
    QCOMPARE(Lines(form.Memo2), QStringList{"left INTEGER"});
    QVERIFY(Usable(form));
  }

  void ProgressAndCancel() {
    TForm1 form;
    form.show();
    BoxWatcher watcher;
    std::atomic<bool> second_ran{false};
    QSignalSpy finished(&form, &TForm1::CommandFinished);
    form.RunCommand([](DdlEditor&, OutputView& view, ProgressSink& progress) {
      for (int64_t done = 0; progress.Update(done % 1000, 1000); ++done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      view.AppendLine("written before the cancel");
      throw Error("Cancelled as asked.");
    });
    QVERIFY(form.CommandRunning());
    QVERIFY(!form.Button1->isEnabled() && !form.Button2->isEnabled() &&
            !form.Button3->isEnabled());
    QVERIFY(form.Memo2->isReadOnly());
    QVERIFY(form.ProgressBar1->isVisible() && form.CancelButton->isVisible());
    // The window keeps handling events: the bar moves while the command runs.
    QTRY_VERIFY_WITH_TIMEOUT(form.ProgressBar1->value() > 0, 10000);

    form.RunCommand([&](DdlEditor&, OutputView&, ProgressSink&) { second_ran = true; });
    form.Button2->click();
    QTest::mouseClick(form.CancelButton, Qt::LeftButton);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.count(), 1);
    QVERIFY(!second_ran);
    QCOMPARE(watcher.seen.count, 1);
    QCOMPARE(watcher.seen.text, QStringLiteral("Cancelled as asked."));
    // The user's own cancel is news, not a failure.
    QCOMPARE(watcher.seen.icon, QMessageBox::Information);
    QCOMPARE(watcher.seen.title, QStringLiteral("Quarrow"));
    QCOMPARE(Lines(form.memo1), QStringList{"written before the cancel"});
    QVERIFY(Usable(form));
    QVERIFY(!form.CancelButton->isVisible());
  }

  void ClosingDuringACommandStopsIt() {
    std::atomic<bool> stopped{false};
    {
      TForm1 form;
      form.RunCommand([&](DdlEditor&, OutputView&, ProgressSink& progress) {
        while (progress.Update(0, 1)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stopped = true;
        throw Error("cancelled");
      });
    }
    QVERIFY(stopped);
  }
};

int RunFormTests(int argc, char** argv) {
  FormTest suite;
  return QTest::qExec(&suite, argc, argv);
}

}  // namespace quarrow::test

#include "form_test.moc"
