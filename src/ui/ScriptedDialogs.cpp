#include "ui/ScriptedDialogs.h"

#include <QDialog>

namespace kestra::ui {

namespace {
std::optional<QString> Next(std::deque<std::optional<QString>>& answers) {
  if (answers.empty()) return std::nullopt;
  const bool chosen = answers.front().has_value();
  const QString path = chosen ? *answers.front() : QString();
  answers.pop_front();
  if (!chosen) return std::nullopt;
  return path;
}
}  // namespace

void ScriptedDialogs::Open(Box box) {
  boxes.push_back(box);
  if (whileOpen) whileOpen(box);
}

void ScriptedDialogs::ShowMessage(QWidget*, const QString& text) { Open({Box::Message, {}, text}); }

void ScriptedDialogs::InformationBox(QWidget*, const QString& caption, const QString& text) {
  Open({Box::Information, caption, text});
}

void ScriptedDialogs::ErrorBox(QWidget*, const QString& caption, const QString& text) {
  Open({Box::Error, caption, text});
}

std::optional<QString> ScriptedDialogs::OpenFile(QWidget*, const QString&, int) {
  return Next(openAnswers);
}

std::optional<QString> ScriptedDialogs::SaveFile(QWidget*, const QString&, const QString&) {
  return Next(saveAnswers);
}

int ScriptedDialogs::ShowModal(QDialog& dialog) {
  if (onModal) return onModal(dialog);
  return QDialog::Accepted;
}

}  // namespace kestra::ui
