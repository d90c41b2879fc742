// The window's Qt Test suites, run one after another by main.cpp, and the
// helpers they share.
#ifndef QUARROW_TESTS_WINDOW_WINDOW_TESTS_H_
#define QUARROW_TESTS_WINDOW_WINDOW_TESTS_H_

#include <QByteArray>
#include <QString>
#include <QStringList>

class QTextDocument;

namespace quarrow::test {

int RunWindowRulesTests(int argc, char** argv);
int RunTextPortsTests(int argc, char** argv);
int RunFormTests(int argc, char** argv);
int RunEvidenceWindowTests(int argc, char** argv);
int RunEvidencePanelTests(int argc, char** argv);
int RunTablesBoxTests(int argc, char** argv);

// Writes `bytes` to `path`; false when that fails.
bool WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

// The document's lines as an edit control counts them (no empty line after a
// final line break).
QStringList DocumentLines(const QTextDocument& document);

}  // namespace quarrow::test

#endif  // QUARROW_TESTS_WINDOW_WINDOW_TESTS_H_
