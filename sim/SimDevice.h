// One simulated programmer device on one pseudo-terminal.
//
// The device holds the pty master and also keeps the slave open (without a
// lock), so a host that closes and re-opens the port never makes the master see
// a hang-up. One thread per device sleeps in poll() on the master and a wake-up
// event. Every packet received is checked against the wire rules; each breach is
// recorded as a violation with a text. All accessors are thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestra::sim {

// Command codes and sub-codes the device understands.
inline constexpr uint8_t DevCmdSearch = 0x3D;
inline constexpr uint8_t DevCmdConfig = 0x53;
inline constexpr uint8_t DevCmdDownloadMain = 0x55;
inline constexpr uint8_t DevCmdDownloadInfo = 0x5A;
inline constexpr uint8_t DevCmdRestartAfterProtect = 0x86;
inline constexpr uint8_t DevCmdRestart = 0x8A;
inline constexpr uint8_t DevCmdChipOp = 0x93;
inline constexpr uint8_t DevCmdProgram = 0x95;
inline constexpr uint8_t DevCmdWriteInfo = 0x96;
inline constexpr uint8_t DevCmdReadMain = 0x9B;
inline constexpr uint8_t DevCmdReadInfo = 0x9C;
inline constexpr uint8_t DevCmdFwWriteBlock = 0xB7;
inline constexpr uint8_t DevCmdFwVerify = 0xBA;
inline constexpr uint8_t DevSubErase = 0x03;
inline constexpr uint8_t DevSubBlankCheck = 0x05;
inline constexpr uint8_t DevSubReadChipInfo = 0x33;
inline constexpr uint8_t DevSubReadChipId = 0x35;
inline constexpr uint8_t DevSubWriteProtect = 0x53;
inline constexpr uint8_t DevSubVerifyMain = 0x55;
inline constexpr uint8_t DevSubVerifyInfo = 0x56;

// Result codes the device reports.
inline constexpr uint8_t DevOk = 0x00;
inline constexpr uint8_t DevOkAck = 0x06;
inline constexpr uint8_t DevReadProtected = 0x10;
inline constexpr uint8_t DevNotBlank = 0x15;
inline constexpr uint8_t DevUnknownCommand = 0x25;
inline constexpr uint8_t DevPacketFormat = 0x2A;
inline constexpr uint8_t DevFlashError = 0x2C;
inline constexpr uint8_t DevChipChecksum = 0x34;

inline constexpr std::size_t FirmwareStoreSize = 16384;
inline constexpr uint16_t FirmwareFirstWord = 0x2000;
inline constexpr const char* DefaultIdent = "KestraGangA4 V2.3";

struct SimOptions {
  int index = 0;                        // device number; the chip UID derives from it
  std::string ident = DefaultIdent;     // identification text
  bool paced = false;                   // pace both directions at the line rate
  uint32_t byteTimeNs = 11000;          // 1,000,000 baud, 8 data bits, 2 stop bits
  uint32_t flashUsPerKB = 1000;         // programming time per KB when paced
  int standaloneIntervalMs = 0;         // 0: chip cycles only on demand
  uint8_t standaloneResult = DevOkAck;  // result of the final progress step
};

// Faults of one command code (and, for CmdChipOperation, one sub-code; for the
// block commands the block position, if wanted). The damaged replies: a reply
// cut to its header (headerOnly), a bare success status in place of data
// (status = DevOk), a bad check on one chip operation only (badCheck keyed by
// the sub-code), a short identification reply or a short data reply
// (payloadBytes).
struct CommandFault {
  bool noReply = false;                // swallow the command
  bool badCheck = false;               // reply with a wrong PacketCheck16
  std::optional<uint8_t> status;       // answer with this status instead
  int failTimes = 0;                   // the next K commands fail with failStatus ...
  uint8_t failStatus = DevFlashError;  // ... then they succeed again
  std::size_t chunk = 0;               // write the reply in chunks of this many bytes
  int chunkPauseUs = 0;                // pause between chunks
  int delayMs = 0;                     // answer this late (the device answers in order)
  bool garbage = false;                // surround the reply frame with stray bytes
  bool headerOnly = false;             // send only the reply's 8-byte header
  // Cut the reply's payload to its first K bytes; length field and check match
  // the cut reply (for the identification reply: 20 + the text's length gives
  // a text that runs up to the check, with no terminator).
  std::optional<std::size_t> payloadBytes;
};

class SimDevice {
 public:
  explicit SimDevice(SimOptions options = {});
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // The port name a host opens, e.g. "pts/7" (path "/dev/pts/7").
  const std::string& PortName() const { return portName_; }
  std::string PortPath() const { return "/dev/" + portName_; }
  int Index() const;

  // Memory of the simulated chip and the device's stores.
  std::vector<uint8_t> Flash() const;
  std::vector<uint8_t> InfoMemory() const;
  void SetFlash(const std::vector<uint8_t>& bytes);  // also sets the flash size
  void SetInfoMemory(const std::vector<uint8_t>& bytes);
  bool ReadProtected() const;
  void SetReadProtected(bool on);
  std::vector<uint8_t> JobImage() const;       // downloaded main data
  std::vector<uint8_t> JobInfo() const;        // downloaded info data
  std::vector<uint8_t> Firmware() const;       // 16384 bytes of the firmware store
  std::vector<uint8_t> ProtectConfig() const;  // last 64 bytes of protection data
  std::array<uint8_t, 12> Uid() const;

  // What arrived.
  int PacketCount(uint8_t code) const;
  int ChipOpCount(uint8_t sub) const;
  int TotalPackets() const;
  int ViolationCount() const;
  std::vector<std::string> Violations() const;
  std::optional<std::array<uint8_t, 64>> LastParamBlock() const;
  std::vector<uint8_t> LastConfigPacket() const;  // the whole packet, un-whitened
  std::vector<uint8_t> LastPacket() const;        // last packet as decoded
  bool StandAlone() const;
  int ChipCycles() const;  // chip cycles run in stand-alone production

  // Faults, settable at any time. param -1 matches any parameter.
  void SetCommandFault(uint8_t code, int param, const CommandFault& fault);
  void ClearFaults();
  void SetNotBlank(bool on);
  void SetVerifyMismatch(bool on);
  void SetIdent(const std::string& text);
  void SetUnplugAfter(int packets);  // close the master after this many more packets
  void Unplug();                     // close the master now (waits until closed)
  bool Unplugged() const;
  void SetSilent(bool on);  // answer nothing from now on
  void SetStandaloneResult(uint8_t result);
  void SetStandaloneInterval(int ms);
  void SetPaced(bool on, uint32_t flashUsPerKB);

  // Runs one stand-alone chip cycle (a simulated chip insertion) in the device
  // thread; returns at once. It does nothing unless stand-alone production runs.
  void RunChipCycle();

 private:
  struct State;
  void Run();
  void Wake();

  std::string portName_;
  std::unique_ptr<State> s_;
};

}  // namespace kestra::sim
