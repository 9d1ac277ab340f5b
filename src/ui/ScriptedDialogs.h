// A DialogService for tests: records every box and answers file dialogs and
// modal forms from queues.
#pragma once

#include <QStringList>
#include <deque>
#include <functional>

#include "ui/Dialogs.h"

namespace kestra::ui {

class ScriptedDialogs : public DialogService {
 public:
  struct Box {
    enum Kind { Message, Information, Error } kind;
    QString caption;
    QString text;
  };
  std::vector<Box> boxes;
  std::deque<std::optional<QString>> openAnswers;  // empty queue: cancelled
  std::deque<std::optional<QString>> saveAnswers;
  // Called for each modal form (may edit it); returns the dialog result.
  std::function<int(QDialog&)> onModal;
  // Called while each box is open, after it is recorded: a test may run the
  // event loop there, as a real box does, or deliver what would arrive.
  std::function<void(const Box&)> whileOpen;

  void ShowMessage(QWidget*, const QString& text) override;
  void InformationBox(QWidget*, const QString& caption, const QString& text) override;
  void ErrorBox(QWidget*, const QString& caption, const QString& text) override;
  std::optional<QString> OpenFile(QWidget*, const QString&, int) override;
  std::optional<QString> SaveFile(QWidget*, const QString&, const QString&) override;
  int ShowModal(QDialog& dialog) override;

 private:
  void Open(Box box);
};

}  // namespace kestra::ui
