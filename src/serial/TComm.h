// TComm: one serial port, opened by name, with a reader and a writer thread.
//
// The component lives on the GUI thread. While the port is open its two worker
// threads do all port I/O and report through messages posted to the
// component's notify object, whose handler raises the events below on the GUI
// thread in posting order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

class QObject;

namespace kestra::platform {
class SerialServices;  // the port layer (POSIX ttys or the scripted test backend)
}

namespace kestra::serial {

class TComm;
class TReadThread;
class TWriteThread;
class CommNotifyWindow;

// Raised by TComm::OpenPort; carries only its message text.
class ECommsError : public std::runtime_error {
 public:
  explicit ECommsError(const std::string& msg) : std::runtime_error(msg) {}
};

// Ordinal order matters: it is the order of the line-setting mapping.
enum class TDtrControl : uint8_t { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl : uint8_t { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize : uint8_t { _5, _6, _7, _8 };
enum class TParity : uint8_t { None, Odd, Even, Mark, Space };
enum class TStopBits : uint8_t { _1, _1_5, _2 };

// Window messages posted by the worker threads, and the writer's thread message.
inline constexpr uint32_t CommMsgReceiveData = 1025;
inline constexpr uint32_t CommMsgReceiveError = 1026;
inline constexpr uint32_t CommMsgRequestHangup = 1027;
inline constexpr uint32_t CommMsgModemState = 1028;
inline constexpr uint32_t CommMsgSendDataEmpty = 1029;
inline constexpr uint32_t CommMsgWriteData = 1025;  // thread message to the writer

// Events. Buffer holds BufferLength bytes followed by one zero byte; it belongs
// to the component and is freed as soon as the handler returns.
using TReceiveDataEvent =
    std::function<void(TComm* Sender, const uint8_t* Buffer, uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm* Sender, uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm* Sender, uint32_t ModemEvent)>;
using TSendDataEmptyEvent = std::function<void(TComm* Sender)>;
using TNotifyEvent = std::function<void(TComm* Sender)>;

class TComm {
 public:
  // services: the port layer to use; null selects the POSIX tty layer.
  explicit TComm(std::shared_ptr<platform::SerialServices> services = nullptr);
  ~TComm();  // closes a port left open
  TComm(const TComm&) = delete;
  TComm& operator=(const TComm&) = delete;

  void OpenPort();   // throws ECommsError
  void ClosePort();  // stops both threads and closes the port; nothing when closed
  bool SendData(const void* Data, uint16_t Size);
  uintptr_t PortHandle() const { return PortHandle_; }

  // Published properties (defaults as TComm::Create sets them).
  std::string CommName = "COM2";  // used at the next open

  uint32_t BaudRate() const { return BaudRate_; }
  bool ParityCheck() const { return ParityCheck_; }
  bool Outx_CtsFlow() const { return Outx_CtsFlow_; }
  bool Outx_DsrFlow() const { return Outx_DsrFlow_; }
  TDtrControl DtrControl() const { return DtrControl_; }
  bool DsrSensitivity() const { return DsrSensitivity_; }
  bool TxContinueOnXoff() const { return TxContinueOnXoff_; }
  bool Outx_XonXoffFlow() const { return Outx_XonXoffFlow_; }
  bool Inx_XonXoffFlow() const { return Inx_XonXoffFlow_; }
  bool ReplaceWhenParityError() const { return ReplaceWhenParityError_; }
  bool IgnoreNullChar() const { return IgnoreNullChar_; }
  TRtsControl RtsControl() const { return RtsControl_; }
  uint16_t XonLimit() const { return XonLimit_; }
  uint16_t XoffLimit() const { return XoffLimit_; }
  TByteSize ByteSize() const { return ByteSize_; }
  TStopBits StopBits() const { return StopBits_; }
  char XonChar() const { return XonChar_; }
  char XoffChar() const { return XoffChar_; }
  char ReplacedChar() const { return ReplacedChar_; }
  uint32_t ReadIntervalTimeout() const { return ReadIntervalTimeout_; }
  uint32_t ReadTotalTimeoutMultiplier() const { return ReadTotalTimeoutMultiplier_; }
  uint32_t ReadTotalTimeoutConstant() const { return ReadTotalTimeoutConstant_; }
  uint32_t WriteTotalTimeoutMultiplier() const { return WriteTotalTimeoutMultiplier_; }
  uint32_t WriteTotalTimeoutConstant() const { return WriteTotalTimeoutConstant_; }

  // Parity has no setter: it is stored only and takes effect at the next open
  // or the next line-setting change caused by another property.
  TParity Parity = TParity::None;

  // Line-setting group: a real change re-applies the line state while open.
  void SetBaudRate(uint32_t v);
  void SetParityCheck(bool v);
  void SetOutx_CtsFlow(bool v);
  void SetOutx_DsrFlow(bool v);
  void SetDtrControl(TDtrControl v);
  void SetDsrSensitivity(bool v);
  void SetTxContinueOnXoff(bool v);
  void SetOutx_XonXoffFlow(bool v);
  void SetInx_XonXoffFlow(bool v);
  void SetReplaceWhenParityError(bool v);
  void SetIgnoreNullChar(bool v);
  void SetRtsControl(TRtsControl v);
  void SetXonLimit(uint16_t v);
  void SetXoffLimit(uint16_t v);
  void SetByteSize(TByteSize v);
  void SetStopBits(TStopBits v);
  void SetXonChar(char v);
  void SetXoffChar(char v);
  void SetReplacedChar(char v);
  // Time-out group: a real change re-applies the time-outs while open.
  void SetReadIntervalTimeout(uint32_t v);
  void SetReadTotalTimeoutMultiplier(uint32_t v);
  void SetReadTotalTimeoutConstant(uint32_t v);
  void SetWriteTotalTimeoutMultiplier(uint32_t v);
  void SetWriteTotalTimeoutConstant(uint32_t v);

  TReceiveDataEvent OnReceiveData;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  TNotifyEvent OnRequestHangup;
  TSendDataEmptyEvent OnSendDataEmpty;

  // Event dispatchers, called by the notify window on the GUI thread.
  void DoReceiveData(const uint8_t* Buffer, uint16_t BufferLength);
  void DoReceiveError(uint32_t EventMask);
  void DoModemStateChange(uint32_t ModemEvent);
  void DoRequestHangup();
  void DoSendDataEmpty();

  // The port layer this component uses (tests inspect line settings through it).
  platform::SerialServices& Services() { return *Services_; }

 private:
  void ApplyCommState();
  void ApplyCommTimeouts();
  void StopReadThread();
  void StopWriteThread();

  std::shared_ptr<platform::SerialServices> Services_;
  std::unique_ptr<TReadThread> ReaderThread;
  std::unique_ptr<TWriteThread> WriterThread;
  uintptr_t PortHandle_ = 0;
  uintptr_t StopEvent = 0;
  std::unique_ptr<CommNotifyWindow> NotifyWindow;

  uint32_t BaudRate_ = 9600;
  bool ParityCheck_ = false;
  bool Outx_CtsFlow_ = false;
  bool Outx_DsrFlow_ = false;
  TDtrControl DtrControl_ = TDtrControl::DtrEnable;
  bool DsrSensitivity_ = false;
  bool TxContinueOnXoff_ = true;
  bool Outx_XonXoffFlow_ = true;
  bool Inx_XonXoffFlow_ = true;
  bool ReplaceWhenParityError_ = false;
  bool IgnoreNullChar_ = false;
  TRtsControl RtsControl_ = TRtsControl::RtsEnable;
  uint16_t XonLimit_ = 500;
  uint16_t XoffLimit_ = 500;
  TByteSize ByteSize_ = TByteSize::_8;
  TStopBits StopBits_ = TStopBits::_1;
  char XonChar_ = 17;
  char XoffChar_ = 19;
  char ReplacedChar_ = 0;
  uint32_t ReadIntervalTimeout_ = 100;
  uint32_t ReadTotalTimeoutMultiplier_ = 0;
  uint32_t ReadTotalTimeoutConstant_ = 0;
  uint32_t WriteTotalTimeoutMultiplier_ = 0;
  uint32_t WriteTotalTimeoutConstant_ = 0;
};

// Applies the form values that both programs give their components:
// 1,000,000 baud, 8N2, no flow control, DTR and RTS off, XON/XOFF limits 10,
// XON/XOFF characters '0', the given read interval time-out and no total
// time-outs. Call before OpenPort.
void ApplyDeviceLinkSettings(TComm& comm, uint32_t readIntervalMs);

}  // namespace kestra::serial
