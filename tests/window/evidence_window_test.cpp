// The evidence is never modified, from the window: Find data, contacts
// recovery and the window scan, run from their buttons on a database with its
// -wal and -journal beside it, on success, on error (the error box) and when
// cancelled, leave the folder's names, bytes and times as they were.
#include <sqlite3.h>
#include <sys/stat.h>

#include <map>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "Unit1/Unit1.h"
#include "Unit1/wrap_button.h"
#include "window_tests.h"

namespace quarrow::test {

namespace {

// Presses OK on every modal box and keeps the last text shown.
class BoxCloser {
 public:
  BoxCloser() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      ++count;
      text = box->text();
      box->button(QMessageBox::Ok)->click();
    });
    timer_.start();
  }
  int count = 0;
  QString text;

 private:
  QTimer timer_;
};

// Every entry of a folder: bytes and modification time; and the folder's own
// time, which any file created and removed again would change.
using Snapshot = std::map<QString, std::pair<QByteArray, qint64>>;

qint64 ModifiedNs(const QString& path) {
  struct stat info {};
  ::stat(QFile::encodeName(path).constData(), &info);
  return qint64{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
}

Snapshot Take(const QString& folder) {
  Snapshot snapshot;
  for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
    snapshot[entry.fileName()] = {ReadFile(entry.filePath()), ModifiedNs(entry.filePath())};
  }
  snapshot[QStringLiteral(".")] = {QByteArray(), ModifiedNs(folder)};
  return snapshot;
}

bool Exec(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A WAL database whose changes stay in its -wal (no checkpoint on close), with
// a plain table and the address-book tables, some rows deleted; and a journal
// file beside it.
bool MakeEvidence(const QString& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK) return false;
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  bool ok = Exec(db, "PRAGMA page_size=1024; PRAGMA secure_delete=OFF; "
                     "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;") &&
            Exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, age INTEGER);"
                     "CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY, First TEXT, Last TEXT);"
                     "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, "
                     "property INTEGER, identifier INTEGER, label INTEGER, value TEXT);");
  for (int i = 1; ok && i <= 20; ++i) {
    const QByteArray sql = QStringLiteral(
        "INSERT INTO t (name, age) VALUES ('name%1', %1);"
        "INSERT INTO ABPerson (First, Last) VALUES ('First%1', 'Last%1');"
        "INSERT INTO ABMultiValue (record_id, property, identifier, label, value) "
        "VALUES (%1, 3, 0, 1, '+1 555 01%1');").arg(i).toUtf8();
    ok = Exec(db, sql.constData());
  }
  ok = ok && Exec(db, "DELETE FROM t WHERE id % 3 = 0; DELETE FROM ABPerson WHERE ROWID % 4 = 0;");
  sqlite3_close(db);
  QFile::remove(path + "-shm");
  // The journal's magic and a page: a reader that honoured it would roll it back.
  return ok && QFileInfo::exists(path + "-wal") &&
         WriteFile(path + "-journal", QByteArray("\xd9\xd5\x05\xf9\x20\xa1\x63\xd7", 8) +
                                          QByteArray(1024 + 8, '\x01'));
}

}  // namespace

class EvidenceWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString evidence_, input_, out_;

  static bool RunAndWait(TForm1& form, const std::function<void()>& start) {
    QSignalSpy finished(&form, &TForm1::CommandFinished);
    start();
    return finished.wait(60000);
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    evidence_ = dir_.filePath("evidence");
    out_ = dir_.filePath("out");
    QVERIFY(QDir().mkpath(evidence_) && QDir().mkpath(out_));
    input_ = evidence_ + "/AddressBook.sqlitedb";
    QVERIFY(MakeEvidence(input_));
  }

  void EveryCommandLeavesTheEvidenceAsItWas() {
    const Snapshot before = Take(evidence_);
    struct Run {
      const char* name;
      QString output;
      std::function<void(TForm1&)> press;
      bool fails;
    };
    const std::vector<Run> runs = {
        {"find", out_ + "/find.txt", [](TForm1& f) { f.Button2->click(); }, false},
        {"contacts", out_ + "/contacts.txt", [](TForm1& f) { f.Button1->click(); }, false},
        {"scan", out_ + "/unused.txt", [](TForm1& f) { f.Button4Click(); }, false},
        {"find into a missing folder", out_ + "/none/find.txt",
         [](TForm1& f) { f.Button2->click(); }, true},
        {"contacts onto the input", input_, [](TForm1& f) { f.Button1->click(); }, true},
        {"find onto the -wal", input_ + "-wal", [](TForm1& f) { f.Button2->click(); }, true},
    };
    for (const Run& run : runs) {
      TForm1 form;
      BoxCloser boxes;
      form.LabeledEdit1->setText(input_);
      form.LabeledEdit2->setText(run.output);
      form.Len_f->setText("100000");
      QVERIFY2(RunAndWait(form, [&] { run.press(form); }), run.name);
      QCOMPARE(boxes.count > 0, run.fails);
      QVERIFY2(Take(evidence_) == before, run.name);
    }
  }

  void CancelledCommandsLeaveTheEvidenceAsItWas() {
    // A large sparse input, so that the cancel comes while pages remain.
    const QString big = evidence_ + "/big.db";
    QFile file(big);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ReadFile(input_)) > 0 &&
            file.resize(qint64{256} << 20));
    file.close();
    const Snapshot before = Take(evidence_);
    for (int command = 0; command < 3; ++command) {
      TForm1 form;
      form.show();
      BoxCloser boxes;
      form.LabeledEdit1->setText(big);
      form.LabeledEdit2->setText(out_ + "/cancelled.txt");
      form.Len_f->setText(QString::number(qint64{256} << 20));
      QVERIFY(RunAndWait(form, [&] {
        if (command == 0) form.Button2->click();
        if (command == 1) form.Button1->click();
        if (command == 2) form.Button4Click();
        QTest::mouseClick(form.CancelButton, Qt::LeftButton);
      }));
      QCOMPARE(boxes.count, 1);
      QVERIFY2(boxes.text.contains("cancelled"), qPrintable(boxes.text));
      QVERIFY(Take(evidence_) == before);
    }
    QVERIFY(QFile::remove(big));
  }
};

int RunEvidenceWindowTests(int argc, char** argv) {
  EvidenceWindowTest suite;
  return QTest::qExec(&suite, argc, argv);
}

}  // namespace quarrow::test

#include "evidence_window_test.moc"
