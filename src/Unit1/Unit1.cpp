#include "Unit1/Unit1.h"

#include <algorithm>
#include <chrono>

#include <QCheckBox>
#include <QComboBox>
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

#include "Unit1/evidence_panel.h"
#include "Unit1/report_view.h"
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

// Creates the controls of a window whose layout is given in 120-dpi pixels,
// scaled to the screen's resolution.
class Layout {
 public:
  explicit Layout(QWidget* window) : window_(window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    scale_ = (screen ? screen->logicalDotsPerInch() : 96.0) / kDesignDpi;
  }

  int Px(int design) const { return qRound(design * scale_); }

  // A control named `name` (object name too) with the caption or text `text`,
  // where it has one.
  template <typename Widget>
  Widget* Add(const char* name, const QString& text, Place p) const {
    auto* widget = new Widget(window_);
    widget->setObjectName(QLatin1String(name));
    if constexpr (requires { widget->setText(text); }) widget->setText(text);
    widget->setGeometry(Px(p.left), Px(p.top), Px(p.width), Px(p.height));
    return widget;
  }

  // A label grows to its caption where a stand-in font is wider.
  QLabel* AddLabel(const char* name, const QString& text, Place p) const {
    QLabel* label = Add<QLabel>(name, text, p);
    label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
    return label;
  }

  // An edit field with its caption above it, 3 design pixels away. The
  // caption's object name is the field's followed by ".EditLabel".
  QLineEdit* AddField(const char* name, const QString& caption, const QString& text,
                      Place p) const {
    QLineEdit* edit = Add<QLineEdit>(name, text, p);
    auto* label = new QLabel(caption, window_);
    label->setObjectName(QLatin1String(name) + QLatin1String(".EditLabel"));
    label->setBuddy(edit);
    label->adjustSize();
    label->move(edit->x(), edit->y() - Px(3) - label->height());
    return edit;
  }

 private:
  QWidget* window_;
  double scale_;
};

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
  StopListing();
}

void TForm1::CreateControls() {
  const Layout layout(this);
  setWindowTitle(QStringLiteral("  Quarrow deleted data (iPhone contacts)"));
  // A fixed-size window with a title bar and a close button only. Not a tool
  // window: this one has its own task-bar button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  // The layout's 1007 design pixels, then the picture of the evidence.
  setFixedSize(layout.Px(1373), layout.Px(634));
  setFont(DesignFont(QStringLiteral("Tahoma"), 14));
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  setAutoFillBackground(true);

  // In the order the window creates them.
  Label1 = layout.AddLabel("Label1", QStringLiteral("OUT DATA"), {10, 38, 65, 17});
  Label2 = layout.AddLabel("Label2", QStringLiteral("DDL (* not print)"), {743, 38, 107, 17});
  Label3 = layout.AddLabel(
      "Label3", QString::fromUtf16(u"Quarrow \u00B7 recovers deleted SQLite records"),
      {64, 5, 833, 27});
  Button1 = layout.Add<WrapButton>("Button1", QStringLiteral("Restore deleted contacts IPHONE"),
                                   {824, 510, 158, 65});
  Memo2 = layout.Add<QPlainTextEdit>("Memo2", QString(), {743, 63, 252, 439});
  Button2 = layout.Add<QPushButton>("Button2", QStringLiteral("Find data"), {10, 575, 117, 47});
  Button3 =
      layout.Add<QPushButton>("Button3", QStringLiteral("Open Database"), {10, 519, 117, 47});
  LabeledEdit1 = layout.AddField("LabeledEdit1", QStringLiteral("input file"), QString(),
                                 {135, 530, 557, 25});
  LabeledEdit2 = layout.AddField("LabeledEdit2", QStringLiteral("output file"), QString(),
                                 {135, 585, 681, 25});
  memo1 = layout.Add<ReportView>("memo1", QString(), {10, 63, 725, 439});
  SEG_F = layout.AddField("SEG_F", QStringLiteral("SEG_F"), QStringLiteral("1"),
                          {700, 528, 55, 25});
  Len_f = layout.AddField("Len_f", QStringLiteral("Len"), QStringLiteral("1"),
                          {761, 528, 55, 25});
  Button4 = layout.Add<QPushButton>("Button4", QStringLiteral("Button4"), {366, 230, 158, 43});
  Button4->setVisible(false);
  CheckBox1 = layout.Add<QCheckBox>("CheckBox1", QStringLiteral("iOS"), {824, 581, 86, 43});
  CheckBox2 = layout.Add<QCheckBox>("CheckBox2", QStringLiteral("iCloud"), {918, 586, 78, 33});
  DetailsBox = layout.Add<QCheckBox>("DetailsBox", QStringLiteral("details"), {700, 556, 110, 24});
  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);

  // Progress and cancel share the free strip between the two captions.
  ProgressBar1 = layout.Add<QProgressBar>("ProgressBar1", QString(), {90, 36, 550, 22});
  CancelButton = layout.Add<QPushButton>("CancelButton", QStringLiteral("Cancel"),
                                         {650, 33, 85, 28});
  TablesBox = layout.Add<QComboBox>("TablesBox", QString(), {855, 34, 140, 26});
  TablesBox->setToolTip(QStringLiteral("the input's tables, live and dropped"));
  Picture = new EvidencePanel(this);
  Picture->setObjectName(QStringLiteral("Picture"));
  Picture->setGeometry(layout.Px(1003), layout.Px(38), layout.Px(360), layout.Px(584));
  Picture->FollowReport(memo1);
  SetUpLooks();
}

void TForm1::SetUpLooks() {
  QFont title = DesignFont(QStringLiteral("Tahoma"), 22);
  title.setBold(true);
  Label3->setFont(title);
  QPalette blue = Label3->palette();
  blue.setColor(QPalette::WindowText, Qt::blue);
  Label3->setPalette(blue);

  Memo2->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoEditor(Memo2).SetLines(InitialDdlLines());
  Memo2->document()->clearUndoRedoStacks();

  // The output view shows plain text only; the commands are its only writers.
  memo1->setFont(DesignFont(QStringLiteral("Arial Unicode MS"), 15));
  memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void TForm1::SetTabOrder() {
  const QList<QWidget*> order = {Button1, Memo2,  Button2, Button3,   LabeledEdit1,
                                 LabeledEdit2, memo1, SEG_F, Len_f, Button4,
                                 CheckBox1, CheckBox2, DetailsBox, CancelButton};
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
  connect(TablesBox, &QComboBox::activated, this, &TForm1::TablesBoxChosen);
  connect(CancelButton, &QPushButton::clicked, this, [this] {
    cancel_requested_ = true;
    CancelButton->setEnabled(false);
    runner_->Cancel();
  });
}

void TForm1::FormCreate() {
  AppDir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

RunOptions TForm1::ChosenOptions() const {
  RunOptions options;
  options.details = DetailsBox->isChecked();
  return options;
}

void TForm1::Button1Click() {
  picture_command_ = QStringLiteral("Quarrow window: Restore deleted contacts IPHONE");
  RunCommand([this, input = ToBytes(LabeledEdit1->text()),
              offset = ToBytes(SEG_F->text()), output = ToBytes(LabeledEdit2->text()),
              options = ChosenOptions()](
                 DdlEditor& editor, OutputView& view, ProgressSink& progress) {
    RecoverContacts(input, offset, output, editor, view, result_table_, &progress, options);
  });
}

void TForm1::Button2Click() {
  picture_command_ = QStringLiteral("Quarrow window: Find data");
  RunCommand([input = ToBytes(LabeledEdit1->text()),
              output = ToBytes(LabeledEdit2->text()), options = ChosenOptions()](
                 DdlEditor& editor, OutputView& view, ProgressSink& progress) {
    FindDataCommand(editor, input, output, view, &progress, options);
  });
}

void TForm1::Button3Click() {
  if (std::optional<QString> chosen = ChooseInputFile()) OpenChosenFile(*chosen);
}

void TForm1::Button4Click() {
  picture_command_.clear();
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
  ListInputTables();
}

namespace {

// Stops a listing when the window asks.
class StopFlag : public ProgressSink {
 public:
  explicit StopFlag(std::shared_ptr<std::atomic<bool>> stop) : stop_(std::move(stop)) {}
  bool Update(int64_t, int64_t) override { return !stop_->load(); }

 private:
  std::shared_ptr<std::atomic<bool>> stop_;
};

}  // namespace

void TForm1::StopListing() {
  // Called on the window's thread; the listing posts back to it, never waits on it.
  if (listing_stop_) listing_stop_->store(true);
  if (listing_.valid()) listing_.wait();
}

void TForm1::ListInputTables() {
  StopListing();
  tables_.clear();
  ShowTables();
  listing_stop_ = std::make_shared<std::atomic<bool>>(false);
  listing_ = std::async(std::launch::async, [this, stop = listing_stop_,
                                              input = ToBytes(LabeledEdit1->text())] {
    std::vector<TableListing> tables;
    try {
      StopFlag flag(stop);
      tables = ListTables(input, "", &flag);
    } catch (const std::exception&) {
      return;  // an input that cannot be read lists nothing; the commands say why
    }
    if (stop->load()) return;
    // Queued to the window's thread; dropped if the window is gone by then.
    QMetaObject::invokeMethod(
        this, [this, tables = std::move(tables)]() mutable {
          tables_ = std::move(tables);
          ShowTables();
        },
        Qt::QueuedConnection);
  });
}

void TForm1::ShowTables() {
  TablesBox->clear();
  TablesBox->addItem(tables_.empty() ? QStringLiteral("(no tables)")
                                     : QStringLiteral("tables: choose one"));
  for (const TableListing& table : tables_) {
    QString text = FromBytes(table.name);
    if (table.origin != "database") text += QStringLiteral(" (") + FromBytes(table.origin) + ")";
    TablesBox->addItem(text);
  }
}

void TForm1::TablesBoxChosen(int index) {
  if (index <= 0 || index > static_cast<int>(tables_.size()) || runner_->Busy()) return;
  picture_command_ = QStringLiteral("Quarrow window: Find data (table ") +
                     FromBytes(tables_[static_cast<size_t>(index - 1)].name) + ")";
  auto carved = std::make_shared<int64_t>(-1);
  carved_ = carved;
  carved_index_ = index;
  RunCommand([carved, table = tables_[static_cast<size_t>(index - 1)],
              input = ToBytes(LabeledEdit1->text()), output = ToBytes(LabeledEdit2->text()),
              options = ChosenOptions()](DdlEditor& editor, OutputView& view,
                                         ProgressSink& progress) {
    *carved = FindTableCommand(editor, table, input, output, view, &progress, options);
  });
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

void TForm1::ShowCancelled(const QString& message) {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Quarrow"), message,
                  QMessageBox::Ok, this);
  box.exec();
}

void TForm1::RunCommand(Command command) {
  if (runner_->Busy()) return;
  cancel_requested_ = false;
  run_input_ = LabeledEdit1->text();
  run_output_ = LabeledEdit2->text();
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
  if (carved_) {
    // The table's record count, once carved.
    if (*carved_ >= 0 && carved_index_ < TablesBox->count()) {
      QString text = TablesBox->itemText(carved_index_);
      text = text.left(text.indexOf(QStringLiteral(": ")) < 0 ? text.size()
                                                             : text.indexOf(QStringLiteral(": ")));
      TablesBox->setItemText(carved_index_, text + QStringLiteral(": ") +
                                                QString::number(*carved_) + " records");
    }
    carved_.reset();
  }
  outcome.view.ApplyTo(*memo1);
  SetRunning(false);
  if (!outcome.error && !picture_command_.isEmpty())
    Picture->ShowEvidence(run_input_, run_output_, picture_command_);
  if (outcome.error) {
    const QString message = FromBytes(WithClosingPeriod(*outcome.error));
    if (cancel_requested_) {
      ShowCancelled(message);
    } else {
      ShowError(message);
    }
  }
  emit CommandFinished();
}

}  // namespace quarrow
