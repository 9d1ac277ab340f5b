#include "platform/ScriptedSerial.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestra::platform {

class ScriptedPort : public KernelObject {
 public:
  explicit ScriptedPort(ScriptedSerialServices& s) : services_(s) {}
  void OnClose() override { services_.Closed(); }

 private:
  ScriptedSerialServices& services_;
};

ScriptedSerialServices::ScriptedSerialServices() = default;

ScriptedSerialServices::~ScriptedSerialServices() {
  const Handle port = Locked(port_);
  if (port) CloseHandle(port);  // while this object still exists
}

// ---------------------------------------------------------------- script

void ScriptedSerialServices::FailCreateFile(bool fail) { SetLocked(failCreateFile_, fail); }

void ScriptedSerialServices::SetCharacterDevice(bool isChar) { SetLocked(isChar_, isChar); }

void ScriptedSerialServices::FailSetupComm(bool fail) { SetLocked(failSetup_, fail); }

void ScriptedSerialServices::FailEventCreation(int n) { SetLocked(eventFailIn_, n); }

void ScriptedSerialServices::FailThreadCreation(int n) { SetLocked(threadFailIn_, n); }

void ScriptedSerialServices::FailPost(uint32_t msg) {
  std::lock_guard lock(mutex_);
  failPosts_.insert(msg);
}

void ScriptedSerialServices::FailSetCommMask(bool fail) { SetLocked(failMask_, fail); }

void ScriptedSerialServices::Receive(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  FillRead();
}

void ScriptedSerialServices::SetMaxWriteChunk(uint32_t n) {
  std::lock_guard lock(mutex_);
  maxChunk_ = std::max<uint32_t>(n, 1);
}

void ScriptedSerialServices::HoldWrites(bool hold) { SetLocked(holdWrites_, hold); }

void ScriptedSerialServices::ReleaseWrite() {
  std::lock_guard lock(mutex_);
  if (!ops_.write.Pending()) return;
  ops_.write.count = WriteChunk(ops_.write);
  ops_.Complete(ops_.write, ErrSuccess);
}

void ScriptedSerialServices::HoldReads(bool hold) {
  std::lock_guard lock(mutex_);
  holdReads_ = hold;
  readGate_.notify_all();
}

int ScriptedSerialServices::ReadsAtGate() { return Locked(readsAtGate_); }

void ScriptedSerialServices::LineError(uint32_t ceBits) {
  std::lock_guard lock(mutex_);
  ops_.lineErrors |= ceBits;
  ops_.Raise(EvErr);
}

void ScriptedSerialServices::SignalCommEvent(uint32_t evBits) {
  std::lock_guard lock(mutex_);
  ops_.Raise(evBits);
}

void ScriptedSerialServices::Vanish() {
  std::lock_guard lock(mutex_);
  ops_.Vanish();
}

void ScriptedSerialServices::FailNextWrite(uint32_t error) { SetLocked(nextWriteError_, error); }

bool ScriptedSerialServices::PortOpen() { return Locked(port_) != 0; }

bool ScriptedSerialServices::WritePending() { return Locked(ops_.write.state) == OpState::Pending; }

bool ScriptedSerialServices::ReadPending() { return Locked(ops_.read.state) == OpState::Pending; }

std::vector<uint8_t> ScriptedSerialServices::Written() { return Locked(written_); }

int ScriptedSerialServices::WriteCalls() { return Locked(writeCalls_); }

int ScriptedSerialServices::ImmediateReads() { return Locked(immediateReads_); }

int ScriptedSerialServices::SetCommStateCalls() { return Locked(stateCalls_); }

int ScriptedSerialServices::SetCommTimeoutsCalls() { return Locked(timeoutCalls_); }

std::vector<uint32_t> ScriptedSerialServices::Purges() { return Locked(purges_); }

DeviceControlBlock ScriptedSerialServices::LastState() { return Locked(dcb_); }

CommTimeouts ScriptedSerialServices::LastTimeouts() { return Locked(timeouts_); }

// ---------------------------------------------------------------- internals

uint32_t ScriptedSerialServices::Check(Handle port) {
  if (port == 0 || port != port_) return ErrInvalidHandle;
  return ops_.deadError;
}

std::shared_ptr<Event> ScriptedSerialServices::EventOf(Overlapped* ov) {
  return ov ? Lookup<Event>(ov->hEvent) : nullptr;
}

void ScriptedSerialServices::FillRead() {
  OverlappedOp& op = ops_.read;
  if (!op.Pending() || rx_.empty()) return;
  const uint32_t n = std::min<uint32_t>(op.size, static_cast<uint32_t>(rx_.size()));
  std::memcpy(op.readBuf, rx_.data(), n);
  rx_.erase(rx_.begin(), rx_.begin() + n);
  op.count = n;
  ops_.Complete(op, ErrSuccess);
}

uint32_t ScriptedSerialServices::WriteChunk(const OverlappedOp& op) {
  const uint32_t n = std::min(op.size, maxChunk_);
  written_.insert(written_.end(), op.writeBuf, op.writeBuf + n);
  return n;
}

void ScriptedSerialServices::Closed() {
  std::lock_guard lock(mutex_);
  ops_.FailPending(ErrOperationAborted);
  port_ = 0;
  holdReads_ = false;
  readGate_.notify_all();
}

// ---------------------------------------------------------------- the layer

Handle ScriptedSerialServices::CreateFile(const std::string&, uint32_t* error) {
  {
    std::lock_guard lock(mutex_);
    if (failCreateFile_ || port_ != 0) {
      if (error) *error = failCreateFile_ ? ErrFileNotFound : ErrSharingViolation;
      return 0;
    }
  }
  const Handle h = AddObject(std::make_shared<ScriptedPort>(*this));
  std::lock_guard lock(mutex_);
  port_ = h;
  rx_.clear();
  ops_.Reset();
  if (error) *error = ErrSuccess;
  return h;
}

bool ScriptedSerialServices::IsCharacterDevice(Handle port) {
  std::lock_guard lock(mutex_);
  return port == port_ && isChar_;
}

uint32_t ScriptedSerialServices::SetupComm(Handle port, uint32_t, uint32_t) {
  return OnPort(port, [&] { return failSetup_ ? ErrInvalidParameter : ErrSuccess; });
}

uint32_t ScriptedSerialServices::PurgeComm(Handle port, uint32_t flags) {
  std::lock_guard lock(mutex_);
  if (port != port_ || port == 0) return ErrInvalidHandle;
  purges_.push_back(flags);
  ops_.Abort(flags);
  if (flags & PurgeRxClear) rx_.clear();
  return ErrSuccess;
}

uint32_t ScriptedSerialServices::GetCommState(Handle port, DeviceControlBlock* dcb) {
  return OnPort(port, [&] { return *dcb = dcb_, ErrSuccess; });
}

uint32_t ScriptedSerialServices::SetCommState(Handle port, const DeviceControlBlock& dcb) {
  return OnPort(port, [&] { return ++stateCalls_, dcb_ = dcb, ErrSuccess; });
}

uint32_t ScriptedSerialServices::GetCommTimeouts(Handle port, CommTimeouts* t) {
  return OnPort(port, [&] { return *t = timeouts_, ErrSuccess; });
}

uint32_t ScriptedSerialServices::SetCommTimeouts(Handle port, const CommTimeouts& t) {
  return OnPort(port, [&] { return ++timeoutCalls_, timeouts_ = t, ErrSuccess; });
}

uint32_t ScriptedSerialServices::SetCommMask(Handle port, uint32_t mask) {
  return OnPort(port, [&] {
    if (failMask_) return ErrInvalidParameter;
    ops_.commMask = mask;
    return ErrSuccess;
  });
}

uint32_t ScriptedSerialServices::WaitCommEvent(Handle port, uint32_t* mask, Overlapped* ov) {
  return OnPort(port, [&] {
    ops_.BeginWait(mask, ov, EventOf(ov));
    return ops_.EndWaitAtOnce();
  });
}

uint32_t ScriptedSerialServices::ReadFile(Handle port, void* buffer, uint32_t size, uint32_t* read,
                                          Overlapped* ov) {
  std::unique_lock lock(mutex_);
  if (holdReads_) {
    ++readsAtGate_;
    readGate_.wait(lock, [this] { return !holdReads_; });
    --readsAtGate_;
  }
  if (uint32_t e = Check(port)) return e;
  OverlappedOp& op = ops_.read;
  ops_.Begin(op, ov, EventOf(ov));
  op.readBuf = static_cast<uint8_t*>(buffer);
  op.size = size;
  FillRead();
  if (op.Pending()) return ErrIoPending;
  ++immediateReads_;
  return ops_.EndAtOnce(op, read);
}

uint32_t ScriptedSerialServices::WriteFile(Handle port, const void* buffer, uint32_t size,
                                           uint32_t* written, Overlapped* ov) {
  std::lock_guard lock(mutex_);
  if (uint32_t e = Check(port)) return e;
  ++writeCalls_;
  if (uint32_t e = std::exchange(nextWriteError_, ErrSuccess)) return e;
  OverlappedOp& op = ops_.write;
  ops_.Begin(op, ov, EventOf(ov));
  op.writeBuf = static_cast<const uint8_t*>(buffer);
  op.size = size;
  if (holdWrites_) return ErrIoPending;
  op.count = WriteChunk(op);
  return ops_.EndAtOnce(op, written);
}

uint32_t ScriptedSerialServices::GetOverlappedResult(Handle port, Overlapped* ov,
                                                     uint32_t* transferred, bool wait) {
  std::unique_lock lock(mutex_);
  if (port == 0 || port != port_) return ErrInvalidHandle;
  return ops_.Collect(lock, ov, transferred, wait);
}

uint32_t ScriptedSerialServices::ClearCommError(Handle port, uint32_t* errors) {
  std::lock_guard lock(mutex_);
  if (uint32_t e = Check(port)) return e;
  return ops_.TakeLineErrors(errors);
}

Handle ScriptedSerialServices::CreateEvent(bool manualReset, bool initialState) {
  {
    std::lock_guard lock(mutex_);
    if (eventFailIn_ >= 0 && eventFailIn_-- == 0) return 0;
  }
  return SerialServices::CreateEvent(manualReset, initialState);
}

bool ScriptedSerialServices::CreateThread(std::thread& thread, std::function<void()> body) {
  {
    std::lock_guard lock(mutex_);
    if (threadFailIn_ >= 0 && threadFailIn_-- == 0) return false;
  }
  return SerialServices::CreateThread(thread, std::move(body));
}

bool ScriptedSerialServices::PostMessage(MessageWindow* window, uint32_t msg, uintptr_t wParam,
                                         uintptr_t lParam, std::unique_ptr<uint8_t[]> block) {
  {
    std::lock_guard lock(mutex_);
    if (failPosts_.count(msg)) return false;  // the block goes with the refused message
  }
  return SerialServices::PostMessage(window, msg, wParam, lParam, std::move(block));
}

}  // namespace kestra::platform
