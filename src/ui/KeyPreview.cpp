#include "ui/KeyPreview.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWindow>

namespace kestra::ui {

namespace {

int CharacterCode(const QKeyEvent& key) {
  switch (key.key()) {
    case Qt::Key_Space:
      return 32;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return 13;
    default:
      break;
  }
  const QString text = key.text();
  return text.isEmpty() ? 0 : text.front().unicode();
}

bool IsStrictAncestor(const QWidget* ancestor, const QWidget* w) {
  for (const QWidget* p = w ? w->parentWidget() : nullptr; p; p = p->parentWidget()) {
    if (p == ancestor) return true;
  }
  return false;
}

}  // namespace

KeyPreview::KeyPreview(QWidget* window, std::function<void(int key)> onKeyPress)
    : QObject(window), window_(window), onKeyPress_(std::move(onKeyPress)) {
  // Key events go to the focused control first; only the application sees
  // them before it.
  qApp->installEventFilter(this);
}

KeyPreview::~KeyPreview() {
  if (qApp) qApp->removeEventFilter(this);
}

bool KeyPreview::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress || !window_) return false;
  const QEvent* previous = lastEvent_;
  const QWidget* previousReceiver = lastReceiver_;
  if (watched == window_->windowHandle()) {
    // A key from the keyboard: the window gets it first and hands it on to
    // the focused control (and that one to its parents); report it here, once.
    lastEvent_ = event;
    lastReceiver_ = nullptr;
  } else if (watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == window_) {
    auto* widget = static_cast<QWidget*>(watched);
    // The same key on its way from the window to the control, or from a
    // control that did not take it to its parents: already reported.
    if (event == previous && (!previousReceiver || IsStrictAncestor(widget, previousReceiver))) {
      return false;
    }
    // A key sent straight to a control.
    lastEvent_ = event;
    lastReceiver_ = widget;
  } else {
    return false;
  }
  const int code = CharacterCode(*static_cast<QKeyEvent*>(event));
  if (code != 0 && onKeyPress_) {
    QWidget* window = window_;
    Guard(window, [&] { onKeyPress_(code); });
  }
  return false;
}

}  // namespace kestra::ui
