#include "platform/ThreadMessageQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace kestra::platform {

ThreadMessageQueue::ThreadMessageQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ThreadMessageQueue::~ThreadMessageQueue() {
  if (fd_ >= 0) close(fd_);
}

bool ThreadMessageQueue::Post(ThreadMessage msg) {
  if (fd_ < 0) return false;
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  messages_.push_back(std::move(msg));
  if (messages_.size() == 1) {
    uint64_t one = 1;
    if (write(fd_, &one, sizeof one) != sizeof one) {
      messages_.pop_back();
      return false;
    }
  }
  return true;
}

bool ThreadMessageQueue::Peek(ThreadMessage& out) {
  std::lock_guard lock(mutex_);
  if (messages_.empty()) return false;
  out = std::move(messages_.front());
  messages_.pop_front();
  if (messages_.empty()) {
    uint64_t value;
    [[maybe_unused]] auto n = read(fd_, &value, sizeof value);
  }
  return true;
}

bool ThreadMessageQueue::HasInput() const {
  std::lock_guard lock(mutex_);
  return !messages_.empty();
}

void ThreadMessageQueue::Close() {
  std::deque<ThreadMessage> dropped;
  std::lock_guard lock(mutex_);
  closed_ = true;
  dropped.swap(messages_);
}

}  // namespace kestra::platform
