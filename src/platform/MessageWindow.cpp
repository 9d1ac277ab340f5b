#include "platform/MessageWindow.h"

namespace kestra::platform {

MessageWindow::~MessageWindow() {
  // Qt frees the events still queued for this window after this body runs.
  handOff_.load(std::memory_order_acquire);
}

bool MessageWindow::event(QEvent* e) {
  handOff_.load(std::memory_order_acquire);
  if (e->type() != PostedMessageEvent::EventType) return QObject::event(e);
  auto* m = static_cast<PostedMessageEvent*>(e);
  HandleMessage(m->Msg, m->WParam, m->LParam, std::move(m->Block));
  return true;
}

}  // namespace kestra::platform
