#include "ui/Dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QRegularExpression>
#include <deque>
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

DialogService& Service() {
  std::unique_ptr<DialogService>& current = Current();
  if (!current) current = std::make_unique<QtDialogs>();
  return *current;
}

// What every caller reaches: the service in use, with the boxes asked for
// inside WithBoxesAfter held back until the outermost one returns.
class HeldBoxes : public DialogService {
 public:
  void ShowMessage(QWidget* parent, const QString& text) override {
    Ask({Box::Message, parent, {}, text});
  }
  void InformationBox(QWidget* parent, const QString& caption, const QString& text) override {
    Ask({Box::Information, parent, caption, text});
  }
  void ErrorBox(QWidget* parent, const QString& caption, const QString& text) override {
    Ask({Box::Error, parent, caption, text});
  }
  std::optional<QString> OpenFile(QWidget* parent, const QString& filter,
                                  int filterIndex) override {
    return Service().OpenFile(parent, filter, filterIndex);
  }
  std::optional<QString> SaveFile(QWidget* parent, const QString& filter,
                                  const QString& defaultExt) override {
    return Service().SaveFile(parent, filter, defaultExt);
  }
  int ShowModal(QDialog& dialog) override { return Service().ShowModal(dialog); }

  void Run(const std::function<void()>& handler) {
    std::exception_ptr failure;
    ++depth_;
    try {
      handler();
    } catch (...) {
      failure = std::current_exception();
    }
    // A box's own event loop may run handlers that hold boxes of their own:
    // they are shown by those handlers' ends, each box once.
    if (--depth_ == 0) {
      while (!held_.empty()) {
        const Box box = held_.front();
        held_.pop_front();
        Show(box);
      }
    }
    if (failure) std::rethrow_exception(failure);
  }

 private:
  struct Box {
    enum Kind { Message, Information, Error } kind;
    QPointer<QWidget> parent;  // the box still opens when its parent has gone
    QString caption;
    QString text;
  };

  void Ask(const Box& box) {
    if (depth_ > 0)
      held_.push_back(box);
    else
      Show(box);
  }
  static void Show(const Box& box) {
    DialogService& service = Service();
    QWidget* parent = box.parent.data();
    switch (box.kind) {
      case Box::Message:
        return service.ShowMessage(parent, box.text);
      case Box::Information:
        return service.InformationBox(parent, box.caption, box.text);
      case Box::Error:
        return service.ErrorBox(parent, box.caption, box.text);
    }
  }

  int depth_ = 0;
  std::deque<Box> held_;
};

HeldBoxes& Front() {
  static HeldBoxes front;
  return front;
}

}  // namespace

DialogService& Dialogs() { return Front(); }

void WithBoxesAfter(const std::function<void()>& Handler) { Front().Run(Handler); }

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
