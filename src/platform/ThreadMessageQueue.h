// A thread's message queue: other threads post, the owner takes messages in
// posting order. An eventfd is readable while the queue holds a message, so
// the owner can wait for "a stop event or any input" in one poll().
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace kestra::platform {

struct ThreadMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  std::unique_ptr<uint8_t[]> Block;  // the LParam block; whoever holds it frees it
};

class ThreadMessageQueue {
 public:
  ThreadMessageQueue();
  ~ThreadMessageQueue();
  ThreadMessageQueue(const ThreadMessageQueue&) = delete;
  ThreadMessageQueue& operator=(const ThreadMessageQueue&) = delete;

  bool Valid() const { return fd_ >= 0; }
  bool Post(ThreadMessage msg);
  // Takes the oldest message; false when none is waiting.
  bool Peek(ThreadMessage& out);
  bool HasInput() const;
  // Refuses further posts and frees what is still queued (its owner has ended).
  void Close();
  int WaitFd() const { return fd_; }

 private:
  mutable std::mutex mutex_;
  std::deque<ThreadMessage> messages_;
  bool closed_ = false;
  int fd_ = -1;
};

}  // namespace kestra::platform
