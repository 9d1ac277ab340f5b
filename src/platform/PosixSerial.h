// Serial services on POSIX ttys: real serial ports and pseudo-terminals.
// Each open port has one I/O thread that sleeps in poll() and completes the
// pending read, write and comm-event wait.
#pragma once

#include "platform/SerialServices.h"

namespace kestra::platform {

class PosixSerialServices : public SerialServices {
 public:
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
};

// Sets a rate that has no B constant (termios2); false when the driver refuses.
bool SetArbitraryBaudRate(int fd, uint32_t rate);

}  // namespace kestra::platform
