// The reader and writer threads of an open TComm.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/SerialServices.h"
#include "platform/ThreadMessageQueue.h"

namespace kestra::platform {
class MessageWindow;
}

namespace kestra::serial {

// A worker thread created suspended: Create makes the thread, which waits
// until Start (or runs nothing when released unstarted).
class TCommThread {
 public:
  TCommThread(platform::SerialServices& services, platform::Handle port, platform::Handle stop,
              platform::MessageWindow* notify);
  virtual ~TCommThread() = default;
  TCommThread(const TCommThread&) = delete;
  TCommThread& operator=(const TCommThread&) = delete;

  // Creates the suspended thread; false when the platform refuses.
  bool Create();
  void SetPriority(int level) { priority_ = level; }
  void Start();
  // Waits up to ms for Execute to end; true when it has.
  bool WaitFor(uint32_t ms);
  // The mark a stop sets on a thread that did not end in time; never read by the thread.
  void Terminate() { terminated_ = true; }
  // Whether the platform accepted the priority (known once the thread runs).
  bool PriorityApplied() const { return priorityApplied_; }

 protected:
  virtual void Execute() = 0;
  // Waits, without limit, for the end of the thread; derived destructors call it first.
  void Release();

  platform::SerialServices& Services;
  const platform::Handle Port;
  const platform::Handle StopEvent;
  platform::MessageWindow* const NotifyWindow;

 private:
  void Body();

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  enum class Run { Suspended, Started, Released } run_ = Run::Suspended;
  bool finished_ = false;
  int priority_ = platform::PriorityNormal;
  std::atomic<bool> priorityApplied_{false};
  std::atomic<bool> terminated_{false};
};

class TReadThread : public TCommThread {
 public:
  using TCommThread::TCommThread;
  ~TReadThread() override { Release(); }

 protected:
  void Execute() override;

 private:
  bool StartRead();
  bool FinishRead();
  bool HandleReadData(const uint8_t* buffer, uint32_t count);
  bool StartCommEvent();
  bool HandleCommEvent(uint32_t mask, bool afterWait);
  bool PostReceiveData(std::unique_ptr<uint8_t[]> block, uint32_t count);
  bool PostReceiveError(uint32_t errors);
  bool PostModemState(uint32_t bits);
  void PostHangupCall();
  bool StopSet();
  // Ends quietly for an invalid handle, else posts a hang-up request; false.
  bool PortCallFailed(uint32_t error);

  static constexpr uint32_t ReadBufferSize = 2048;
  uint8_t readBuffer_[ReadBufferSize] = {};
  uint32_t eventMask_ = 0;
  platform::Overlapped readOv_;
  platform::Overlapped eventOv_;
};

class TWriteThread : public TCommThread {
 public:
  using TCommThread::TCommThread;
  ~TWriteThread() override { Release(); }

  // The writer's thread message queue (TComm::SendData posts to it).
  platform::ThreadMessageQueue& MessageQueue() { return queue_; }

 protected:
  void Execute() override;

 private:
  bool WriteBlock(const uint8_t* block, uint32_t size);
  void PostHangupCall();

  platform::ThreadMessageQueue queue_;
  platform::Overlapped writeOv_;
};

}  // namespace kestra::serial
