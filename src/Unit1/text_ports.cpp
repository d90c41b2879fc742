#include "Unit1/text_ports.h"

#include <stdexcept>

#include <QFile>
#include <QPlainTextEdit>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "engine/file_io.h"
#include "text_rule/error.h"

namespace quarrow {

namespace {

// Decodes what follows a byte-order mark; a further U+FEFF is content.
QString DecodeAfterMark(const QByteArray& bytes, qsizetype mark_size,
                        QStringConverter::Encoding encoding) {
  QStringDecoder decoder(encoding, QStringConverter::Flag::ConvertInitialBom);
  return decoder(QByteArrayView(bytes).sliced(mark_size));
}

bool StartsWith(const QByteArray& bytes, const char* mark) {
  return bytes.startsWith(QByteArrayView(mark));
}

}  // namespace

QString FromBytes(std::string_view bytes) {
  return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string ToBytes(const QString& text) { return text.toLocal8Bit().toStdString(); }

int DocumentLineCount(const QTextDocument& document) {
  int count = document.blockCount();
  if (document.lastBlock().text().isEmpty()) --count;
  return count;
}

void AppendDocumentLines(QTextDocument& document, const QStringList& lines) {
  if (lines.isEmpty()) return;
  // A line goes after a line break; a last line that is empty needs a break
  // of its own, or the next count would not see it.
  QString text;
  if (!document.lastBlock().text().isEmpty()) text += u'\n';
  text += lines.join(u'\n');
  if (lines.last().isEmpty()) text += u'\n';
  QTextCursor cursor(&document);
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
}

QString DecodeViewText(const QByteArray& bytes) {
  QString text;
  if (StartsWith(bytes, "\xEF\xBB\xBF")) {
    text = DecodeAfterMark(bytes, 3, QStringConverter::Utf8);
  } else if (StartsWith(bytes, "\xFF\xFE")) {
    text = DecodeAfterMark(bytes, 2, QStringConverter::Utf16LE);
  } else if (StartsWith(bytes, "\xFE\xFF")) {
    text = DecodeAfterMark(bytes, 2, QStringConverter::Utf16BE);
  } else {
    text = QString::fromLocal8Bit(bytes);
  }
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  return text;
}

QString ReadViewFile(const std::string& path, qint64 max_bytes) {
  QFile file(FromBytes(path));
  if (!file.open(QIODevice::ReadOnly)) {
    throw Error("Cannot open file \"" + FullPath(path) + "\". " +
                ToBytes(file.errorString()));
  }
  QByteArray bytes = file.read(max_bytes + 1);
  if (file.error() != QFileDevice::NoError) {
    throw Error("Cannot read file \"" + FullPath(path) + "\". " +
                ToBytes(file.errorString()));
  }
  const bool cut = bytes.size() > max_bytes;
  if (cut) {
    // Whole lines only; a UTF-16 file keeps whole code units.
    bytes.truncate(max_bytes);
    qsizetype line_end = bytes.lastIndexOf('\n');
    if (line_end >= 0) bytes.truncate(line_end + 1);
    if ((StartsWith(bytes, "\xFF\xFE") || StartsWith(bytes, "\xFE\xFF")) && bytes.size() % 2)
      bytes.append('\0');
  }
  QString text = DecodeViewText(bytes);
  if (cut) {
    if (!text.endsWith(u'\n')) text += u'\n';
    text += QStringLiteral("[Only the first %1 MiB of the report are shown here; the file %2 holds all of it.]")
                .arg(max_bytes >> 20)
                .arg(FromBytes(path));
  }
  return text;
}

int MemoEditor::LineCount() const { return DocumentLineCount(*memo_->document()); }

std::string MemoEditor::Line(int index) const {
  if (index < 0 || index >= LineCount()) {
    throw std::out_of_range("DDL editor line " + std::to_string(index));
  }
  return ToBytes(memo_->document()->findBlockByNumber(index).text());
}

void MemoEditor::Clear() { memo_->clear(); }

void MemoEditor::Append(std::string_view line) {
  AppendDocumentLines(*memo_->document(), {FromBytes(line)});
}

void MemoEditor::SetLines(const std::vector<std::string>& lines) {
  QStringList texts;
  texts.reserve(static_cast<qsizetype>(lines.size()));
  for (const std::string& line : lines) texts << FromBytes(line);
  memo_->clear();
  AppendDocumentLines(*memo_->document(), texts);
}

}  // namespace quarrow
