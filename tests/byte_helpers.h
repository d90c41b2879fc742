// Helpers for tests that build byte buffers by hand.
#ifndef QUARROW_TESTS_BYTE_HELPERS_H_
#define QUARROW_TESTS_BYTE_HELPERS_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/scan.h"

namespace quarrow::testing {

// Bytes from a list of byte values.
inline std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

// A whole buffer held in one window, as the one-buffer scan sees it.
struct WholeView {
  explicit WholeView(std::string data)
      : buffer(Buffer::FromBytes(data)), bytes(std::move(data)),
        view(buffer, 0, bytes) {}
  Buffer buffer;
  std::string bytes;
  BufferView view;
};

// One line per match: position, prefix, then each column's seg and value.
inline std::vector<std::string> ScanLines(const Buffer& buffer, ColumnList columns,
                                          ScanParams params) {
  std::vector<std::string> lines;
  ScanRecords(buffer, columns, params, [&](const Match& match, const ColumnList& found) {
    std::string line = std::to_string(match.position) + "|" + std::string(match.prefix);
    for (const TERM& column : found)
      line += "|" + std::to_string(column.seg) + ":" + column.value;
    lines.push_back(line);
  });
  return lines;
}

}  // namespace quarrow::testing

#endif  // QUARROW_TESTS_BYTE_HELPERS_H_
