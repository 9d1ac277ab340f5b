// An in-process port layer whose device side a test scripts: bytes the device
// sends, partial or held writes, line errors, modem changes, a vanishing
// device, and failing platform calls (open, set-up, events, threads, posts).
// One services object stands for one device; events, waits and messages are
// the real ones of the base layer.
#pragma once

#include <condition_variable>
#include <set>
#include <vector>

#include "platform/OverlappedOperations.h"
#include "platform/SerialServices.h"

namespace kestra::platform {

class ScriptedPort;

class ScriptedSerialServices : public SerialServices {
 public:
  ScriptedSerialServices();
  ~ScriptedSerialServices() override;

  // --- Failing platform calls ---
  void FailCreateFile(bool fail);
  void SetCharacterDevice(bool isChar);
  void FailSetupComm(bool fail);
  // The n-th CreateEvent from now (0 = the next) fails; -1 stops failing.
  void FailEventCreation(int n);
  // The n-th CreateThread from now (0 = the next) fails; -1 stops failing.
  void FailThreadCreation(int n);
  // Posting this window message fails from now on.
  void FailPost(uint32_t msg);
  void FailSetCommMask(bool fail);

  // --- The device ---
  void Receive(const std::vector<uint8_t>& bytes);  // bytes the device sends
  void SetMaxWriteChunk(uint32_t n);                // writes complete with at most n bytes
  void HoldWrites(bool hold);                       // writes stay pending
  void ReleaseWrite();                              // completes a held pending write
  void HoldReads(bool hold);                        // ReadFile waits before it reads
  int ReadsAtGate();                                // ReadFile calls waiting at the gate
  void LineError(uint32_t ceBits);                  // EV_ERR with these CE_ bits
  void SignalCommEvent(uint32_t evBits);            // any event bits (EV_RLSD, EV_RING, ...)
  void Vanish();                                    // the device goes away
  void FailNextWrite(uint32_t error);

  // --- What the component did ---
  bool PortOpen();
  bool WritePending();
  bool ReadPending();
  std::vector<uint8_t> Written();
  int WriteCalls();
  int ImmediateReads();  // reads that completed at once
  int SetCommStateCalls();
  int SetCommTimeoutsCalls();
  std::vector<uint32_t> Purges();
  DeviceControlBlock LastState();
  CommTimeouts LastTimeouts();

  // --- The layer ---
  Handle CreateFile(const std::string& path, uint32_t* error) override;
  bool IsCharacterDevice(Handle port) override;
  uint32_t SetupComm(Handle port, uint32_t inQueue, uint32_t outQueue) override;
  uint32_t PurgeComm(Handle port, uint32_t flags) override;
  uint32_t GetCommState(Handle port, DeviceControlBlock* dcb) override;
  uint32_t SetCommState(Handle port, const DeviceControlBlock& dcb) override;
  uint32_t GetCommTimeouts(Handle port, CommTimeouts* t) override;
  uint32_t SetCommTimeouts(Handle port, const CommTimeouts& t) override;
  uint32_t SetCommMask(Handle port, uint32_t mask) override;
  uint32_t WaitCommEvent(Handle port, uint32_t* mask, Overlapped* ov) override;
  uint32_t ReadFile(Handle port, void* buffer, uint32_t size, uint32_t* read,
                    Overlapped* ov) override;
  uint32_t WriteFile(Handle port, const void* buffer, uint32_t size, uint32_t* written,
                     Overlapped* ov) override;
  uint32_t GetOverlappedResult(Handle port, Overlapped* ov, uint32_t* transferred,
                               bool wait) override;
  uint32_t ClearCommError(Handle port, uint32_t* errors) override;
  Handle CreateEvent(bool manualReset, bool initialState) override;
  bool CreateThread(std::thread& thread, std::function<void()> body) override;
  bool PostMessage(MessageWindow* window, uint32_t msg, uintptr_t wParam, uintptr_t lParam,
                   std::unique_ptr<uint8_t[]> block = nullptr) override;

 private:
  // A copy of a member, taken under the lock.
  template <class T>
  T Locked(const T& member) {
    std::lock_guard lock(mutex_);
    return member;
  }
  // Sets a member under the lock.
  template <class T>
  void SetLocked(T& member, T value) {
    std::lock_guard lock(mutex_);
    member = value;
  }
  uint32_t Check(Handle port);  // ErrSuccess for the open, living port
  // Runs f under the lock when port is the open, living port; else its error.
  template <class F>
  uint32_t OnPort(Handle port, F&& f) {
    std::lock_guard lock(mutex_);
    if (uint32_t e = Check(port)) return e;
    return f();
  }
  std::shared_ptr<Event> EventOf(Overlapped* ov);
  void FillRead();
  uint32_t WriteChunk(const OverlappedOp& op);
  void Closed();

  friend class ScriptedPort;
  std::mutex mutex_;
  std::condition_variable readGate_;  // opened by HoldReads(false) and by the close
  Handle port_ = 0;
  bool failCreateFile_ = false, isChar_ = true, failSetup_ = false, failMask_ = false;
  int eventFailIn_ = -1, threadFailIn_ = -1;
  std::set<uint32_t> failPosts_;
  uint32_t maxChunk_ = 0xFFFFFFFF;
  bool holdWrites_ = false, holdReads_ = false;
  int readsAtGate_ = 0;
  uint32_t nextWriteError_ = ErrSuccess;
  std::vector<uint8_t> rx_, written_;
  int writeCalls_ = 0, immediateReads_ = 0, stateCalls_ = 0, timeoutCalls_ = 0;
  std::vector<uint32_t> purges_;
  DeviceControlBlock dcb_;
  CommTimeouts timeouts_;
  OverlappedOperations ops_;
};

}  // namespace kestra::platform
