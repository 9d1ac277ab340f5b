#include "ui/Memo.h"

#include <QFile>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>

namespace kestra::ui {

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setUndoRedoEnabled(false);
}

void TMemo::Keep(const QString& line) {
  lines_.append(line);
  unsaved_.append(line.toUtf8());
  unsaved_.append('\n');
  emit LineAdded(line);
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
    for (const QString& l : text.split(QLatin1Char('\n'))) Keep(l);
  } else {
    Keep(text);
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
  if (lines_.size() > maxLines_) DropOldest();
}

void TMemo::DropOldest() {
  // The oldest tenth of the maximum at once: one edit of the view per many
  // lines keeps a line's cost the same however long the run.
  const int n = std::max<int>(lines_.size() - maxLines_, maxLines_ / 10);
  lines_.remove(0, std::min<qsizetype>(n, lines_.size()));
  QTextCursor cut(document());
  cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, n);
  cut.removeSelectedText();
}

void TMemo::Clear() {
  lines_.clear();
  unsaved_.clear();
  lastSaved_.clear();
  clear();
}

void TMemo::SetMaxLines(int n) {
  maxLines_ = std::max(1, n);
  if (lines_.size() > maxLines_) DropOldest();
}

bool TMemo::SaveUnsavedLines(const QString& path) {
  // Written beside the target and renamed over it at the end, so a failed
  // write never leaves a half-written log in place of a good one.
  QByteArray earlier;
  if (path == lastSaved_) {
    QFile old(path);
    if (old.open(QIODevice::ReadOnly)) earlier = old.readAll();
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  if (file.write(earlier) != earlier.size() || file.write(unsaved_) != unsaved_.size()) {
    file.cancelWriting();
    return false;
  }
  if (!file.commit()) return false;
  lastSaved_ = path;
  unsaved_.resize(0);  // keeps its capacity for the next lines
  return true;
}

}  // namespace kestra::ui
