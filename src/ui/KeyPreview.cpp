#include "ui/KeyPreview.h"

#include <QApplication>
#include <QKeyEvent>

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
  if (event->type() != QEvent::KeyPress || !window_ || !watched->isWidgetType()) return false;
  auto* widget = static_cast<QWidget*>(watched);
  if (widget->window() != window_) return false;
  // A key that the control does not take goes on to its parents.
  if (event == lastEvent_ && lastReceiver_ && IsStrictAncestor(widget, lastReceiver_)) return false;
  lastEvent_ = event;
  lastReceiver_ = widget;
  const int code = CharacterCode(*static_cast<QKeyEvent*>(event));
  if (code != 0 && onKeyPress_) {
    QWidget* window = window_;
    Guard(window, [&] { onKeyPress_(code); });
  }
  return false;
}

}  // namespace kestra::ui
