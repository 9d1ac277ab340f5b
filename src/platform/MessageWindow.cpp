#include "platform/MessageWindow.h"

namespace kestra::platform {

bool MessageWindow::event(QEvent* e) {
  if (e->type() != PostedMessageEvent::EventType) return QObject::event(e);
  auto* m = static_cast<PostedMessageEvent*>(e);
  HandleMessage(m->Msg, m->WParam, m->LParam, std::move(m->Block));
  return true;
}

}  // namespace kestra::platform
