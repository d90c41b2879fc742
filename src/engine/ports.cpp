#include "engine/ports.h"

namespace quarrow {

std::vector<std::string> EditorLines(const DdlEditor& editor) {
  std::vector<std::string> lines;
  int count = editor.LineCount();
  lines.reserve(count);
  for (int i = 0; i < count; ++i) lines.push_back(editor.Line(i));
  return lines;
}

void ReplaceEditorLines(DdlEditor& editor, const std::vector<std::string>& lines) {
  editor.Clear();
  for (const std::string& line : lines) editor.Append(line);
}

}  // namespace quarrow
