// Runs every suite of the window's tests; fails when any of them fails.
#include <QApplication>

#include "window_tests.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failed = 0;
  failed += quarrow::test::RunWindowRulesTests(argc, argv);
  failed += quarrow::test::RunTextPortsTests(argc, argv);
  failed += quarrow::test::RunFormTests(argc, argv);
  failed += quarrow::test::RunEvidenceWindowTests(argc, argv);
  failed += quarrow::test::RunEvidencePanelTests(argc, argv);
  failed += quarrow::test::RunTablesBoxTests(argc, argv);
  return failed == 0 ? 0 : 1;
}
