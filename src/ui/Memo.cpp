#include "ui/Memo.h"

#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>

namespace kestra::ui {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setUndoRedoEnabled(false);
}

void TMemo::Add(const QString& line) {
  // A text with line breaks becomes several lines, as the view shows it, so
  // Count and Line always match what the operator sees.
  QString text = line;
  if (text.contains(QLatin1Char('\r'))) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  }
  const bool firstLine = lines_.isEmpty();
  if (text.contains(QLatin1Char('\n'))) {
    lines_.append(text.split(QLatin1Char('\n')));
  } else {
    lines_.append(text);
  }
  if (!firstLine && document()->isEmpty()) {
    // Only empty lines so far: the view would put this one into the first
    // line instead of after it.
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertBlock();
    end.insertText(text);
  } else {
    appendPlainText(text);
  }
}

void TMemo::Clear() {
  lines_.clear();
  clear();
}

bool TMemo::SaveToFile(const QString& path) const {
  // Written beside the target and renamed over it at the end, so a failed
  // write never leaves a half-written log in place of a good one.
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  QByteArray data;
  qsizetype size = 0;
  for (const QString& l : lines_) size += l.size() + 1;
  data.reserve(size);
  for (const QString& l : lines_) {
    data.append(l.toUtf8());
    data.append('\n');
  }
  if (file.write(data) != data.size()) {
    file.cancelWriting();
    return false;
  }
  return file.commit();
}

}  // namespace kestra::ui
