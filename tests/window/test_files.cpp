#include <QFile>
#include <QTextBlock>
#include <QTextDocument>

#include "Unit1/text_ports.h"
#include "window_tests.h"

namespace quarrow::test {

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList DocumentLines(const QTextDocument& document) {
  QStringList lines;
  const int count = DocumentLineCount(document);
  QTextBlock block = document.begin();
  for (int i = 0; i < count; ++i, block = block.next()) lines << block.text();
  return lines;
}

}  // namespace quarrow::test
