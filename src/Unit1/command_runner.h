// Runs one command at a time off the window's thread. The command works on
// stand-ins for the DDL editor and the output view (plain objects, no widgets);
// what it left in them is handed back on the window's thread when it ends, to be
// applied to the real controls, so that the window ends up as a run on its own
// thread would have left it, error or not. Progress reports are passed on to the
// window's thread too, coalesced so that a fast command cannot flood it.
// A CommandRunner itself belongs to the window's thread.
#ifndef QUARROW_UNIT1_COMMAND_RUNNER_H_
#define QUARROW_UNIT1_COMMAND_RUNNER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>

#include "engine/ports.h"

class QThread;

namespace quarrow {

class ReportLineIndex;
class ReportView;

// The output view a command sees off the window's thread: it keeps the content
// last set (by Clear or LoadFile) and the lines appended after it. LoadFile
// indexes the file at once (here, off the window's thread), so it fails when
// and as the real view's would.
class RecordingView : public OutputView {
 public:
  void Clear() override;
  void AppendLine(std::string_view line) override;
  void LoadFile(const std::string& path) override;
  // Leaves `view` as the same calls made on it would have.
  void ApplyTo(ReportView& view) const;

 private:
  bool replaced_ = false;
  std::shared_ptr<const ReportLineIndex> file_;  // the report loaded, if any
  QStringList appended_;
};

// What a command left behind.
struct CommandOutcome {
  bool editor_changed = false;
  std::vector<std::string> editor_lines;  // the editor's lines at the end
  RecordingView view;
  std::optional<std::string> error;       // the message, when the command failed
};

using Command = std::function<void(DdlEditor&, OutputView&, ProgressSink&)>;

// Runs `command` on stand-ins on the calling thread: an editor holding
// `editor_lines` and a RecordingView. Every exception ends up in `error`: this
// is the one place where the window catches the commands' errors.
CommandOutcome RunOnStandIns(const Command& command,
                             const std::vector<std::string>& editor_lines,
                             ProgressSink& progress);

class CommandRunner : public QObject {
 public:
  using ProgressHandler = std::function<void(int64_t done, int64_t total)>;
  using FinishHandler = std::function<void(CommandOutcome& outcome)>;

  // Both handlers run on the window's thread.
  CommandRunner(ProgressHandler on_progress, FinishHandler on_finish,
                QObject* parent = nullptr);
  // Cancels a running command and waits for it; its outcome is dropped.
  ~CommandRunner() override;
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  // Starts `command` on its own thread and returns true; returns false and
  // starts nothing while another command runs.
  bool Start(std::vector<std::string> editor_lines, Command command);
  bool Busy() const { return thread_ != nullptr; }
  // Makes the running command's next progress report answer "stop".
  void Cancel() { cancelled_ = true; }

 private:
  class Progress;

  void PostProgress(int64_t done, int64_t total);
  void Finish();

  ProgressHandler on_progress_;
  FinishHandler on_finish_;
  QThread* thread_ = nullptr;
  CommandOutcome outcome_;  // written by the command's thread until it ends
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> progress_posted_{false};
  std::atomic<int64_t> done_{0};
  std::atomic<int64_t> total_{0};
};

}  // namespace quarrow

#endif  // QUARROW_UNIT1_COMMAND_RUNNER_H_
