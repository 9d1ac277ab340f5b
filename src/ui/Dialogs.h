// Modal message boxes, file dialogs and modal forms go through one replaceable
// interface, so tests can answer them without a person.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QDialog;
class QWidget;

namespace kestra::ui {

class DialogService {
 public:
  virtual ~DialogService() = default;
  // Plain message box with an OK button.
  virtual void ShowMessage(QWidget* parent, const QString& text) = 0;
  virtual void InformationBox(QWidget* parent, const QString& caption, const QString& text) = 0;
  virtual void ErrorBox(QWidget* parent, const QString& caption, const QString& text) = 0;
  // File dialogs: the chosen path, or nothing when cancelled.
  virtual std::optional<QString> OpenFile(QWidget* parent, const QString& filter,
                                          int filterIndex) = 0;
  virtual std::optional<QString> SaveFile(QWidget* parent, const QString& filter,
                                          const QString& defaultExt) = 0;
  // Shows a modal form; returns its dialog result.
  virtual int ShowModal(QDialog& dialog) = 0;
};

// The service in use (the real Qt dialogs unless replaced).
DialogService& Dialogs();
// Replaces the service; null restores the real one. Returns the previous one.
std::unique_ptr<DialogService> SetDialogs(std::unique_ptr<DialogService> service);

// Runs Handler with the message, information and error boxes it asks for held
// back: they are shown, in the order asked, once Handler has returned (and
// every enclosing one with it). The code that handles received bytes runs
// this way, so no box's event loop runs in the middle of it and delivers more
// bytes to a routine that has not finished with the last ones. File dialogs
// and modal forms are never held back.
void WithBoxesAfter(const std::function<void()>& Handler);

// Runs a handler; an exception that escapes it is shown in the error box
// (its message as text) and goes no further, as the toolkit's default
// handler does.
void Guard(QWidget* parent, const std::function<void()>& handler);

// A file dialog filter "Desc|pattern;pattern|Desc|pattern" as Qt's list of
// name filters, one "Desc (pattern pattern)" per pair.
QStringList FileDialogFilters(const QString& filter);

// Sounds the platform beep.
void Beep();

}  // namespace kestra::ui
