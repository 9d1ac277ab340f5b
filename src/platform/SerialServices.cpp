#include "platform/SerialServices.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <vector>

#include "platform/MessageWindow.h"
#include "platform/ThreadMessageQueue.h"

namespace kestra::platform {

// ---------------------------------------------------------------- Event

Event::Event(bool manualReset) : manualReset_(manualReset) {
  fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  std::lock_guard lock(mutex_);
  if (signalled_) return;
  signalled_ = true;
  uint64_t one = 1;
  [[maybe_unused]] auto n = write(fd_, &one, sizeof one);
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  if (!signalled_) return;
  signalled_ = false;
  uint64_t value;
  [[maybe_unused]] auto n = read(fd_, &value, sizeof value);
}

bool Event::TryTake() {
  std::lock_guard lock(mutex_);
  if (!signalled_) return false;
  if (!manualReset_) {
    signalled_ = false;
    uint64_t value;
    [[maybe_unused]] auto n = read(fd_, &value, sizeof value);
  }
  return true;
}

bool Event::IsSignalled() const {
  std::lock_guard lock(mutex_);
  return signalled_;
}

// ---------------------------------------------------------------- waits

uint32_t WaitForObjects(const std::shared_ptr<KernelObject>* objects, uint32_t count,
                        ThreadMessageQueue* queue, uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<pollfd> fds(count + (queue ? 1 : 0));
  for (uint32_t i = 0; i < count; ++i) {
    if (!objects[i] || objects[i]->WaitFd() < 0) return WaitFailed;
    fds[i] = {objects[i]->WaitFd(), POLLIN, 0};
  }
  if (queue) {
    if (!queue->Valid()) return WaitFailed;
    fds[count] = {queue->WaitFd(), POLLIN, 0};
  }
  for (;;) {
    // Confirm under each object's own lock, lowest index first: the stop
    // event at index 0 wins over a completion signalled at the same time.
    for (uint32_t i = 0; i < count; ++i) {
      auto* ev = dynamic_cast<Event*>(objects[i].get());
      if (ev ? ev->TryTake() : objects[i]->IsSignalled()) return WaitObject0 + i;
    }
    if (queue && queue->HasInput()) return WaitObject0 + count;
    int ms = -1;
    if (timeoutMs != Infinite) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return WaitTimeout;
      ms = static_cast<int>(left);
    }
    int r = poll(fds.data(), fds.size(), ms);
    if (r < 0 && errno != EINTR) return WaitFailed;
  }
}

// ---------------------------------------------------------------- services

SerialServices::~SerialServices() {
  std::unordered_map<Handle, std::shared_ptr<KernelObject>> left;
  {
    std::lock_guard lock(tableMutex_);
    left.swap(objects_);
  }
  for (auto& [h, obj] : left) obj->OnClose();
}

Handle SerialServices::AddObject(std::shared_ptr<KernelObject> object) {
  std::lock_guard lock(tableMutex_);
  Handle h = nextHandle_;
  nextHandle_ += 4;
  objects_.emplace(h, std::move(object));
  return h;
}

std::shared_ptr<KernelObject> SerialServices::LookupObject(Handle h) {
  std::lock_guard lock(tableMutex_);
  auto it = objects_.find(h);
  return it == objects_.end() ? nullptr : it->second;
}

size_t SerialServices::HandleCount() {
  std::lock_guard lock(tableMutex_);
  return objects_.size();
}

bool SerialServices::CloseHandle(Handle h) {
  std::shared_ptr<KernelObject> obj;
  {
    std::lock_guard lock(tableMutex_);
    auto it = objects_.find(h);
    if (it == objects_.end()) return false;
    obj = std::move(it->second);
    objects_.erase(it);
  }
  obj->OnClose();
  return true;
}

Handle SerialServices::CreateEvent(bool manualReset, bool initialState) {
  auto ev = std::make_shared<Event>(manualReset);
  if (!ev->Valid()) return 0;
  if (initialState) ev->Set();
  return AddObject(std::move(ev));
}

bool SerialServices::SetEvent(Handle event) {
  auto ev = Lookup<Event>(event);
  if (!ev) return false;
  ev->Set();
  return true;
}

bool SerialServices::ResetEvent(Handle event) {
  auto ev = Lookup<Event>(event);
  if (!ev) return false;
  ev->Reset();
  return true;
}

uint32_t SerialServices::WaitForMultipleObjects(uint32_t count, const Handle* handles,
                                                uint32_t timeoutMs) {
  if (count == 0 || count > MaxWaitObjects) return WaitFailed;
  std::vector<std::shared_ptr<KernelObject>> objs(count);
  for (uint32_t i = 0; i < count; ++i) {
    objs[i] = LookupObject(handles[i]);
    if (!objs[i]) return WaitFailed;
  }
  return WaitForObjects(objs.data(), count, nullptr, timeoutMs);
}

uint32_t SerialServices::MsgWaitForMultipleObjects(ThreadMessageQueue& queue, uint32_t count,
                                                   const Handle* handles, uint32_t timeoutMs) {
  if (count > MaxWaitObjects) return WaitFailed;
  std::vector<std::shared_ptr<KernelObject>> objs(count);
  for (uint32_t i = 0; i < count; ++i) {
    objs[i] = LookupObject(handles[i]);
    if (!objs[i]) return WaitFailed;
  }
  return WaitForObjects(objs.data(), count, &queue, timeoutMs);
}

bool SerialServices::CreateThread(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

bool SerialServices::SetCurrentThreadPriority(int level) {
  // Normal threads share one scheduling class here; a higher level is a lower
  // nice value of this thread alone, which needs CAP_SYS_NICE to go below 0.
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  return setpriority(PRIO_PROCESS, tid, -level) == 0;
}

bool SerialServices::PostMessage(MessageWindow* window, uint32_t msg, uintptr_t wParam,
                                 uintptr_t lParam, std::unique_ptr<uint8_t[]> block) {
  if (!window || !QCoreApplication::instance()) return false;
  auto* event = new PostedMessageEvent(msg, wParam, lParam, std::move(block));
  window->NotePosted();
  QCoreApplication::postEvent(window, event);
  return true;
}

bool SerialServices::PostThreadMessage(ThreadMessageQueue& queue, uint32_t msg, uintptr_t wParam,
                                       std::unique_ptr<uint8_t[]> block) {
  return queue.Post(ThreadMessage{msg, wParam, std::move(block)});
}

}  // namespace kestra::platform
