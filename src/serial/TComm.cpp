#include "serial/TComm.h"

#include <cstring>
#include <new>

#include "platform/PosixSerial.h"
#include "serial/CommNotifyWindow.h"
#include "serial/CommThreads.h"

namespace kestra::serial {

using namespace kestra::platform;

namespace {

constexpr uint32_t QueueSize = 4096;
constexpr uint32_t StopWaitMs = 10000;

// Stores a new value; true when it really changed.
template <class T>
bool Change(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

// The stop protocol: set the stop event, purge the thread's side, wait up to
// 10 s, mark a late thread terminated, then release it (which waits for its end).
template <class Thread>
void StopThread(SerialServices& services, Handle stop, Handle port, uint32_t purge,
                std::unique_ptr<Thread>& thread) {
  if (!thread) return;
  services.SetEvent(stop);
  services.PurgeComm(port, purge);
  if (!thread->WaitFor(StopWaitMs)) thread->Terminate();
  thread.reset();
}

}  // namespace

// ---------------------------------------------------------------- hidden window

void CommNotifyWindow::HandleMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam,
                                     std::unique_ptr<uint8_t[]> block) {
  switch (msg) {
    case CommMsgReceiveData:
      // The block is freed when this returns, whether or not a handler is set.
      if (block) comm_.DoReceiveData(block.get(), static_cast<uint16_t>(wParam));
      break;
    case CommMsgReceiveError:
      comm_.DoReceiveError(static_cast<uint32_t>(lParam));
      break;
    case CommMsgRequestHangup:
      comm_.DoRequestHangup();
      break;
    case CommMsgModemState:
      comm_.DoModemStateChange(static_cast<uint32_t>(lParam));
      break;
    case CommMsgSendDataEmpty:
      comm_.DoSendDataEmpty();
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------- TComm

TComm::TComm(std::shared_ptr<SerialServices> services)
    : Services_(services ? std::move(services) : std::make_shared<PosixSerialServices>()),
      NotifyWindow(std::make_unique<CommNotifyWindow>(*this)) {}

TComm::~TComm() { ClosePort(); }

void TComm::OpenPort() {
  if (PortHandle_ != 0) throw ECommsError("This serial port already opened");

  uint32_t error = 0;
  const Handle port = Services_->CreateFile(PortPath(CommName), &error);
  if (port == 0) throw ECommsError("Error opening serial port:" + CommName);
  if (!Services_->IsCharacterDevice(port)) {
    Services_->CloseHandle(port);
    throw ECommsError("File handle is not a comm handle ");
  }
  if (Services_->SetupComm(port, QueueSize, QueueSize) != ErrSuccess) {
    Services_->CloseHandle(port);
    throw ECommsError("Cannot setup comm buffer");
  }

  PortHandle_ = port;
  Services_->PurgeComm(port, PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear);
  ApplyCommTimeouts();
  ApplyCommState();

  auto closePort = [this] {
    Services_->CloseHandle(PortHandle_);
    PortHandle_ = 0;
  };
  StopEvent = Services_->CreateEvent(true, false);
  if (StopEvent == 0) {
    closePort();
    throw ECommsError("Unable to create event");
  }
  auto closeStop = [this] {
    Services_->CloseHandle(StopEvent);
    StopEvent = 0;
  };

  ReaderThread =
      std::make_unique<TReadThread>(*Services_, PortHandle_, StopEvent, NotifyWindow.get());
  if (!ReaderThread->Create()) {
    ReaderThread.reset();
    closeStop();
    closePort();
    throw ECommsError("Unable to create read thread");
  }
  ReaderThread->SetPriority(PriorityHighest);

  WriterThread =
      std::make_unique<TWriteThread>(*Services_, PortHandle_, StopEvent, NotifyWindow.get());
  if (!WriterThread->Create()) {
    WriterThread.reset();
    StopReadThread();
    closeStop();
    closePort();
    throw ECommsError("Unable to create write thread");
  }
  WriterThread->SetPriority(PriorityHigher);

  ReaderThread->Start();
  WriterThread->Start();
}

void TComm::ClosePort() {
  if (PortHandle_ == 0) return;
  StopReadThread();
  StopWriteThread();
  Services_->CloseHandle(StopEvent);
  StopEvent = 0;
  Services_->CloseHandle(PortHandle_);
  PortHandle_ = 0;
}

void TComm::StopReadThread() {
  StopThread(*Services_, StopEvent, PortHandle_, PurgeRxAbort | PurgeRxClear, ReaderThread);
}

void TComm::StopWriteThread() {
  StopThread(*Services_, StopEvent, PortHandle_, PurgeTxAbort | PurgeTxClear, WriterThread);
}

bool TComm::SendData(const void* Data, uint16_t Size) {
  if (!WriterThread || Size == 0 || Data == nullptr) return false;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[Size + 1]());
  if (!block) return false;
  std::memcpy(block.get(), Data, Size);
  // A failed post frees the block with the message.
  return Services_->PostThreadMessage(WriterThread->MessageQueue(), CommMsgWriteData, Size,
                                      std::move(block));
}

void TComm::ApplyCommState() {
  DeviceControlBlock dcb;
  Services_->GetCommState(PortHandle_, &dcb);
  dcb.BaudRate = BaudRate_;
  dcb.fBinary = true;
  dcb.fParity = ParityCheck_;
  dcb.fOutxCtsFlow = Outx_CtsFlow_;
  dcb.fOutxDsrFlow = Outx_DsrFlow_;
  static constexpr uint8_t DtrValues[] = {1, 0, 2};
  dcb.fDtrControl = DtrValues[static_cast<int>(DtrControl_)];
  dcb.fDsrSensitivity = DsrSensitivity_;
  dcb.fTXContinueOnXoff = TxContinueOnXoff_;
  dcb.fOutX = Outx_XonXoffFlow_;
  dcb.fInX = Inx_XonXoffFlow_;
  dcb.fErrorChar = ReplaceWhenParityError_;
  dcb.fNull = IgnoreNullChar_;
  static constexpr uint8_t RtsValues[] = {1, 0, 2, 3};
  dcb.fRtsControl = RtsValues[static_cast<int>(RtsControl_)];
  dcb.fAbortOnError = false;
  dcb.XonLim = XonLimit_;
  dcb.XoffLim = XoffLimit_;
  dcb.ByteSize = static_cast<uint8_t>(static_cast<int>(ByteSize_) + 5);
  dcb.Parity = static_cast<uint8_t>(Parity);
  dcb.StopBits = static_cast<uint8_t>(StopBits_);
  dcb.XonChar = XonChar_;
  dcb.XoffChar = XoffChar_;
  dcb.ErrorChar = ReplacedChar_;
  Services_->SetCommState(PortHandle_, dcb);
}

void TComm::ApplyCommTimeouts() {
  CommTimeouts t;
  Services_->GetCommTimeouts(PortHandle_, &t);
  t = {.ReadIntervalTimeout = ReadIntervalTimeout_,
       .ReadTotalTimeoutMultiplier = ReadTotalTimeoutMultiplier_,
       .ReadTotalTimeoutConstant = ReadTotalTimeoutConstant_,
       .WriteTotalTimeoutMultiplier = WriteTotalTimeoutMultiplier_,
       .WriteTotalTimeoutConstant = WriteTotalTimeoutConstant_};
  Services_->SetCommTimeouts(PortHandle_, t);
}

#define KESTRA_LINE_SETTER(Name, Type)                       \
  void TComm::Set##Name(Type v) {                            \
    if (Change(Name##_, v) && PortHandle_) ApplyCommState(); \
  }
#define KESTRA_TIMEOUT_SETTER(Name)                             \
  void TComm::Set##Name(uint32_t v) {                           \
    if (Change(Name##_, v) && PortHandle_) ApplyCommTimeouts(); \
  }

KESTRA_LINE_SETTER(BaudRate, uint32_t)
KESTRA_LINE_SETTER(ParityCheck, bool)
KESTRA_LINE_SETTER(Outx_CtsFlow, bool)
KESTRA_LINE_SETTER(Outx_DsrFlow, bool)
KESTRA_LINE_SETTER(DtrControl, TDtrControl)
KESTRA_LINE_SETTER(DsrSensitivity, bool)
KESTRA_LINE_SETTER(TxContinueOnXoff, bool)
KESTRA_LINE_SETTER(Outx_XonXoffFlow, bool)
KESTRA_LINE_SETTER(Inx_XonXoffFlow, bool)
KESTRA_LINE_SETTER(ReplaceWhenParityError, bool)
KESTRA_LINE_SETTER(IgnoreNullChar, bool)
KESTRA_LINE_SETTER(RtsControl, TRtsControl)
KESTRA_LINE_SETTER(XonLimit, uint16_t)
KESTRA_LINE_SETTER(XoffLimit, uint16_t)
KESTRA_LINE_SETTER(ByteSize, TByteSize)
KESTRA_LINE_SETTER(StopBits, TStopBits)
KESTRA_LINE_SETTER(XonChar, char)
KESTRA_LINE_SETTER(XoffChar, char)
KESTRA_LINE_SETTER(ReplacedChar, char)
KESTRA_TIMEOUT_SETTER(ReadIntervalTimeout)
KESTRA_TIMEOUT_SETTER(ReadTotalTimeoutMultiplier)
KESTRA_TIMEOUT_SETTER(ReadTotalTimeoutConstant)
KESTRA_TIMEOUT_SETTER(WriteTotalTimeoutMultiplier)
KESTRA_TIMEOUT_SETTER(WriteTotalTimeoutConstant)

#undef KESTRA_LINE_SETTER
#undef KESTRA_TIMEOUT_SETTER

void TComm::DoReceiveData(const uint8_t* Buffer, uint16_t BufferLength) {
  if (OnReceiveData) OnReceiveData(this, Buffer, BufferLength);
}

void TComm::DoReceiveError(uint32_t EventMask) {
  if (OnReceiveError) OnReceiveError(this, EventMask);
}

void TComm::DoModemStateChange(uint32_t ModemEvent) {
  if (OnModemStateChange) OnModemStateChange(this, ModemEvent);
}

void TComm::DoRequestHangup() {
  if (OnRequestHangup) OnRequestHangup(this);
}

void TComm::DoSendDataEmpty() {
  if (OnSendDataEmpty) OnSendDataEmpty(this);
}

void ApplyDeviceLinkSettings(TComm& comm, uint32_t readIntervalMs) {
  comm.SetBaudRate(1000000);
  comm.SetParityCheck(false);
  comm.SetOutx_CtsFlow(false);
  comm.SetOutx_DsrFlow(false);
  comm.SetDtrControl(TDtrControl::DtrDisable);
  comm.SetDsrSensitivity(false);
  comm.SetTxContinueOnXoff(false);
  comm.SetOutx_XonXoffFlow(false);
  comm.SetInx_XonXoffFlow(false);
  comm.SetReplaceWhenParityError(false);
  comm.SetIgnoreNullChar(false);
  comm.SetRtsControl(TRtsControl::RtsDisable);
  comm.SetXonLimit(10);
  comm.SetXoffLimit(10);
  comm.SetByteSize(TByteSize::_8);
  comm.Parity = TParity::None;
  comm.SetStopBits(TStopBits::_2);
  comm.SetXonChar('0');
  comm.SetXoffChar('0');
  comm.SetReplacedChar(0);
  comm.SetReadIntervalTimeout(readIntervalMs);
  comm.SetReadTotalTimeoutMultiplier(0);
  comm.SetReadTotalTimeoutConstant(0);
  comm.SetWriteTotalTimeoutMultiplier(0);
  comm.SetWriteTotalTimeoutConstant(0);
}

}  // namespace kestra::serial
