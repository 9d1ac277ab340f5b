#include "serial/CommThreads.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/MessageWindow.h"
#include "serial/TComm.h"

namespace kestra::serial {

using namespace kestra::platform;

namespace {
constexpr uint32_t CommEventMask = EvRlsd | EvErr | EvRing;  // 0x1A0
}

// ---------------------------------------------------------------- TCommThread

TCommThread::TCommThread(SerialServices& services, Handle port, Handle stop, MessageWindow* notify)
    : Services(services), Port(port), StopEvent(stop), NotifyWindow(notify) {}

bool TCommThread::Create() {
  return Services.CreateThread(thread_, [this] { Body(); });
}

void TCommThread::Body() {
  {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return run_ != Run::Suspended; });
    if (run_ == Run::Released) {
      finished_ = true;
      return;
    }
  }
  priorityApplied_ = Services.SetCurrentThreadPriority(priority_);
  Execute();
  std::lock_guard lock(mutex_);
  finished_ = true;
  cv_.notify_all();
}

void TCommThread::Start() {
  std::lock_guard lock(mutex_);
  if (run_ == Run::Suspended) run_ = Run::Started;
  cv_.notify_all();
}

bool TCommThread::WaitFor(uint32_t ms) {
  std::unique_lock lock(mutex_);
  if (run_ == Run::Suspended) return true;  // never started: nothing runs
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished_; });
}

void TCommThread::Release() {
  {
    std::lock_guard lock(mutex_);
    if (run_ == Run::Suspended) run_ = Run::Released;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------- TReadThread

void TReadThread::Execute() {
  Handle readEvent = Services.CreateEvent(true, true);
  Handle commEvent = Services.CreateEvent(true, true);
  readOv_ = Overlapped{readEvent};
  eventOv_ = Overlapped{commEvent};
  [&] {
    if (readEvent == 0 || commEvent == 0) return PostHangupCall();
    if (Services.SetCommMask(Port, CommEventMask) != ErrSuccess) return PostHangupCall();
    if (!StartCommEvent() || !StartRead()) return;
    const Handle waits[3] = {StopEvent, commEvent, readEvent};
    for (;;) {
      const uint32_t r = Services.WaitForMultipleObjects(3, waits, Infinite);
      if (r == WaitObject0) return;  // stop
      if (r == WaitObject0 + 1) {
        if (!HandleCommEvent(eventMask_, true) || !StartCommEvent()) return;
      } else if (r == WaitObject0 + 2) {
        if (!FinishRead() || !StartRead()) return;
      } else {
        return PostHangupCall();
      }
    }
  }();
  Services.PurgeComm(Port, PurgeRxAbort | PurgeRxClear);
  if (readEvent) Services.CloseHandle(readEvent);
  if (commEvent) Services.CloseHandle(commEvent);
}

bool TReadThread::StopSet() {
  return Services.WaitForMultipleObjects(1, &StopEvent, 0) == WaitObject0;
}

bool TReadThread::PortCallFailed(uint32_t error) {
  if (error != ErrInvalidHandle) PostHangupCall();
  return false;
}

bool TReadThread::StartRead() {
  for (;;) {
    if (StopSet()) return false;
    uint32_t count = 0;
    const uint32_t r = Services.ReadFile(Port, readBuffer_, ReadBufferSize, &count, &readOv_);
    if (r == ErrSuccess) {
      // Data already waiting in the driver is taken without a wait.
      if (!HandleReadData(readBuffer_, count)) return false;
      continue;
    }
    if (r == ErrIoPending) return true;
    return PortCallFailed(r);
  }
}

bool TReadThread::FinishRead() {
  uint32_t count = 0;
  const uint32_t r = Services.GetOverlappedResult(Port, &readOv_, &count, false);
  if (r != ErrSuccess) return PortCallFailed(r);
  return HandleReadData(readBuffer_, count);
}

bool TReadThread::HandleReadData(const uint8_t* buffer, uint32_t count) {
  // Only total read time-outs can complete a read empty; the reader then ends.
  if (count == 0) return false;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[count + 1]());
  if (!block) {
    PostHangupCall();
    return false;
  }
  std::memcpy(block.get(), buffer, count);
  return PostReceiveData(std::move(block), count);
}

bool TReadThread::StartCommEvent() {
  while (!StopSet()) {
    const uint32_t r = Services.WaitCommEvent(Port, &eventMask_, &eventOv_);
    if (r == ErrSuccess) {
      if (!HandleCommEvent(eventMask_, false)) return false;
      continue;
    }
    if (r == ErrIoPending) return true;
    return PortCallFailed(r);
  }
  return false;
}

bool TReadThread::HandleCommEvent(uint32_t mask, bool afterWait) {
  bool result = false;
  if (afterWait) {
    uint32_t unused = 0;
    const uint32_t r = Services.GetOverlappedResult(Port, &eventOv_, &unused, false);
    if (r != ErrSuccess) return PortCallFailed(r);
    mask = eventMask_;  // filled in by the completed wait
  }
  if (mask & EvErr) {
    uint32_t errors = 0;
    const uint32_t r = Services.ClearCommError(Port, &errors);
    if (r != ErrSuccess) return PortCallFailed(r);
    if (!PostReceiveError(errors)) return false;
    result = true;
  }
  uint32_t bits = 0;
  if (mask & EvRlsd) bits += 8;
  if (mask & EvRing) bits += 4;
  if (bits != 0) {
    if (!PostModemState(bits)) return false;
    result = true;
  }
  if (!(mask & EvErr) && bits == 0) {
    PostHangupCall();
    return false;
  }
  return result;
}

bool TReadThread::PostReceiveData(std::unique_ptr<uint8_t[]> block, uint32_t count) {
  if (Services.PostMessage(NotifyWindow, CommMsgReceiveData, count, 0, std::move(block)))
    return true;
  PostHangupCall();
  return false;
}

bool TReadThread::PostReceiveError(uint32_t errors) {
  if (Services.PostMessage(NotifyWindow, CommMsgReceiveError, 0, errors)) return true;
  PostHangupCall();
  return false;
}

bool TReadThread::PostModemState(uint32_t bits) {
  if (Services.PostMessage(NotifyWindow, CommMsgModemState, 0, bits)) return true;
  PostHangupCall();
  return false;
}

void TReadThread::PostHangupCall() {
  Services.PostMessage(NotifyWindow, CommMsgRequestHangup, 0, 0);
}

// ---------------------------------------------------------------- TWriteThread

void TWriteThread::Execute() {
  Handle writeEvent = Services.CreateEvent(true, true);
  writeOv_ = Overlapped{writeEvent};
  [&] {
    if (writeEvent == 0) return PostHangupCall();
    bool notify = true;
    ThreadMessage msg;
    for (;;) {
      if (!queue_.Peek(msg)) {
        if (notify && !Services.PostMessage(NotifyWindow, CommMsgSendDataEmpty, 0, 0))
          return PostHangupCall();
        notify = false;
        const uint32_t r = Services.MsgWaitForMultipleObjects(queue_, 1, &StopEvent, Infinite);
        if (r == WaitObject0) return;
        if (r == WaitObject0 + 1) continue;
        return PostHangupCall();
      }
      if (Services.WaitForMultipleObjects(1, &StopEvent, 0) == WaitObject0) return;
      if (msg.Msg != CommMsgWriteData) {
        msg.Block.reset();
        continue;  // other thread messages are dropped
      }
      const bool ok = WriteBlock(msg.Block.get(), static_cast<uint32_t>(msg.WParam));
      msg.Block.reset();  // freed whether the write worked or not
      if (!ok) return;
      notify = true;
    }
  }();
  // Blocks still queued are not written: they are freed here, and later posts fail.
  queue_.Close();
  Services.PurgeComm(Port, PurgeTxAbort | PurgeTxClear);
  if (writeEvent) Services.CloseHandle(writeEvent);
}

bool TWriteThread::WriteBlock(const uint8_t* block, uint32_t size) {
  const Handle waits[2] = {StopEvent, writeOv_.hEvent};
  uint32_t offset = 0;
  uint32_t remaining = size;
  while (remaining > 0) {
    uint32_t written = 0;
    uint32_t r = Services.WriteFile(Port, block + offset, remaining, &written, &writeOv_);
    if (r == ErrInvalidHandle) return false;
    if (r == ErrIoPending) {
      const uint32_t w = Services.WaitForMultipleObjects(2, waits, Infinite);
      if (w != WaitObject0 + 1) {
        // The write is still pending on the caller's block, which is freed as
        // soon as this returns: abort it first so the driver lets go of it.
        Services.PurgeComm(Port, PurgeTxAbort);
        if (w != WaitObject0) PostHangupCall();
        return false;
      }
      r = Services.GetOverlappedResult(Port, &writeOv_, &written, true);
      if (r == ErrInvalidHandle) return false;
    }
    if (r != ErrSuccess) {
      PostHangupCall();
      return false;
    }
    // A partial write is continued with the rest.
    remaining -= std::min(written, remaining);
    offset += written;
  }
  return true;
}

void TWriteThread::PostHangupCall() {
  Services.PostMessage(NotifyWindow, CommMsgRequestHangup, 0, 0);
}

}  // namespace kestra::serial
