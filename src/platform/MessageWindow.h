// Hidden windows on the GUI thread: a QObject that receives posted messages
// (message number, WParam, LParam and an optional heap block) in posting order.
#pragma once

#include <QEvent>
#include <QObject>
#include <atomic>
#include <cstdint>
#include <memory>

namespace kestra::platform {

// The event that carries one posted message. It owns the message's heap block,
// so a message that is never delivered (its window destroyed first) frees it.
class PostedMessageEvent : public QEvent {
 public:
  static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 0x401);

  PostedMessageEvent(uint32_t msg, uintptr_t wParam, uintptr_t lParam,
                     std::unique_ptr<uint8_t[]> block)
      : QEvent(EventType), Msg(msg), WParam(wParam), LParam(lParam), Block(std::move(block)) {}

  uint32_t Msg;
  uintptr_t WParam;
  uintptr_t LParam;
  std::unique_ptr<uint8_t[]> Block;
};

class MessageWindow : public QObject {
 public:
  using QObject::QObject;
  ~MessageWindow() override;

  // Called by the posting thread after it has built an event for this window
  // and before it hands the event to Qt. Qt's queue passes events between
  // threads through locks a race detector cannot see; this release, paired
  // with an acquire before the window touches an event (or drops the ones it
  // never received), makes the hand-over visible to it as well.
  void NotePosted() { handOff_.fetch_add(1, std::memory_order_release); }
  // Receives one message on the window's thread. The block is the receiver's:
  // it is freed when the handler lets it go out of scope.
  virtual void HandleMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam,
                             std::unique_ptr<uint8_t[]> block) = 0;

  bool event(QEvent* e) override;

 private:
  std::atomic<uint64_t> handOff_{0};
};

}  // namespace kestra::platform
