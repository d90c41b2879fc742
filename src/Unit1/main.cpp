// The window program. Two optional arguments let a script drive it:
//   quarrow [--open FILE] [--details] [--run contacts|find]
// --open does what "Open Database" does once FILE is chosen; --details checks
// "details"; --run then clicks the command's button. When a run command ends
// and its picture of the evidence is drawn, a line naming the window's native
// id is printed ("quarrow: contacts finished, window 0x...").
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <QCheckBox>

#include "Unit1/Unit1.h"
#include "Unit1/evidence_panel.h"

namespace {

struct Driving {
  QString open;
  QString run;
  bool details = false;
};

Driving ParseArguments(const QApplication& app) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Recovers deleted rows of SQLite tables from a raw file."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption open(QStringLiteral("open"),
                                QStringLiteral("Open FILE as \"Open Database\" does."),
                                QStringLiteral("FILE"));
  const QCommandLineOption run(
      QStringLiteral("run"),
      QStringLiteral("Then run COMMAND: contacts (\"Restore deleted contacts "
                     "IPHONE\") or find (\"Find data\")."),
      QStringLiteral("COMMAND"));
  const QCommandLineOption details(QStringLiteral("details"),
                                   QStringLiteral("Check \"details\" first."));
  parser.addOption(open);
  parser.addOption(run);
  parser.addOption(details);
  parser.process(app);
  Driving driving{parser.value(open), parser.value(run), parser.isSet(details)};
  if (!driving.run.isEmpty() && driving.run != QLatin1String("contacts") &&
      driving.run != QLatin1String("find")) {
    std::fprintf(stderr, "quarrow: unknown command for --run: %s\n",
                 qPrintable(driving.run));
    std::exit(2);
  }
  return driving;
}

void Drive(quarrow::TForm1& form, const Driving& driving) {
  if (!driving.open.isEmpty()) form.OpenChosenFile(driving.open);
  form.DetailsBox->setChecked(driving.details);
  if (driving.run.isEmpty()) return;
  const auto report = [&form, driving] {
    std::printf("quarrow: %s finished, window 0x%llx\n", qPrintable(driving.run),
                static_cast<unsigned long long>(form.winId()));
    std::fflush(stdout);
  };
  QObject::connect(&form, &quarrow::TForm1::CommandFinished, &form, [&form, report] {
    if (!form.Picture->Building()) report();
  });
  QObject::connect(form.Picture, &quarrow::EvidencePanel::PictureReady, &form, report);
  if (driving.run == QLatin1String("contacts")) {
    form.Button1Click();
  } else {
    form.Button2Click();
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quarrow"));
  QApplication::setApplicationVersion(QStringLiteral(QUARROW_VERSION));
  const Driving driving = ParseArguments(app);

  quarrow::TForm1 Form1;
  Form1.show();
  QTimer::singleShot(0, &Form1, [&Form1, driving] { Drive(Form1, driving); });
  return app.exec();
}
