// The small interfaces through which commands see the outside world: the DDL
// editor, the output view and a progress sink. The window implements them over
// its controls; the command line and the tests use the plain ones below.
#ifndef QUARROW_ENGINE_PORTS_H_
#define QUARROW_ENGINE_PORTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow {

// The DDL editor: lines are byte strings.
class DdlEditor {
 public:
  virtual ~DdlEditor() = default;
  virtual int LineCount() const = 0;
  virtual std::string Line(int index) const = 0;
  virtual void Clear() = 0;
  virtual void Append(std::string_view line) = 0;
};

// Returns every line of `editor`, in order.
std::vector<std::string> EditorLines(const DdlEditor& editor);
// Replaces the editor's content with `lines`.
void ReplaceEditorLines(DdlEditor& editor, const std::vector<std::string>& lines);

// The output view.
class OutputView {
 public:
  virtual ~OutputView() = default;
  virtual void Clear() = 0;
  // `line` is handed over as the command's bytes, unconverted.
  virtual void AppendLine(std::string_view line) = 0;
  // Replaces the content by the text file at `path`; throws Error when the file
  // cannot be read.
  virtual void LoadFile(const std::string& path) = 0;
};

// Told how far a long command has come. Returning false asks it to stop.
// Called one call at a time, from the thread that runs the command or from
// one of its workers.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual bool Update(int64_t done, int64_t total) = 0;
};

// An editor held in memory: the command line's and the tests' DDL editor.
class LinesEditor : public DdlEditor {
 public:
  LinesEditor() = default;
  explicit LinesEditor(std::vector<std::string> lines) : lines_(std::move(lines)) {}
  int LineCount() const override { return static_cast<int>(lines_.size()); }
  std::string Line(int index) const override { return lines_.at(index); }
  void Clear() override { lines_.clear(); }
  void Append(std::string_view line) override { lines_.emplace_back(line); }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

}  // namespace quarrow

#endif  // QUARROW_ENGINE_PORTS_H_
