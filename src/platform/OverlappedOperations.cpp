#include "platform/OverlappedOperations.h"

namespace kestra::platform {

void OverlappedOperations::Reset() {
  read = write = comm = OverlappedOp{};
  commMask = raised = lineErrors = 0;
  deadError = ErrSuccess;
}

void OverlappedOperations::Begin(OverlappedOp& op, Overlapped* ov, std::shared_ptr<Event> event) {
  op = OverlappedOp{};
  op.ov = ov;
  op.event = std::move(event);
  if (op.event) op.event->Reset();
  op.state = OpState::Pending;
  op.start = op.last = OverlappedOp::Clock::now();
}

void OverlappedOperations::Complete(OverlappedOp& op, uint32_t error) {
  op.state = OpState::Done;
  op.error = error;
  if (op.event) op.event->Set();
  completed_.notify_all();
}

uint32_t OverlappedOperations::EndAtOnce(OverlappedOp& op, uint32_t* transferred) {
  if (op.Pending()) Complete(op, ErrSuccess);
  op.state = OpState::Idle;
  if (transferred) *transferred = op.count;
  return ErrSuccess;
}

void OverlappedOperations::FailPending(uint32_t error) {
  for (OverlappedOp* op : {&read, &write, &comm})
    if (op->Pending()) Complete(*op, error);
}

void OverlappedOperations::Vanish() {
  if (deadError != ErrSuccess) return;
  deadError = ErrGenFailure;
  FailPending(deadError);
}

void OverlappedOperations::Abort(uint32_t purgeFlags) {
  if ((purgeFlags & PurgeTxAbort) && write.Pending()) Complete(write, ErrOperationAborted);
  if ((purgeFlags & PurgeRxAbort) && read.Pending()) Complete(read, ErrOperationAborted);
}

void OverlappedOperations::BeginWait(uint32_t* mask, Overlapped* ov, std::shared_ptr<Event> event) {
  Begin(comm, ov, std::move(event));
  comm.maskOut = mask;
}

uint32_t OverlappedOperations::EndWaitAtOnce() {
  if (raised == 0) return ErrIoPending;
  *comm.maskOut = comm.mask = raised;
  raised = 0;
  return EndAtOnce(comm, nullptr);
}

void OverlappedOperations::Raise(uint32_t events) {
  raised |= events;
  if (comm.Pending() && raised != 0) {
    comm.mask = raised;
    raised = 0;
    Complete(comm, ErrSuccess);
  }
}

uint32_t OverlappedOperations::TakeLineErrors(uint32_t* errors) {
  if (errors) *errors = lineErrors;
  lineErrors = 0;
  return ErrSuccess;
}

uint32_t OverlappedOperations::Collect(std::unique_lock<std::mutex>& lock, Overlapped* ov,
                                       uint32_t* transferred, bool wait) {
  OverlappedOp* op = nullptr;
  for (OverlappedOp* o : {&read, &write, &comm})
    if (o->ov == ov) op = o;
  if (!op) return ErrInvalidParameter;
  if (op->Pending()) {
    if (!wait) return ErrIoIncomplete;
    completed_.wait(lock, [op] { return !op->Pending(); });
  }
  if (transferred) *transferred = op == &comm ? 0 : op->count;
  // The mask goes out once, when a wait that went pending is collected.
  if (op == &comm && op->maskOut && op->state == OpState::Done) *op->maskOut = op->mask;
  op->state = OpState::Idle;
  return op->error;
}

}  // namespace kestra::platform
