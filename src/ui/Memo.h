// A read-only, line-oriented log view.
#pragma once

#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

namespace kestra::ui {

class TMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit TMemo(QWidget* parent = nullptr);

  void Add(const QString& line);
  int Count() const { return lines_.size(); }
  const QString& Line(int i) const { return lines_[i]; }
  const QStringList& Lines() const { return lines_; }
  void Clear();
  // Writes all lines as UTF-8 text, one per line; false when the file cannot
  // be written.
  bool SaveToFile(const QString& path) const;

 private:
  QStringList lines_;
};

}  // namespace kestra::ui
