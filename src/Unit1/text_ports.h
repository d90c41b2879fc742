// The DDL editor of the window as the commands see it (DdlEditor), over a
// QPlainTextEdit; and the decoding rule of the output view. The adapters belong to the window's thread;
// DecodeViewText and ReadViewFile are reentrant and serve the command thread.
#ifndef QUARROW_UNIT1_TEXT_PORTS_H_
#define QUARROW_UNIT1_TEXT_PORTS_H_

#include <string>
#include <string_view>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "engine/ports.h"

class QPlainTextEdit;
class QTextDocument;

namespace quarrow {

// A document's lines as an edit control counts them: a line break at the very
// end opens no further line, so an empty document has none.
int DocumentLineCount(const QTextDocument& document);

// Appends `lines` after the document's last line, with the same result as
// appending them one at a time.
void AppendDocumentLines(QTextDocument& document, const QStringList& lines);

// The text the output view shows for a file's bytes: UTF-8 after EF BB BF,
// UTF-16 after FF FE or FE FF, the system's 8-bit code page otherwise. The
// mark is not part of the text; CR LF and lone CR become line breaks.
QString DecodeViewText(const QByteArray& bytes);

// How much of a UTF-16 file ReadViewFile decodes by default. The output view
// reads reports line by line from their files (report_view.h); only a UTF-16
// file, which no command writes, is decoded whole.
inline constexpr qint64 kViewBytes = qint64{32} << 20;

// Reads the file at `path` (8-bit code page) and decodes it as above. Of a file
// longer than `max_bytes`, only the lines within its first `max_bytes` are
// read, followed by a line that says so. Throws Error 'Cannot open file
// "<full path>". <reason>' when it cannot be read.
QString ReadViewFile(const std::string& path, qint64 max_bytes = kViewBytes);

// The DDL editor over a plain text editor. Lines cross as 8-bit code page bytes.
class MemoEditor : public DdlEditor {
 public:
  explicit MemoEditor(QPlainTextEdit* memo) : memo_(memo) {}
  int LineCount() const override;
  // Throws std::out_of_range for an index outside 0..LineCount()-1.
  std::string Line(int index) const override;
  void Clear() override;
  void Append(std::string_view line) override;
  // Replaces every line at once.
  void SetLines(const std::vector<std::string>& lines);

 private:
  QPlainTextEdit* memo_;
};

// Bytes in the system's 8-bit code page, both ways.
QString FromBytes(std::string_view bytes);
std::string ToBytes(const QString& text);

}  // namespace quarrow

#endif  // QUARROW_UNIT1_TEXT_PORTS_H_
