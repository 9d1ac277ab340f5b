// Key preview and handler connections for the forms.
//
// Forms connect their handlers to Qt's signals so that they behave as the
// console's handlers expect:
// - A check box's click handler connects to QCheckBox::toggled (not clicked):
//   it then also runs when the program changes the box (setChecked), and only
//   when the state really changes.
// - An edit's change handler connects to QLineEdit::textChanged: it runs for
//   programmatic setText as well, and only when the text really changes.
// - Every handler runs inside Guard (ui/Dialogs.h), so that no exception
//   crosses Qt's event dispatch; OnSignal below connects one that way.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

#include "ui/Dialogs.h"

namespace kestra::ui {

// Sees every key press in a window before the control that has the focus, and
// hands the key's character code to a callback (Space 32, Enter 13, other keys
// their character; keys without a character are not reported). The key goes
// on to the control unchanged. Owned by the window; the callback runs inside
// Guard. Keys from the keyboard reach the window first and are reported
// there; a key sent straight to a control (QTest::keyClick(control, ...)) is
// reported at that control. Tests that want the real path send keys to the
// window: QTest::keyClick(window->windowHandle(), Qt::Key_Space) goes to the
// window's focus widget as a keyboard key does.
class KeyPreview : public QObject {
  Q_OBJECT
 public:
  KeyPreview(QWidget* window, std::function<void(int key)> onKeyPress);
  ~KeyPreview() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPointer<QWidget> window_;
  std::function<void(int)> onKeyPress_;
  // The key event last reported and the widget it was reported at (none when
  // at the window): the same event handed on is not reported again.
  const QEvent* lastEvent_ = nullptr;
  QPointer<QWidget> lastReceiver_;
};

// Connects a handler without arguments to a signal of sender; the handler runs
// inside Guard(parent, ...) and is disconnected when parent goes.
template <typename Sender, typename Signal>
QMetaObject::Connection OnSignal(Sender* sender, Signal signal, QWidget* parent,
                                 std::function<void()> handler) {
  return QObject::connect(sender, signal, parent,
                          [parent, handler = std::move(handler)] { Guard(parent, handler); });
}

}  // namespace kestra::ui
