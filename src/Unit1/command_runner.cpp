#include "Unit1/command_runner.h"

#include <exception>
#include <new>

#include <QThread>

#include "Unit1/report_view.h"
#include "Unit1/text_ports.h"

namespace quarrow {

void RecordingView::Clear() {
  replaced_ = true;
  file_.reset();
  appended_.clear();
}

void RecordingView::AppendLine(std::string_view line) { appended_ << FromBytes(line); }

void RecordingView::LoadFile(const std::string& path) {
  auto file = ReportLineIndex::Build(path);  // a failure leaves the view as it was
  replaced_ = true;
  file_ = std::move(file);
  appended_.clear();
}

void RecordingView::ApplyTo(ReportView& view) const {
  if (replaced_) {
    if (file_) {
      view.lines()->ShowFile(file_);
    } else {
      view.lines()->Clear();
    }
  }
  view.lines()->AppendLines(appended_);
}

CommandOutcome RunOnStandIns(const Command& command,
                             const std::vector<std::string>& editor_lines,
                             ProgressSink& progress) {
  CommandOutcome outcome;
  LinesEditor editor(editor_lines);
  try {
    command(editor, outcome.view, progress);
  } catch (const std::bad_alloc&) {
    outcome.error = "Out of memory";
  } catch (const std::exception& e) {
    outcome.error = e.what();
  } catch (...) {
    outcome.error = "The command failed with an unknown error";
  }
  outcome.editor_changed = editor.lines() != editor_lines;
  if (outcome.editor_changed) outcome.editor_lines = editor.lines();
  return outcome;
}

// The command's progress sink: lives on the command's thread's side of the
// runner and only touches atomics there.
class CommandRunner::Progress : public ProgressSink {
 public:
  explicit Progress(CommandRunner& runner) : runner_(runner) {}
  bool Update(int64_t done, int64_t total) override {
    runner_.PostProgress(done, total);
    return !runner_.cancelled_;
  }

 private:
  CommandRunner& runner_;
};

CommandRunner::CommandRunner(ProgressHandler on_progress, FinishHandler on_finish,
                             QObject* parent)
    : QObject(parent),
      on_progress_(std::move(on_progress)),
      on_finish_(std::move(on_finish)) {}

CommandRunner::~CommandRunner() {
  if (!thread_) return;
  Cancel();
  thread_->wait();
  delete thread_;
}

bool CommandRunner::Start(std::vector<std::string> editor_lines, Command command) {
  if (Busy()) return false;
  cancelled_ = false;
  thread_ = QThread::create([this, lines = std::move(editor_lines),
                             command = std::move(command)] {
    Progress progress(*this);
    outcome_ = RunOnStandIns(command, lines, progress);
  });
  // Emitted on the command's thread, so delivered queued, after every
  // progress report the command posted.
  connect(thread_, &QThread::finished, this, [this] { Finish(); });
  thread_->start();
  return true;
}

void CommandRunner::PostProgress(int64_t done, int64_t total) {
  done_ = done;
  total_ = total;
  if (progress_posted_.exchange(true)) return;  // one report waiting is enough
  QMetaObject::invokeMethod(
      this,
      [this] {
        progress_posted_ = false;
        if (Busy()) on_progress_(done_, total_);
      },
      Qt::QueuedConnection);
}

void CommandRunner::Finish() {
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  CommandOutcome outcome = std::move(outcome_);
  outcome_ = CommandOutcome{};
  on_finish_(outcome);
}

}  // namespace quarrow
