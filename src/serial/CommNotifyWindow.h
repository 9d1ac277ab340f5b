// The hidden window of a TComm: receives the worker threads' messages on the
// GUI thread and raises the component's events.
#pragma once

#include "platform/MessageWindow.h"

namespace kestra::serial {

class TComm;

class CommNotifyWindow : public platform::MessageWindow {
 public:
  explicit CommNotifyWindow(TComm& comm) : comm_(comm) {}
  void HandleMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam,
                     std::unique_ptr<uint8_t[]> block) override;

 private:
  TComm& comm_;
};

}  // namespace kestra::serial
