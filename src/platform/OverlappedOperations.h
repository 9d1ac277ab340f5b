// The driver's bookkeeping of one open port's overlapped operations, kept once
// for every backend: at most one read, one write and one comm-event wait
// outstanding at a time, each completed by signalling its caller's event and
// collected by GetOverlappedResult; the comm events raised while no wait is
// armed; the line errors ClearCommError hands out; and the error with which a
// device that went away fails everything.
//
// The backend moves the bytes and decides when an operation is done; this
// keeps what every backend must report the same way. It has no lock of its
// own: the backend guards it with its mutex, and every call is made with that
// mutex held (Collect is handed the lock to wait with).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/SerialServices.h"

namespace kestra::platform {

enum class OpState { Idle, Pending, Done };

// One overlapped operation of a port.
struct OverlappedOp {
  using Clock = std::chrono::steady_clock;

  Overlapped* ov = nullptr;      // the caller's record, by which it collects the result
  std::shared_ptr<Event> event;  // the record's event; none: nothing to signal
  OpState state = OpState::Idle;
  uint32_t error = ErrSuccess;
  uint32_t count = 0;  // bytes moved so far
  uint32_t size = 0;   // bytes asked for
  uint8_t* readBuf = nullptr;
  const uint8_t* writeBuf = nullptr;
  uint32_t* maskOut = nullptr;  // where a comm-event wait's mask goes when collected
  uint32_t mask = 0;            // the events that completed a comm-event wait
  Clock::time_point start{};    // when it was issued
  Clock::time_point last{};     // when it last moved bytes

  bool Pending() const { return state == OpState::Pending; }
};

class OverlappedOperations {
 public:
  OverlappedOp read, write, comm;
  uint32_t commMask = 0;            // the events SetCommMask asked for
  uint32_t raised = 0;              // comm events raised while no wait was armed
  uint32_t lineErrors = 0;          // CE_ bits not yet taken by ClearCommError
  uint32_t deadError = ErrSuccess;  // once the device has gone: what every call fails with

  // As on a port just opened: nothing issued, raised or failed.
  void Reset();

  // Issues op for the caller's record; its event stays reset until op completes.
  void Begin(OverlappedOp& op, Overlapped* ov, std::shared_ptr<Event> event);
  // Ends op with error and signals its event.
  void Complete(OverlappedOp& op, uint32_t error);
  // The call that issued op also completes it: the count goes back through
  // transferred (when given) and nothing is left to collect. ErrSuccess.
  uint32_t EndAtOnce(OverlappedOp& op, uint32_t* transferred);
  // Fails every pending operation with error.
  void FailPending(uint32_t error);
  // The device went away: the pending operations fail with an error other than
  // an invalid handle, and so does every later call (deadError).
  void Vanish();
  // The abort actions of PurgeComm: the pending write and read end aborted.
  void Abort(uint32_t purgeFlags);

  // Arms a comm-event wait whose mask goes to *mask.
  void BeginWait(uint32_t* mask, Overlapped* ov, std::shared_ptr<Event> event);
  // Events raised before the wait was armed complete it at once: ErrSuccess,
  // with the mask written. Otherwise ErrIoPending.
  uint32_t EndWaitAtOnce();
  // Comm events: they complete the armed wait, or are kept for the next one.
  void Raise(uint32_t events);
  // ClearCommError: hands out the line errors gathered so far and clears them.
  uint32_t TakeLineErrors(uint32_t* errors);

  // GetOverlappedResult for the operation issued with ov: ErrIoIncomplete
  // while it is pending and wait is false, else (after waiting, releasing lock
  // meanwhile) its result; the transferred count is 0 for a comm-event wait.
  uint32_t Collect(std::unique_lock<std::mutex>& lock, Overlapped* ov, uint32_t* transferred,
                   bool wait);

 private:
  std::condition_variable completed_;
};

}  // namespace kestra::platform
