#include "ui/Dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>
#include <exception>

namespace kestra::ui {

QStringList FileDialogFilters(const QString& filter) {
  // "Description|pattern;pattern|Description|pattern" becomes one Qt filter
  // per pair, "Description (pattern pattern)". The patterns are matched as
  // given and in lower and upper case, since object files come with either.
  static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    description.remove(trailingPatterns);
    QStringList patterns;
    for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      for (const QString& variant : {p.trimmed(), p.trimmed().toLower(), p.trimmed().toUpper()}) {
        if (!variant.isEmpty() && !patterns.contains(variant)) patterns.append(variant);
      }
    }
    if (patterns.isEmpty()) patterns.append(QStringLiteral("*"));
    filters.append(description.trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                   QLatin1Char(')'));
  }
  return filters;
}

namespace {

QString Caption() { return QGuiApplication::applicationDisplayName(); }

class QtDialogs : public DialogService {
 public:
  void ShowMessage(QWidget* parent, const QString& text) override {
    QMessageBox box(QMessageBox::NoIcon, Caption(), text, QMessageBox::Ok, parent);
    box.exec();
  }
  void InformationBox(QWidget* parent, const QString& caption, const QString& text) override {
    QMessageBox::information(parent, caption, text, QMessageBox::Ok);
  }
  void ErrorBox(QWidget* parent, const QString& caption, const QString& text) override {
    QMessageBox::critical(parent, caption, text, QMessageBox::Ok);
  }
  std::optional<QString> OpenFile(QWidget* parent, const QString& filter,
                                  int filterIndex) override {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    SetFilters(dialog, filter, filterIndex);
    return Run(dialog);
  }
  std::optional<QString> SaveFile(QWidget* parent, const QString& filter,
                                  const QString& defaultExt) override {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    SetFilters(dialog, filter, 1);
    // "*.bin" or "bin": the suffix added to a name typed without one.
    QString suffix = defaultExt;
    if (suffix.startsWith(QLatin1String("*."))) suffix.remove(0, 2);
    if (suffix.startsWith(QLatin1Char('.'))) suffix.remove(0, 1);
    if (!suffix.isEmpty() && !suffix.contains(QLatin1Char('*')) &&
        !suffix.contains(QLatin1Char(';'))) {
      dialog.setDefaultSuffix(suffix);
    }
    return Run(dialog);
  }
  int ShowModal(QDialog& dialog) override { return dialog.exec(); }

 private:
  static void SetFilters(QFileDialog& dialog, const QString& filter, int filterIndex) {
    const QStringList filters = FileDialogFilters(filter);
    if (filters.isEmpty()) return;
    dialog.setNameFilters(filters);
    const int i = (filterIndex >= 1 && filterIndex <= filters.size()) ? filterIndex - 1 : 0;
    dialog.selectNameFilter(filters[i]);
  }
  static std::optional<QString> Run(QFileDialog& dialog) {
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return files.front();
  }
};

std::unique_ptr<DialogService>& Current() {
  static std::unique_ptr<DialogService> current;
  return current;
}

}  // namespace

DialogService& Dialogs() {
  std::unique_ptr<DialogService>& current = Current();
  if (!current) current = std::make_unique<QtDialogs>();
  return *current;
}

std::unique_ptr<DialogService> SetDialogs(std::unique_ptr<DialogService> service) {
  std::unique_ptr<DialogService> previous = std::move(Current());
  Current() = std::move(service);
  return previous;
}

void Guard(QWidget* parent, const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    Dialogs().ErrorBox(parent, Caption(), QString::fromUtf8(e.what()));
  } catch (...) {
    // Nothing may unwind through the event dispatch.
    Dialogs().ErrorBox(parent, Caption(), QStringLiteral("Unknown error."));
  }
}

void Beep() { QApplication::beep(); }

}  // namespace kestra::ui
