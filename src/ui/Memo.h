// A read-only, line-oriented log view.
//
// A console that runs for days writes millions of lines: the view shows only
// the newest MaxLines() of them, and every line that has not yet reached a log
// file is also kept as UTF-8 text until SaveUnsavedLines writes it, so a line
// that scrolled out of the view is still written once to the next log file.
#pragma once

#include <QByteArray>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

namespace kestra::ui {

class TMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  // Lines the view keeps; older lines leave it as new ones arrive.
  static constexpr int DefaultMaxLines = 20000;

  explicit TMemo(QWidget* parent = nullptr);

  void Add(const QString& line);
  // The lines shown: the newest lines since start-up or Clear, at most
  // MaxLines(); past the maximum the oldest tenth of it leaves at once.
  int Count() const { return lines_.size(); }
  const QString& Line(int i) const { return lines_[i]; }
  const QStringList& Lines() const { return lines_; }
  // Empties the view and drops the lines not yet saved: what follows starts a
  // new log.
  void Clear();

  int MaxLines() const { return maxLines_; }
  // At least 1; lines beyond a new, lower maximum leave the view at once.
  void SetMaxLines(int n);

  // The lines added since the last successful SaveUnsavedLines (or since
  // start-up or Clear), as UTF-8 text, one '\n' after each.
  const QByteArray& UnsavedText() const { return unsaved_; }
  // Writes the unsaved lines as UTF-8 text, one per line, and then counts
  // them as saved. A file of the same path that this memo wrote before (two
  // saves within the same second share a name) is extended; any other file of
  // that name is replaced. False, with the lines still unsaved, when the file
  // cannot be written.
  bool SaveUnsavedLines(const QString& path);

 signals:
  // Every line as it is added (a text with line breaks gives several).
  void LineAdded(const QString& line);

 private:
  void Keep(const QString& line);
  void DropOldest();

  QStringList lines_;
  QByteArray unsaved_;
  QString lastSaved_;  // path of the last file written since start-up or Clear
  int maxLines_ = DefaultMaxLines;
};

}  // namespace kestra::ui
