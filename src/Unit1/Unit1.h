// The main window, Form1 of class TForm1: every control under its own name
// (also its object name), the click handlers that start the commands, the
// "Open Database" dialog and the error box. The commands run off the window's
// thread through a CommandRunner; the window shows their progress, offers to
// cancel them and keeps the command buttons disabled until they end.
// Belongs to the window's thread.
#ifndef QUARROW_UNIT1_UNIT1_H_
#define QUARROW_UNIT1_UNIT1_H_

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <vector>

#include <QString>
#include <QWidget>

#include "Unit1/command_runner.h"
#include "contacts/result_table.h"
#include "engine/run_options.h"
#include "search/find_table.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace quarrow {

class EvidencePanel;
class ReportView;
class WrapButton;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  // Cancels a running command and waits for it; nothing of it reaches the
  // controls.
  ~TForm1() override;

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  WrapButton* Button1;
  QPlainTextEdit* Memo2;  // the DDL editor
  QPushButton* Button2;
  QPushButton* Button3;
  QLineEdit* LabeledEdit1;  // input path
  QLineEdit* LabeledEdit2;  // output path
  ReportView* memo1;        // the output view
  QLineEdit* SEG_F;         // start offset
  QLineEdit* Len_f;         // window length
  QPushButton* Button4;
  QCheckBox* CheckBox1;
  QCheckBox* CheckBox2;
  QCheckBox* DetailsBox;  // "details": each record's offset and status
  QFileDialog* OpenDialog1;
  QProgressBar* ProgressBar1;  // shown while a command runs
  QPushButton* CancelButton;   // likewise
  EvidencePanel* Picture;      // the picture of the evidence, beside the report
  // The input's tables, live and dropped, beside the DDL editor: choosing one
  // puts its definition's lines in the editor and carves it by its own rule.
  QComboBox* TablesBox;

  // The folder of the running executable, without a trailing separator
  // (a root folder keeps its own), native separators.
  QString AppDir;

  void FormCreate();
  // What the check boxes ask for on top of the fields.
  RunOptions ChosenOptions() const;
  void Button1Click();  // contacts recovery
  void Button2Click();  // "Find data"
  void Button3Click();  // "Open Database"
  void Button4Click();  // the window scan
  void CheckBox1Click();
  void CheckBox2Click();
  // Lists the input's tables in TablesBox (off the window's thread).
  void ListInputTables();
  // A table chosen in TablesBox (its index; 0 is the prompt).
  void TablesBoxChosen(int index);

  // "Open Database" once a file is chosen: sets the input path, proposes the
  // output path and makes sure its folder `outs` exists.
  void OpenChosenFile(const QString& path);

  // Runs `command` off the window's thread with the DDL editor's lines; the
  // editor, the output view and the error box end up as the command left them.
  // Does nothing while another command runs.
  void RunCommand(Command command);
  bool CommandRunning() const { return runner_->Busy(); }

 signals:
  // A command's results have reached the window and its error box, if any,
  // has been closed.
  void CommandFinished();

 protected:
  // Shows OpenDialog1; returns the chosen file, or nothing when cancelled.
  virtual std::optional<QString> ChooseInputFile();
  // The modal error box: `message`, caption "Quarrow", an error icon, OK.
  virtual void ShowError(const QString& message);
  // The same box with an information icon: how a command that the user
  // cancelled ended is news, not a failure.
  virtual void ShowCancelled(const QString& message);

 private:
  void CreateControls();
  void SetUpLooks();
  void SetTabOrder();
  void ConnectHandlers();
  void SetRunning(bool running);
  void ShowProgress(int64_t done, int64_t total);
  void FinishCommand(CommandOutcome& outcome);

  ResultTable result_table_;  // contacts recovery's table, kept between runs
  // TablesBox's tables, listed on a thread of their own (so that the buttons
  // stay free) which stops when asked; and the number of records the running
  // command carved for table `carved_index_`.
  std::vector<TableListing> tables_;
  std::future<void> listing_;
  std::shared_ptr<std::atomic<bool>> listing_stop_;
  void StopListing();
  std::shared_ptr<int64_t> carved_;
  int carved_index_ = 0;
  void ShowTables();
  bool cancel_requested_ = false;  // the user pressed Cancel during this run
  // The run's input and report, and what the picture's title calls the
  // command (empty: the run draws no picture).
  QString run_input_, run_output_, picture_command_;
  CommandRunner* runner_;
};

}  // namespace quarrow

#endif  // QUARROW_UNIT1_UNIT1_H_
