// The serial port services the serial component runs on: ports opened by name,
// line settings, time-outs, overlapped reads, writes and comm-event waits that
// the layer completes in the background, manual-reset events and waits, worker
// threads, window messages and the writer's thread message queue.
//
// Calls keep the kernel's meanings: a handle is a small number (0 = none), a
// call that can fail returns an error code (ErrSuccess when it worked), and an
// overlapped operation that has not finished yet returns ErrIoPending and later
// signals the event of its Overlapped record.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace kestra::platform {

using Handle = uintptr_t;

// Error codes.
inline constexpr uint32_t ErrSuccess = 0;
inline constexpr uint32_t ErrFileNotFound = 2;
inline constexpr uint32_t ErrAccessDenied = 5;
inline constexpr uint32_t ErrInvalidHandle = 6;
inline constexpr uint32_t ErrNotEnoughMemory = 8;
inline constexpr uint32_t ErrGenFailure = 31;  // the device went away or failed
inline constexpr uint32_t ErrSharingViolation = 32;
inline constexpr uint32_t ErrInvalidParameter = 87;
inline constexpr uint32_t ErrOperationAborted = 995;  // purged or closed while pending
inline constexpr uint32_t ErrIoIncomplete = 996;
inline constexpr uint32_t ErrIoPending = 997;

// Purge actions.
inline constexpr uint32_t PurgeTxAbort = 0x1;
inline constexpr uint32_t PurgeRxAbort = 0x2;
inline constexpr uint32_t PurgeTxClear = 0x4;
inline constexpr uint32_t PurgeRxClear = 0x8;

// Comm events.
inline constexpr uint32_t EvRxChar = 0x1;
inline constexpr uint32_t EvRlsd = 0x20;
inline constexpr uint32_t EvErr = 0x80;
inline constexpr uint32_t EvRing = 0x100;

// Line errors reported by ClearCommError.
inline constexpr uint32_t CeRxOver = 0x1;
inline constexpr uint32_t CeOverrun = 0x2;
inline constexpr uint32_t CeRxParity = 0x4;
inline constexpr uint32_t CeFrame = 0x8;
inline constexpr uint32_t CeBreak = 0x10;

// Waits.
inline constexpr uint32_t Infinite = 0xFFFFFFFF;
inline constexpr uint32_t WaitObject0 = 0;
inline constexpr uint32_t WaitTimeout = 258;
inline constexpr uint32_t WaitFailed = 0xFFFFFFFF;
inline constexpr uint32_t MaxWaitObjects = 64;

// Thread priority levels (relative to normal).
inline constexpr int PriorityNormal = 0;
inline constexpr int PriorityHigher = 1;
inline constexpr int PriorityHighest = 2;

// Line settings: the members the serial component sets. Members a platform
// cannot express are kept and reported back but have no effect.
struct DeviceControlBlock {
  uint32_t BaudRate = 9600;
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = 1;  // 0 disable, 1 enable, 2 handshake
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fErrorChar = false;
  bool fNull = false;
  uint8_t fRtsControl = 1;  // 0 disable, 1 enable, 2 handshake, 3 toggle
  bool fAbortOnError = false;
  uint16_t XonLim = 2048;
  uint16_t XoffLim = 512;
  uint8_t ByteSize = 8;  // 5..8
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 17;
  char XoffChar = 19;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  bool operator==(const DeviceControlBlock&) const = default;
};

struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const CommTimeouts&) const = default;
};

// One outstanding overlapped operation: the caller's event, signalled when the
// operation completes. The layer identifies the operation by the record's address.
struct Overlapped {
  Handle hEvent = 0;
};

class MessageWindow;
class ThreadMessageQueue;

// The path of a port name: "/dev/" + name ("ttyUSB0", "pts/3").
inline std::string PortPath(const std::string& name) { return "/dev/" + name; }

// Anything a handle can name.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Called once when the last handle is closed.
  virtual void OnClose() {}
  // A descriptor poll() can wait on for this object's signal, or -1.
  virtual int WaitFd() const { return -1; }
  // True while signalled (waits call this to confirm a wake).
  virtual bool IsSignalled() const { return false; }
};

class SerialServices {
 public:
  SerialServices() = default;
  virtual ~SerialServices();
  SerialServices(const SerialServices&) = delete;
  SerialServices& operator=(const SerialServices&) = delete;

  // --- Ports (each backend provides these) ---
  // Opens "/dev/" + name style paths for exclusive overlapped use; 0 on failure
  // with the error in *error.
  virtual Handle CreateFile(const std::string& path, uint32_t* error) = 0;
  virtual bool IsCharacterDevice(Handle port) = 0;
  virtual uint32_t SetupComm(Handle port, uint32_t inQueue, uint32_t outQueue) = 0;
  virtual uint32_t PurgeComm(Handle port, uint32_t flags) = 0;
  virtual uint32_t GetCommState(Handle port, DeviceControlBlock* dcb) = 0;
  virtual uint32_t SetCommState(Handle port, const DeviceControlBlock& dcb) = 0;
  virtual uint32_t GetCommTimeouts(Handle port, CommTimeouts* t) = 0;
  virtual uint32_t SetCommTimeouts(Handle port, const CommTimeouts& t) = 0;
  virtual uint32_t SetCommMask(Handle port, uint32_t mask) = 0;
  virtual uint32_t WaitCommEvent(Handle port, uint32_t* mask, Overlapped* ov) = 0;
  virtual uint32_t ReadFile(Handle port, void* buffer, uint32_t size, uint32_t* read,
                            Overlapped* ov) = 0;
  virtual uint32_t WriteFile(Handle port, const void* buffer, uint32_t size, uint32_t* written,
                             Overlapped* ov) = 0;
  virtual uint32_t GetOverlappedResult(Handle port, Overlapped* ov, uint32_t* transferred,
                                       bool wait) = 0;
  virtual uint32_t ClearCommError(Handle port, uint32_t* errors) = 0;

  // --- Handles ---
  // Closes any handle (port or event); false for a handle that is not open.
  virtual bool CloseHandle(Handle h);

  // --- Events and waits ---
  virtual Handle CreateEvent(bool manualReset, bool initialState);
  virtual bool SetEvent(Handle event);
  virtual bool ResetEvent(Handle event);
  // Waits until one of the handles is signalled (the lowest index wins when
  // several are), or the time-out passes. WaitObject0 + index, WaitTimeout or
  // WaitFailed.
  virtual uint32_t WaitForMultipleObjects(uint32_t count, const Handle* handles,
                                          uint32_t timeoutMs);
  // The same, also woken when the queue holds a message: then WaitObject0 + count.
  virtual uint32_t MsgWaitForMultipleObjects(ThreadMessageQueue& queue, uint32_t count,
                                             const Handle* handles, uint32_t timeoutMs);

  // --- Threads ---
  // Starts a thread running body; false when the platform cannot create one.
  virtual bool CreateThread(std::thread& thread, std::function<void()> body);
  // Sets the calling thread's priority level; false when the platform refuses.
  virtual bool SetCurrentThreadPriority(int level);

  // --- Messages ---
  // Posts a window message; the block travels with it and is freed by the
  // receiver (or with the message, if it is never delivered).
  virtual bool PostMessage(MessageWindow* window, uint32_t msg, uintptr_t wParam, uintptr_t lParam,
                           std::unique_ptr<uint8_t[]> block = nullptr);
  virtual bool PostThreadMessage(ThreadMessageQueue& queue, uint32_t msg, uintptr_t wParam,
                                 std::unique_ptr<uint8_t[]> block);

  // The number of open handles (ports and events).
  size_t HandleCount();

  // Looks up an open handle (null when not open or of another kind).
  template <class T>
  std::shared_ptr<T> Lookup(Handle h) {
    return std::dynamic_pointer_cast<T>(LookupObject(h));
  }

 protected:
  Handle AddObject(std::shared_ptr<KernelObject> object);
  std::shared_ptr<KernelObject> LookupObject(Handle h);

 private:
  std::mutex tableMutex_;
  std::unordered_map<Handle, std::shared_ptr<KernelObject>> objects_;
  Handle nextHandle_ = 0x100;
};

// A manual-reset (or auto-reset) event that poll() can wait on.
class Event : public KernelObject {
 public:
  explicit Event(bool manualReset);
  ~Event() override;
  bool Valid() const { return fd_ >= 0; }
  void Set();
  void Reset();
  // For auto-reset events: takes the signal if it is there.
  bool TryTake();
  bool ManualReset() const { return manualReset_; }
  int WaitFd() const override { return fd_; }
  bool IsSignalled() const override;

 private:
  mutable std::mutex mutex_;
  bool signalled_ = false;
  bool manualReset_;
  int fd_ = -1;
};

// Waits, without busy polling, for one of the descriptors' objects (index
// order decides ties) or the extra queue. Shared by both waits above.
uint32_t WaitForObjects(const std::shared_ptr<KernelObject>* objects, uint32_t count,
                        ThreadMessageQueue* queue, uint32_t timeoutMs);

}  // namespace kestra::platform
