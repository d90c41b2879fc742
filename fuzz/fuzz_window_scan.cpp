// The window scan from end to end. Input: a byte choosing the offset, one the
// length (or the rest of the file), then the input file's bytes.
//
// What must hold: the editor ends up holding the window schema's lines; the
// view gets one line per match of the single-byte, strict reference scan over
// the window (zeros past the file's end), each line the match's prefix and its
// three values; the input file is left as it was.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/columns.h"
#include "engine/header.h"
#include "engine/ports.h"
#include "engine/scan.h"
#include "engine/values.h"
#include "search/window_scan.h"
#include "support.h"

namespace {

class LinesView : public quarrow::OutputView {
 public:
  void Clear() override { lines.clear(); }
  void AppendLine(std::string_view line) override { lines.emplace_back(line); }
  void LoadFile(const std::string&) override {}
  std::vector<std::string> lines;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quarrow;
  using namespace quarrow::fuzz;
  ByteReader in(data, size);
  const int64_t offset = in.Byte();
  const uint8_t length_byte = in.Byte();
  const std::string bytes(in.Rest());
  const int64_t file_size = static_cast<int64_t>(bytes.size());
  // 255 asks for the rest of the file; any other value is taken as it is and
  // may reach past the end.
  const int64_t length =
      length_byte == 255 ? std::max<int64_t>(file_size - offset, 0) : length_byte * 3;
  const std::string input = TempFile("window.db");
  WriteWholeFile(input, bytes);

  LinesEditor editor({"stale line"});
  LinesView view;
  ScanFileWindow(input, std::to_string(length), std::to_string(offset), editor, view);
  QUARROW_FUZZ_CHECK(ReadWholeFile(input) == bytes, "the input file changed");
  QUARROW_FUZZ_CHECK(editor.lines() == SplitSchema(kWindowSchema), "editor not rewritten");

  std::string window(static_cast<size_t>(length), '\0');
  for (int64_t i = 0; i < length && offset + i < file_size; ++i)
    window[static_cast<size_t>(i)] = bytes[static_cast<size_t>(offset + i)];
  ColumnList columns = LoadColumns(editor.lines());
  std::vector<std::string> expected;
  Buffer buffer = Buffer::FromBytes(window);
  BufferView whole(buffer, 0, window);
  for (int64_t i = 0; i + 1 < length; ++i) {
    int64_t cursor = i + 1;
    if (window[i] == 0 || !MatchHeader(whole, columns, kStrict, cursor)) continue;
    ExtractValues(whole, RecordBodyStart(whole, i, cursor, columns), columns);
    std::string line = ReadCellPrefix(whole, i, 1);
    for (const TERM& column : columns) line += "\t" + column.value;
    expected.push_back(line);
  }
  QUARROW_FUZZ_CHECK(view.lines == expected, FirstDifference(view.lines, expected));
  return 0;
}
