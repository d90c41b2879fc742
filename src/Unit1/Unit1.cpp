#include "Unit1/Unit1.h"

#include <algorithm>
#include <chrono>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>

#include "Unit1/text_ports.h"
#include "Unit1/window_rules.h"
#include "Unit1/wrap_button.h"
#include "contacts/contacts_recovery.h"
#include "search/find_data.h"
#include "search/window_scan.h"

namespace quarrow {

namespace {

// The layout is drawn at 120 dots per inch; it scales with the screen's.
constexpr double kDesignDpi = 120.0;

struct Place {
  int left, top, width, height;
};

// Where the fonts of the layout are missing (off Windows, mostly), the nearest
// installed ones stand in: faces of similar width first, so captions still fit.
void InstallFontFallbacks() {
  static const bool installed = [] {
    const QStringList narrow = {"Arial", "Liberation Sans", "Arimo", "Nimbus Sans",
                                "Helvetica", "Noto Sans", "DejaVu Sans"};
    QFont::insertSubstitutions("Tahoma", narrow);
    QFont::insertSubstitutions("Arial Unicode MS", narrow);
    return true;
  }();
  (void)installed;
}

// A font of `design_pixels` character height at 120 dpi. Given in points, so
// that it scales with the screen exactly as the layout does.
QFont DesignFont(const QString& family, int design_pixels) {
  QFont font(family);
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(design_pixels * 72.0 / kDesignDpi);
  return font;
}

template <typename Widget>
Widget* Make(QWidget* parent, const char* name) {
  auto* widget = new Widget(parent);
  widget->setObjectName(QLatin1String(name));
  return widget;
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("Form1"));
  InstallFontFallbacks();
  CreateControls();
  SetTabOrder();
  runner_ = new CommandRunner(
      [this](int64_t done, int64_t total) { ShowProgress(done, total); },
      [this](CommandOutcome& outcome) { FinishCommand(outcome); }, this);
  ConnectHandlers();
  SetRunning(false);
  FormCreate();
}

TForm1::~TForm1() {
  // The runner's command may be using the result table: stop it first.
  delete runner_;
}

void TForm1::CreateControls() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double scale = (screen ? screen->logicalDotsPerInch() : 96.0) / kDesignDpi;
  auto px = [scale](int design) { return qRound(design * scale); };
  auto place = [&px](QWidget* widget, Place p) {
    widget->setGeometry(px(p.left), px(p.top), px(p.width), px(p.height));
  };
  // A label sizes itself to its caption, from the corner the layout gives.
  auto place_label = [&](QLabel* label, Place p) {
    place(label, p);
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
  };
  // An edit field's caption sits above it, 3 design pixels away.
  auto caption = [&](QLineEdit* edit, const char* name, const QString& text) {
    auto* label = Make<QLabel>(this, name);
    label->setText(text);
    label->setBuddy(edit);
    label->adjustSize();
    label->move(edit->x(), edit->y() - px(3) - label->height());
  };

  setWindowTitle(QStringLiteral("  Quarrow deleted data (iPhone contacts)"));
  // A fixed-size window with a title bar and a close button only. Not a tool
  // window: this one has its own task-bar button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(px(1007), px(634));
  setFont(DesignFont(QStringLiteral("Tahoma"), 14));
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  setAutoFillBackground(true);

  Label1 = Make<QLabel>(this, "Label1");
  Label1->setText(QStringLiteral("OUT DATA"));
  place_label(Label1, {10, 38, 65, 17});

  Label2 = Make<QLabel>(this, "Label2");
  Label2->setText(QStringLiteral("DDL (* not print)"));
  place_label(Label2, {743, 38, 107, 17});

  Label3 = Make<QLabel>(this, "Label3");
  Label3->setText(QString::fromUtf16(u"Quarrow \u00B7 recovers deleted SQLite records"));
  QFont title = DesignFont(QStringLiteral("Tahoma"), 22);
  title.setBold(true);
  Label3->setFont(title);
  QPalette blue = Label3->palette();
  blue.setColor(QPalette::WindowText, Qt::blue);
  Label3->setPalette(blue);
  place_label(Label3, {64, 5, 833, 27});

  Button1 = Make<WrapButton>(this, "Button1");
  Button1->setText(QStringLiteral("Restore deleted contacts IPHONE"));
  place(Button1, {824, 510, 158, 65});

  Memo2 = Make<QPlainTextEdit>(this, "Memo2");
  Memo2->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoEditor(Memo2).SetLines(InitialDdlLines());
  Memo2->document()->clearUndoRedoStacks();
  place(Memo2, {743, 63, 252, 439});

  Button2 = Make<QPushButton>(this, "Button2");
  Button2->setText(QStringLiteral("Find data"));
  place(Button2, {10, 575, 117, 47});

  Button3 = Make<QPushButton>(this, "Button3");
  Button3->setText(QStringLiteral("Open Database"));
  place(Button3, {10, 519, 117, 47});

  LabeledEdit1 = Make<QLineEdit>(this, "LabeledEdit1");
  place(LabeledEdit1, {135, 530, 557, 25});
  caption(LabeledEdit1, "LabeledEdit1.EditLabel", QStringLiteral("input file"));

  LabeledEdit2 = Make<QLineEdit>(this, "LabeledEdit2");
  place(LabeledEdit2, {135, 585, 681, 25});
  caption(LabeledEdit2, "LabeledEdit2.EditLabel", QStringLiteral("output file"));

  // The output view shows plain text only; the commands are its only writers.
  memo1 = Make<QTextEdit>(this, "memo1");
  memo1->setFont(DesignFont(QStringLiteral("Arial Unicode MS"), 15));
  memo1->setAcceptRichText(false);
  memo1->setReadOnly(true);
  memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  memo1->setUndoRedoEnabled(false);
  memo1->setLineWrapMode(QTextEdit::NoWrap);
  memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  place(memo1, {10, 63, 725, 439});

  SEG_F = Make<QLineEdit>(this, "SEG_F");
  SEG_F->setText(QStringLiteral("1"));
  place(SEG_F, {700, 528, 55, 25});
  caption(SEG_F, "SEG_F.EditLabel", QStringLiteral("SEG_F"));

  Len_f = Make<QLineEdit>(this, "Len_f");
  Len_f->setText(QStringLiteral("1"));
  place(Len_f, {761, 528, 55, 25});
  caption(Len_f, "Len_f.EditLabel", QStringLiteral("Len"));

  Button4 = Make<QPushButton>(this, "Button4");
  Button4->setText(QStringLiteral("Button4"));
  place(Button4, {366, 230, 158, 43});
  Button4->setVisible(false);

  CheckBox1 = Make<QCheckBox>(this, "CheckBox1");
  CheckBox1->setText(QStringLiteral("iOS"));
  place(CheckBox1, {824, 581, 86, 43});

  CheckBox2 = Make<QCheckBox>(this, "CheckBox2");
  CheckBox2->setText(QStringLiteral("iCloud"));
  place(CheckBox2, {918, 586, 78, 33});

  OpenDialog1 = Make<QFileDialog>(this, "OpenDialog1");
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);

  // Progress and cancel share the free strip between the two captions.
  ProgressBar1 = Make<QProgressBar>(this, "ProgressBar1");
  place(ProgressBar1, {90, 36, 550, 22});
  CancelButton = Make<QPushButton>(this, "CancelButton");
  CancelButton->setText(QStringLiteral("Cancel"));
  place(CancelButton, {650, 33, 85, 28});
}

void TForm1::SetTabOrder() {
  const QList<QWidget*> order = {Button1, Memo2,  Button2, Button3,   LabeledEdit1,
                                 LabeledEdit2, memo1, SEG_F, Len_f, Button4,
                                 CheckBox1, CheckBox2, CancelButton};
  for (qsizetype i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void TForm1::ConnectHandlers() {
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  // Run on every change of state, from a click or from code, so that checking
  // one box runs the other's handler when it unchecks that box.
  connect(CheckBox1, &QCheckBox::toggled, this, &TForm1::CheckBox1Click);
  connect(CheckBox2, &QCheckBox::toggled, this, &TForm1::CheckBox2Click);
  connect(CancelButton, &QPushButton::clicked, this, [this] {
    CancelButton->setEnabled(false);
    runner_->Cancel();
  });
}

void TForm1::FormCreate() {
  AppDir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

void TForm1::Button1Click() {
  RunCommand([this, input = ToBytes(LabeledEdit1->text()),
              offset = ToBytes(SEG_F->text()), output = ToBytes(LabeledEdit2->text())](
                 DdlEditor& editor, OutputView& view, ProgressSink& progress) {
    RecoverContacts(input, offset, output, editor, view, result_table_, &progress);
  });
}

void TForm1::Button2Click() {
  RunCommand([input = ToBytes(LabeledEdit1->text()),
              output = ToBytes(LabeledEdit2->text())](
                 DdlEditor& editor, OutputView& view, ProgressSink& progress) {
    FindDataCommand(editor, input, output, view, &progress);
  });
}

void TForm1::Button3Click() {
  if (std::optional<QString> chosen = ChooseInputFile()) OpenChosenFile(*chosen);
}

void TForm1::Button4Click() {
  RunCommand([input = ToBytes(LabeledEdit1->text()), length = ToBytes(Len_f->text()),
              offset = ToBytes(SEG_F->text())](
                 DdlEditor& editor, OutputView& view, ProgressSink& progress) {
    ScanFileWindow(input, length, offset, editor, view, &progress);
  });
}

void TForm1::CheckBox1Click() {
  if (CheckBox1->isChecked()) CheckBox2->setChecked(false);
}

void TForm1::CheckBox2Click() {
  if (CheckBox2->isChecked()) CheckBox1->setChecked(false);
}

void TForm1::OpenChosenFile(const QString& path) {
  const QString chosen = QDir::toNativeSeparators(path);
  LabeledEdit1->setText(chosen);
  // If this fails, writing the report fails later with its own message.
  QDir(AppDir).mkpath(QStringLiteral("outs"));
  const QDate today = QDate::currentDate();
  const std::chrono::year_month_day date{std::chrono::year(today.year()),
                                         std::chrono::month(today.month()),
                                         std::chrono::day(today.day())};
  const QByteArray chosen_utf8 = chosen.toUtf8();
  const QByteArray app_dir_utf8 = AppDir.toUtf8();
  LabeledEdit2->setText(QString::fromStdString(ProposeOutputPath(
      std::string_view(chosen_utf8.constData(), static_cast<size_t>(chosen_utf8.size())),
      date,
      std::string_view(app_dir_utf8.constData(), static_cast<size_t>(app_dir_utf8.size())),
      QDir::separator().toLatin1())));
}

std::optional<QString> TForm1::ChooseInputFile() {
  if (OpenDialog1->exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = OpenDialog1->selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return files.first();
}

void TForm1::ShowError(const QString& message) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Quarrow"), message,
                  QMessageBox::Ok, this);
  box.exec();
}

void TForm1::RunCommand(Command command) {
  if (runner_->Busy()) return;
  std::vector<std::string> lines = EditorLines(MemoEditor(Memo2));
  SetRunning(true);
  runner_->Start(std::move(lines), std::move(command));
}

void TForm1::SetRunning(bool running) {
  for (QPushButton* button : {static_cast<QPushButton*>(Button1), Button2, Button3, Button4}) {
    button->setEnabled(!running);
  }
  // The running command owns the editor's lines until it ends.
  Memo2->setReadOnly(running);
  ProgressBar1->setRange(0, 0);  // busy until the first report
  ProgressBar1->setVisible(running);
  CancelButton->setEnabled(running);
  CancelButton->setVisible(running);
}

void TForm1::ShowProgress(int64_t done, int64_t total) {
  if (total <= 0) {
    ProgressBar1->setRange(0, 0);
    return;
  }
  constexpr int kSteps = 1000;
  ProgressBar1->setRange(0, kSteps);
  const double share = std::clamp(static_cast<double>(done) / total, 0.0, 1.0);
  ProgressBar1->setValue(static_cast<int>(share * kSteps));
}

void TForm1::FinishCommand(CommandOutcome& outcome) {
  if (outcome.editor_changed) MemoEditor(Memo2).SetLines(outcome.editor_lines);
  RichView view(memo1);
  outcome.view.ApplyTo(view);
  SetRunning(false);
  if (outcome.error) ShowError(FromBytes(WithClosingPeriod(*outcome.error)));
  emit CommandFinished();
}

}  // namespace quarrow
