// The proposed output path and the error box's closing period.
#include <QtTest>

#include "Unit1/window_rules.h"
#include "window_tests.h"

namespace quarrow::test {

class WindowRulesTest : public QObject {
  Q_OBJECT

 private slots:
  void ProposeOutputPath_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("app_dir");
    QTest::addColumn<char>("separator");
    QTest::addColumn<QString>("expected");
    const QDate day(2026, 12, 6);
    QTest::newRow("windows folder") << "D:\\data\\contacts.db" << day << "D:\\tool" << '\\'
                                    << "D:\\tool\\outs\\RES_contacts.db_06_12_2026.TXT";
    QTest::newRow("drive root keeps its separator")
        << "D:\\data\\contacts.db" << day << "D:\\" << '\\'
        << "D:\\\\outs\\RES_contacts.db_06_12_2026.TXT";
    QTest::newRow("forward slashes on windows")
        << "D:/cases/7/AddressBook.sqlitedb" << QDate(2025, 1, 2) << "C:\\q" << '\\'
        << "C:\\q\\outs\\RES_AddressBook.sqlitedb_02_01_2025.TXT";
    QTest::newRow("posix") << "/home/ann/evidence/AddressBook.sqlitedb"
                           << QDate(2025, 10, 31) << "/opt/quarrow" << '/'
                           << "/opt/quarrow/outs/RES_AddressBook.sqlitedb_31_10_2025.TXT";
    QTest::newRow("backslash is part of a posix name")
        << "/cases/a\\b.db" << day << "/q" << '/' << "/q/outs/RES_a\\b.db_06_12_2026.TXT";
  }

  void ProposeOutputPath() {
    QFETCH(QString, chosen);
    QFETCH(QDate, date);
    QFETCH(QString, app_dir);
    QFETCH(char, separator);
    QFETCH(QString, expected);
    const std::chrono::year_month_day ymd{std::chrono::year(date.year()),
                                          std::chrono::month(date.month()),
                                          std::chrono::day(date.day())};
    const std::string proposed = quarrow::ProposeOutputPath(
        chosen.toStdString(), ymd, app_dir.toStdString(), separator);
    QCOMPARE(QString::fromStdString(proposed), expected);
  }

  void WithClosingPeriod_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("letter") << QByteArray("No such file") << QByteArray("No such file.");
    QTest::newRow("slash is above the period") << QByteArray("/tmp/") << QByteArray("/tmp/.");
    QTest::newRow("period") << QByteArray("Stopped.") << QByteArray("Stopped.");
    QTest::newRow("parenthesis") << QByteArray("(cancelled)") << QByteArray("(cancelled)");
    QTest::newRow("hyphen") << QByteArray("a -") << QByteArray("a -");
    QTest::newRow("utf-8 letter") << QByteArray("caf\xC3\xA9") << QByteArray("caf\xC3\xA9.");
    QTest::newRow("empty") << QByteArray() << QByteArray();
  }

  void WithClosingPeriod() {
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, shown);
    QCOMPARE(QByteArray::fromStdString(quarrow::WithClosingPeriod(message.toStdString())),
             shown);
  }
};

int RunWindowRulesTests(int argc, char** argv) {
  WindowRulesTest suite;
  return QTest::qExec(&suite, argc, argv);
}

}  // namespace quarrow::test

#include "window_rules_test.moc"
