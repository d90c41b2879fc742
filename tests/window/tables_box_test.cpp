// The window's list of the input's tables: filled after "Open Database"
// without holding the command buttons, live and dropped tables alike;
// choosing one puts its definition's lines in the DDL editor and carves it by
// its own rule into the report.
#include <sqlite3.h>

#include <QComboBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "Unit1/Unit1.h"
#include "window_tests.h"

namespace quarrow::test {

namespace {

// A database with a live table and a dropped one, rows of both deleted.
bool MakeDatabase(const QString& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK) return false;
  QByteArray sql =
      "PRAGMA secure_delete=OFF;"
      "CREATE TABLE keep(k INTEGER PRIMARY KEY, v TEXT);"
      "CREATE TABLE gone(g INTEGER PRIMARY KEY, label TEXT NOT NULL, amount REAL);"
      "BEGIN;";
  for (int i = 1; i <= 60; ++i) {
    sql += "INSERT INTO keep(v) VALUES('keep" + QByteArray::number(i) + "');";
    sql += "INSERT INTO gone(label, amount) VALUES('label" + QByteArray::number(i) + "', " +
           QByteArray::number(i) + ".5);";
  }
  sql += "COMMIT; DELETE FROM keep WHERE k = 9; DROP TABLE gone;";
  const bool done = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
  return sqlite3_close(db) == SQLITE_OK && done;
}

}  // namespace

class TablesBoxTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

 private slots:
  void ListsLiveAndDroppedTablesAndCarvesTheChosenOne() {
    QVERIFY(dir_.isValid());
    const QString input = QDir::toNativeSeparators(dir_.filePath("book.sqlite"));
    QVERIFY(MakeDatabase(input));
    TForm1 form;
    form.FormCreate();
    form.AppDir = dir_.path();
    form.OpenChosenFile(input);
    // The listing runs on its own: the command buttons stay usable.
    QVERIFY(form.Button2->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(form.TablesBox->count() == 3, 20000);
    QCOMPARE(form.TablesBox->itemText(1), QStringLiteral("keep"));
    QCOMPARE(form.TablesBox->itemText(2), QStringLiteral("gone (dropped)"));

    const QString output = QDir::toNativeSeparators(dir_.filePath("gone.tsv"));
    form.LabeledEdit2->setText(output);
    QSignalSpy finished(&form, &TForm1::CommandFinished);
    form.TablesBoxChosen(2);
    QVERIFY(finished.wait(20000));
    QCOMPARE(form.Memo2->toPlainText(),
             QStringLiteral("g INTEGER\nlabel TEXT\namount INTEGER"));
    const QByteArray report = ReadFile(output);
    QVERIFY(report.startsWith("\xEF\xBB\xBFTABLE\r\n"));
    for (int i : {1, 30, 60})
      QVERIFY2(report.contains("\tlabel" + QByteArray::number(i) + "\t" + QByteArray::number(i) +
                               ".5\t"),
               report.left(400).constData());
    QVERIFY(form.TablesBox->itemText(2).endsWith(QStringLiteral(" records")));
    QVERIFY(form.Button2->isEnabled());
  }

  void AnInputThatCannotBeReadListsNothingAndShowsNoError() {
    TForm1 form;
    form.FormCreate();
    form.AppDir = dir_.path();
    form.OpenChosenFile(QDir::toNativeSeparators(dir_.filePath("missing.sqlite")));
    QTest::qWait(200);
    QCOMPARE(form.TablesBox->count(), 1);
    QVERIFY(form.Button2->isEnabled());
  }
};

int RunTablesBoxTests(int argc, char** argv) {
  TablesBoxTest test;
  return QTest::qExec(&test, argc, argv);
}

}  // namespace quarrow::test

#include "tables_box_test.moc"
