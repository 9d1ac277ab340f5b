#include "sim/SimDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <stdexcept>
#include <thread>
#include <utility>

#include "sim/SimWire.h"

namespace kestra::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t MaxJobImage = 0x400000;  // 4 MB of downloaded main data
constexpr std::size_t JobInfoSize = 0x10000;   // info positions wrap at 64 KB
constexpr std::size_t MaxIdentText = 52;       // text from byte 28 up to byte 80
constexpr std::size_t ParamBlockLen = 64;
constexpr std::size_t ConfigPayload = 1536;
constexpr uint8_t FwKey[8] = {0x4A, 0x9C, 0x17, 0xD2, 0xE8, 0x05, 0x73, 0xB1};

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

// One reply ready to go out, with its shaping.
struct Output {
  std::vector<uint8_t> bytes;
  std::size_t chunk = 0;
  int pauseUs = 0;
  int delayMs = 0;             // the reply leaves this late; later packets wait behind it
  Clock::duration workTime{};  // simulated flash time before the reply
  bool paced = false;
  uint32_t byteTimeNs = 0;
};

using Reply = std::vector<uint8_t>;

// One received command, as its handler sees it.
struct Request {
  const std::vector<uint8_t>& p;  // the whole packet
  uint8_t code;
  uint16_t param;         // header word: block position, sub-code, key, word address
  Clock::duration& work;  // simulated flash time before the reply
  std::size_t At() const { return static_cast<std::size_t>(param) * 1024; }
};

// Payload kinds besides a fixed number of bytes: a ParamBlock and 16 to 4096
// data bytes in steps of 16; or the length the sub-code fixes.
constexpr int DataPayload = -1;
constexpr int SubCodePayload = -2;

}  // namespace

struct SimDevice::State {
  SimOptions opt;
  Fd master, slave, wake;
  std::thread thread;

  mutable std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  bool unplugRequest = false;
  bool unplugged = false;
  int pendingCycles = 0;

  // The chip.
  std::vector<uint8_t> flash;
  std::vector<uint8_t> info;
  bool readProtected = false;
  std::vector<uint8_t> protectCfg = std::vector<uint8_t>(64, 0xFF);

  // The device's own stores.
  std::vector<uint8_t> jobMain;
  std::vector<uint8_t> jobInfo = std::vector<uint8_t>(JobInfoSize, 0xFF);
  bool jobReady = false;
  std::array<uint8_t, 64> jobParam{};
  std::vector<uint8_t> firmware = std::vector<uint8_t>(FirmwareStoreSize, 0xFF);

  // What arrived.
  std::map<uint8_t, int> byCode;
  std::map<uint8_t, int> bySub;
  int total = 0;
  std::vector<std::string> violations;
  std::optional<std::array<uint8_t, 64>> lastParam;
  std::vector<uint8_t> lastConfig;
  std::vector<uint8_t> lastPacket;

  // Faults.
  std::map<std::pair<uint8_t, int>, CommandFault> faults;
  bool notBlank = false;
  bool verifyMismatch = false;
  int unplugAfter = -1;
  bool silent = false;

  // Stand-alone production.
  bool standAlone = false;
  int chipCycles = 0;
  Clock::time_point nextCycle{};

  // Line pacing (device thread only).
  Clock::time_point rxWireEnd{};
  Clock::time_point txWireEnd{};

  FrameReader reader{[this](std::vector<uint8_t>&& p) { OnPacket(std::move(p)); },
                     [this](std::string&& t) {
                       std::lock_guard lk(m);
                       violations.push_back("framing: " + t);
                     }};

  // --- device thread ---
  void OnPacket(std::vector<uint8_t>&& p);
  std::optional<Output> Handle(const std::vector<uint8_t>& p, bool& unplugNow);
  Reply Execute(const std::vector<uint8_t>& p, Clock::duration& work);
  std::vector<std::vector<uint8_t>> ChipCycle();
  void Send(const Output& out);
  bool WriteAll(const uint8_t* data, std::size_t len);
  void SleepUntil(Clock::time_point t);
  void DoUnplug();
  void DrainToHost();

  // --- the commands (device thread, under the lock) ---
  // A command code, or a sub-code of CmdChipOperation: the payload it carries
  // and its handler.
  using Handler = Reply (State::*)(const Request&);
  struct Command {
    uint16_t code;
    int payload;  // bytes, or DataPayload, or SubCodePayload
    Handler handler;
  };
  static const Command Commands[];  // by command code
  static const Command ChipOps[];   // CmdChipOperation, by sub-code
  static const Command* Find(std::span<const Command> table, uint16_t code);
  // Whether n payload bytes suit the command (an unknown code takes any).
  static bool PayloadFits(uint8_t code, uint16_t param, uint16_t n);

  Reply SearchDevice(const Request& r);
  Reply DownloadConfig(const Request& r);
  Reply DownloadMain(const Request& r);
  Reply DownloadInfo(const Request& r);
  Reply RestartAfterProtect(const Request& r);
  Reply Restart(const Request& r);
  Reply ChipOperation(const Request& r);
  Reply ProgramBlock(const Request& r);
  Reply WriteInfo(const Request& r);
  Reply ReadMain(const Request& r);
  Reply ReadInfo(const Request& r);
  Reply FwWriteBlock(const Request& r);
  Reply FwVerify(const Request& r);

  Reply Erase(const Request& r);
  Reply BlankCheck(const Request& r);
  Reply ReadChipInfo(const Request& r);
  Reply ReadChipId(const Request& r);
  Reply WriteProtect(const Request& r);
  Reply VerifyMain(const Request& r);
  Reply VerifyInfo(const Request& r);

  // Shared by the handlers.
  bool CheckConfigPacket(const std::vector<uint8_t>& u, uint16_t key);
  bool CheckRestPacket(const Request& r);
  // Checks a memory access's ParamBlock and takes the chip geometry from it;
  // the status that refuses the access, if any.
  std::optional<uint8_t> RefuseAccess(const Request& r);
  Reply WriteMemory(const Request& r, std::vector<uint8_t>& mem, std::size_t at);
  Reply ReadMemory(const Request& r, const std::vector<uint8_t>& mem, std::size_t at);
  Reply VerifyMemory(const Request& r, const std::vector<uint8_t>& mem, std::size_t checkAt,
                     bool negatedSum);

  // --- under the lock ---
  void Violation(uint8_t code, const std::string& text) {
    violations.push_back("command " + Hex2(code) + ": " + text);
  }
  bool CheckParamBlock(const std::vector<uint8_t>& p, std::size_t at);
  void ApplyGeometry(const uint8_t* pb);
  std::array<uint8_t, 12> Uid() const {
    std::array<uint8_t, 12> u{};
    for (std::size_t i = 0; i < u.size(); ++i)
      u[i] = static_cast<uint8_t>(0x30 + 0x10 * opt.index + i);
    return u;
  }
};

namespace {

std::vector<uint8_t> StatusReply(uint8_t code, uint16_t param, uint8_t status) {
  return BuildReply(code, param, std::vector<uint8_t>{status});
}

Reply Status(const Request& r, uint8_t status) { return StatusReply(r.code, r.param, status); }

void Resize(std::vector<uint8_t>& v, std::size_t n) { v.resize(n, 0xFF); }

uint16_t FirmwareCheck16(const uint8_t* data, std::size_t len) {
  uint16_t c = 0;
  for (std::size_t i = 0; i + 1 < len; i += 2) {
    const bool odd = (c & 1) != 0;
    c = static_cast<uint16_t>((c >> 1) ^ Get16(data + i) ^ (odd ? 0x4A12 : 0));
  }
  return c;
}

}  // namespace

bool SimDevice::State::CheckParamBlock(const std::vector<uint8_t>& p, std::size_t at) {
  const uint8_t* pb = &p[at];
  bool ok = true;
  auto bad = [&](const std::string& t) {
    Violation(p[0], "ParamBlock " + t);
    ok = false;
  };
  if (pb[51] != 2) bad("offset 51 is " + Hex2(pb[51]) + ", not 2");
  if (pb[4] == 0xFF) bad("random byte at offset 4 is 0xFF (range 0..254)");
  if (Get16(pb + 6) == 0xFFFF) bad("random word at offset 6 is 0xFFFF (range 0..0xFFFE)");
  static constexpr std::pair<int, int> zeros[] = {{0, 1},  {8, 2},  {20, 2},
                                                  {30, 2}, {40, 8}, {62, 2}};
  for (auto [off, n] : zeros)
    for (int i = 0; i < n; ++i)
      if (pb[off + i] != 0) bad("offset " + std::to_string(off + i) + " is not 0");
  if (p[3] != pb[1] || p[4] != pb[2] || p[5] != pb[3])
    bad("chip bytes differ from header bytes [3..5]");
  std::array<uint8_t, 64> copy{};
  std::copy_n(pb, 64, copy.begin());
  lastParam = copy;
  return ok;
}

void SimDevice::State::ApplyGeometry(const uint8_t* pb) {
  Resize(flash, static_cast<std::size_t>(Get16(pb + 10)) * 1024);
  Resize(info, Get16(pb + 12));
}

// --- the commands ---

// Every command the device understands. A packet whose code is not here is
// answered with DevUnknownCommand and may carry any payload.
const SimDevice::State::Command SimDevice::State::Commands[] = {
    {DevCmdSearch, 0, &State::SearchDevice},
    {DevCmdConfig, ConfigPayload, &State::DownloadConfig},
    {DevCmdDownloadMain, 4096, &State::DownloadMain},
    {DevCmdDownloadInfo, 4096, &State::DownloadInfo},
    {DevCmdRestartAfterProtect, 2, &State::RestartAfterProtect},
    {DevCmdRestart, 2, &State::Restart},
    {DevCmdChipOp, SubCodePayload, &State::ChipOperation},
    {DevCmdProgram, DataPayload, &State::ProgramBlock},
    {DevCmdWriteInfo, ParamBlockLen + 4096, &State::WriteInfo},
    {DevCmdReadMain, ParamBlockLen, &State::ReadMain},
    {DevCmdReadInfo, ParamBlockLen, &State::ReadInfo},
    {DevCmdFwWriteBlock, 2048, &State::FwWriteBlock},
    {DevCmdFwVerify, 0, &State::FwVerify},
};

// The sub-codes of CmdChipOperation. Each carries a ParamBlock (write protect
// adds 64 bytes of protection data), and so does an unknown one, which is
// answered with DevUnknownCommand.
const SimDevice::State::Command SimDevice::State::ChipOps[] = {
    {DevSubErase, ParamBlockLen, &State::Erase},
    {DevSubBlankCheck, ParamBlockLen, &State::BlankCheck},
    {DevSubReadChipInfo, ParamBlockLen, &State::ReadChipInfo},
    {DevSubReadChipId, ParamBlockLen, &State::ReadChipId},
    {DevSubWriteProtect, ParamBlockLen + 64, &State::WriteProtect},
    {DevSubVerifyMain, ParamBlockLen, &State::VerifyMain},
    {DevSubVerifyInfo, ParamBlockLen, &State::VerifyInfo},
};

const SimDevice::State::Command* SimDevice::State::Find(std::span<const Command> table,
                                                        uint16_t code) {
  const auto it = std::ranges::find(table, code, &Command::code);
  return it == table.end() ? nullptr : &*it;
}

bool SimDevice::State::PayloadFits(uint8_t code, uint16_t param, uint16_t n) {
  const Command* c = Find(Commands, code);
  if (!c) return true;
  int payload = c->payload;
  if (payload == SubCodePayload) {
    const Command* op = Find(ChipOps, param);
    payload = op ? op->payload : static_cast<int>(ParamBlockLen);
  }
  if (payload != DataPayload) return n == payload;
  const std::size_t len = n;
  return len >= ParamBlockLen + 16 && len <= ParamBlockLen + 4096 && len % 16 == 0;
}

Reply SimDevice::State::Execute(const std::vector<uint8_t>& p, Clock::duration& work) {
  const Request r{p, p[0], Get16(&p[1]), work};
  const Command* c = Find(Commands, r.code);
  if (!c) {
    Violation(r.code, "unknown command");
    return Status(r, DevUnknownCommand);
  }
  return (this->*c->handler)(r);
}

Reply SimDevice::State::SearchDevice(const Request& r) {
  std::vector<uint8_t> payload(80, 0);
  Reply reply = BuildReply(r.code, 0, payload);
  reply[0] = 0xA3, reply[1] = 0xA5, reply[2] = 0x53, reply[3] = 0x35;
  const std::size_t n = std::min(opt.ident.size(), MaxIdentText);
  std::memcpy(&reply[28], opt.ident.data(), n);
  SealPacket(reply);
  return reply;
}

Reply SimDevice::State::DownloadConfig(const Request& r) {
  std::vector<uint8_t> u = r.p;
  const uint8_t k0 = static_cast<uint8_t>(r.p[1] ^ 0x5B), k1 = static_cast<uint8_t>(r.p[2] ^ 0x7E);
  for (std::size_t i = 8; i < 8 + ConfigPayload; ++i) u[i] ^= ((i - 8) % 2 == 0) ? k0 : k1;
  const bool ok = CheckConfigPacket(u, r.param);
  lastConfig = u;
  if (!ok) return Status(r, DevPacketFormat);
  jobParam = *lastParam;
  jobReady = true;
  jobMain.assign(static_cast<std::size_t>(Get16(&jobParam[10])) * 1024, 0xFF);
  std::fill(jobInfo.begin(), jobInfo.end(), 0xFF);
  return Status(r, DevOk);
}

Reply SimDevice::State::DownloadMain(const Request& r) {
  const std::size_t at = r.At();
  if (at + 4096 > MaxJobImage) {
    Violation(r.code, "block position " + std::to_string(r.param) + " beyond the job store");
    return Status(r, DevFlashError);
  }
  if (jobMain.size() < at + 4096) Resize(jobMain, at + 4096);
  std::copy_n(&r.p[8], 4096, jobMain.begin() + static_cast<std::ptrdiff_t>(at));
  return Status(r, DevOk);
}

Reply SimDevice::State::DownloadInfo(const Request& r) {
  const std::size_t at = r.At() % JobInfoSize;
  for (std::size_t i = 0; i < 4096; ++i) jobInfo[(at + i) % JobInfoSize] = r.p[8 + i];
  return Status(r, DevOk);
}

Reply SimDevice::State::RestartAfterProtect(const Request& r) {
  return Status(r, CheckRestPacket(r) ? DevOk : DevPacketFormat);
}

// A restart with a job downloaded starts stand-alone production.
Reply SimDevice::State::Restart(const Request& r) {
  if (!CheckRestPacket(r)) return Status(r, DevPacketFormat);
  if (jobReady) {
    standAlone = true;
    nextCycle = Clock::now() + std::chrono::milliseconds(opt.standaloneIntervalMs);
  }
  return Status(r, DevOk);
}

Reply SimDevice::State::ChipOperation(const Request& r) {
  if (!CheckParamBlock(r.p, 8)) return Status(r, DevPacketFormat);
  ApplyGeometry(&r.p[8]);
  const Command* op = Find(ChipOps, r.param);
  if (!op) {
    Violation(r.code, "unknown sub-code " + Hex2(r.param));
    return Status(r, DevUnknownCommand);
  }
  return (this->*op->handler)(r);
}

Reply SimDevice::State::ProgramBlock(const Request& r) { return WriteMemory(r, flash, r.At()); }

Reply SimDevice::State::WriteInfo(const Request& r) {
  return WriteMemory(r, info, r.At() % JobInfoSize);
}

Reply SimDevice::State::ReadMain(const Request& r) { return ReadMemory(r, flash, r.At()); }

Reply SimDevice::State::ReadInfo(const Request& r) {
  return ReadMemory(r, info, r.At() % JobInfoSize);
}

Reply SimDevice::State::FwWriteBlock(const Request& r) {
  const uint16_t addr = r.param;
  if (addr < FirmwareFirstWord || addr > 0x3C00 || (addr & 0x3FF) != 0) {
    Violation(r.code, "word address " + std::to_string(addr) + " is not a block address");
    return Status(r, DevPacketFormat);
  }
  const unsigned b = (addr - FirmwareFirstWord) / 1024;
  if (r.p[3] != b || r.p[4] != 0xFF || r.p[5] != 0x0F)
    Violation(r.code, "block header bytes [3..5] are not " + std::to_string(b) + " FF 0F");
  const uint8_t key[2] = {static_cast<uint8_t>(FwKey[(b & 0xFE)] ^ 0x6D),
                          static_cast<uint8_t>(FwKey[(b & 0xFE) + 1] ^ 0x6D)};
  const std::size_t at = 2 * static_cast<std::size_t>(addr - FirmwareFirstWord);
  for (std::size_t k = 0; k < 2048; ++k)
    firmware[at + k] = static_cast<uint8_t>(r.p[8 + k] ^ key[k & 1] ^ ((k & 1) == 0 ? 0xA7 : 0x52));
  return Status(r, DevOk);
}

Reply SimDevice::State::FwVerify(const Request& r) {
  if (r.param != 0x3FFF || r.p[3] != 0xF1 || r.p[4] != 0 || r.p[5] != 0)
    Violation(r.code, "verify packet header is not BA FF 3F F1 00 00");
  std::vector<uint8_t> payload(20, 0);
  const uint16_t sum = ByteSum16(firmware.data(), firmware.size());
  // The CRC-type value runs the link check recurrence over the firmware's
  // 16-bit words (one per word address): over bytes it never sets bit 15,
  // so it could never match the tool's expected 0xCBC2.
  const uint16_t crc = FirmwareCheck16(firmware.data(), firmware.size());
  Put16(&payload[0], crc);
  Put16(&payload[2], sum);
  Put16(&payload[16], sum);
  Put16(&payload[18], crc);
  return BuildReply(r.code, r.param, payload);
}

// --- the chip operations (the ParamBlock checked, the geometry taken) ---

Reply SimDevice::State::Erase(const Request& r) {
  std::fill(flash.begin(), flash.end(), 0xFF);
  std::fill(info.begin(), info.end(), 0xFF);
  readProtected = false;
  return Status(r, DevOk);
}

Reply SimDevice::State::BlankCheck(const Request& r) {
  if (readProtected) return Status(r, DevReadProtected);
  const bool blank = std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; });
  return Status(r, (blank && !notBlank) ? DevOk : DevNotBlank);
}

Reply SimDevice::State::ReadChipInfo(const Request& r) {
  const uint8_t* pb = &r.p[8];
  const auto uid = Uid();
  std::vector<uint8_t> payload;
  if (pb[1] == '6') {
    payload.assign(256, 0xFF);
    for (std::size_t i = 0; i < 256 && i < info.size(); ++i) payload[i] = info[i];
    std::copy_n(uid.begin(), 8, payload.begin() + 4);
  } else if (pb[1] == '7') {
    payload.assign(0x850, 0xFF);
    std::copy(uid.begin(), uid.end(), payload.begin());
    for (std::size_t i = 0; i < 128 && i < info.size(); ++i) payload[0x400 + i] = info[i];
    for (std::size_t i = 0; i < 16; ++i) {
      payload[0x800 + i] = readProtected ? protectCfg[i] : 0xFF;
      payload[0x820 + i] = readProtected ? protectCfg[16 + i] : 0xFF;
    }
    payload[0x840] = readProtected ? protectCfg[32] : 0x0F;
    payload[0x841] = readProtected ? 0x01 : 0x00;
  } else {
    payload.assign(uid.begin(), uid.end());
  }
  return BuildReply(r.code, r.param, payload);
}

Reply SimDevice::State::ReadChipId(const Request& r) {
  const uint8_t* pb = &r.p[8];
  std::vector<uint8_t> payload(16, 0);
  payload[0] = 0x4B, payload[1] = 0x47, payload[2] = pb[1], payload[3] = pb[2];
  const auto uid = Uid();
  std::copy(uid.begin(), uid.end(), payload.begin() + 4);
  return BuildReply(r.code, r.param, payload);
}

Reply SimDevice::State::WriteProtect(const Request& r) {
  protectCfg.assign(r.p.begin() + 72, r.p.begin() + 136);
  readProtected = true;
  return Status(r, DevOk);
}

// The ParamBlock holds ImageCrc and ImageSum (the plain sum), and InfoCrc and
// InfoSum (the sum kept negated).
Reply SimDevice::State::VerifyMain(const Request& r) { return VerifyMemory(r, flash, 32, false); }

Reply SimDevice::State::VerifyInfo(const Request& r) { return VerifyMemory(r, info, 36, true); }

// --- shared by the handlers ---

bool SimDevice::State::CheckConfigPacket(const std::vector<uint8_t>& u, uint16_t key) {
  bool ok = true;
  auto bad = [&](const std::string& t) {
    Violation(u[0], "ConfigPacket " + t);
    ok = false;
  };
  if (key == 0xFFFF) bad("whitening key 0xFFFF (range 0..0xFFFE)");
  if (std::memcmp(&u[8], "KQRV", 4) != 0) bad("tag is not KQRV after un-whitening");
  if (Check16(&u[8], 252) != Get16(&u[260])) bad("first check value wrong");
  if (ByteSum16(&u[8], 254) != Get16(&u[262])) bad("first byte sum wrong");
  if (Check16(&u[8], 508) != Get16(&u[516])) bad("second check value wrong");
  if (ByteSum16(&u[8], 510) != Get16(&u[518])) bad("second byte sum wrong");
  static constexpr std::pair<int, int> fills[] = {{76, 92}, {114, 246}, {328, 516}};
  for (auto [a, b] : fills)
    for (int i = a; i < b; ++i)
      if (u[i] == 0xFF) {
        bad("random filler byte " + std::to_string(i) + " is 0xFF (range 0..254)");
        break;
      }
  if (!CheckParamBlock(u, 12)) ok = false;
  return ok;
}

bool SimDevice::State::CheckRestPacket(const Request& r) {
  const std::vector<uint8_t>& p = r.p;
  if (std::memcmp(&p[1], "REST", 4) == 0 && p[5] == 0xA8 && p[8] == 0 && p[9] == 0) return true;
  Violation(r.code, "not the REST packet layout");
  return false;
}

std::optional<uint8_t> SimDevice::State::RefuseAccess(const Request& r) {
  if (!CheckParamBlock(r.p, 8)) return DevPacketFormat;
  ApplyGeometry(&r.p[8]);
  if (readProtected) return DevReadProtected;
  return std::nullopt;
}

Reply SimDevice::State::WriteMemory(const Request& r, std::vector<uint8_t>& mem, std::size_t at) {
  if (const auto refused = RefuseAccess(r)) return Status(r, *refused);
  const std::size_t len = r.p.size() - 10 - ParamBlockLen;
  for (std::size_t i = 0; i < len && at + i < mem.size(); ++i) mem[at + i] &= r.p[72 + i];
  r.work = std::chrono::microseconds(static_cast<uint64_t>(opt.flashUsPerKB) * len / 1024);
  return Status(r, DevOk);
}

Reply SimDevice::State::ReadMemory(const Request& r, const std::vector<uint8_t>& mem,
                                   std::size_t at) {
  if (const auto refused = RefuseAccess(r)) return Status(r, *refused);
  std::vector<uint8_t> data(4096, 0xFF);
  for (std::size_t i = 0; i < 4096 && at + i < mem.size(); ++i) data[i] = mem[at + i];
  return BuildReply(r.code, r.param, data);
}

// Compares the memory's check value and byte sum with the two words of the
// ParamBlock at checkAt; the reply carries the negated sum and the check value.
Reply SimDevice::State::VerifyMemory(const Request& r, const std::vector<uint8_t>& mem,
                                     std::size_t checkAt, bool negatedSum) {
  if (readProtected) return Status(r, DevReadProtected);
  uint16_t sum = ByteSum16(mem.data(), mem.size());
  uint16_t crc = Check16(mem.data(), mem.size());
  if (verifyMismatch) {
    sum = static_cast<uint16_t>(sum + 1);
    crc = static_cast<uint16_t>(crc ^ 1);
  }
  const uint16_t negSum = static_cast<uint16_t>(0x10000 - sum);
  const uint8_t* pb = &r.p[8];
  const bool match =
      crc == Get16(pb + checkAt) && (negatedSum ? negSum : sum) == Get16(pb + checkAt + 2);
  std::vector<uint8_t> payload(16, 0);
  payload[0] = match ? DevOk : DevChipChecksum;
  Put16(&payload[2], negSum);
  Put16(&payload[6], crc);
  return BuildReply(r.code, r.param, payload);
}

std::optional<Output> SimDevice::State::Handle(const std::vector<uint8_t>& p, bool& unplugNow) {
  std::lock_guard lk(m);
  ++total;
  lastPacket = p;
  if (p.empty()) return std::nullopt;
  const uint8_t code = p[0];
  ++byCode[code];
  if (unplugAfter > 0 && --unplugAfter == 0) unplugNow = true;
  if (p.size() < 10) {
    Violation(code, "packet of " + std::to_string(p.size()) + " bytes");
    return std::nullopt;
  }
  const uint16_t param = Get16(&p[1]);
  if (code == DevCmdChipOp) ++bySub[static_cast<uint8_t>(param)];
  if (code != DevCmdRestart) standAlone = false;

  Output out;
  out.paced = opt.paced;
  out.byteTimeNs = opt.byteTimeNs;
  std::vector<uint8_t> reply;
  const uint16_t n = Get16(&p[6]);
  if (Check16(p.data(), p.size() - 2) != Get16(&p[p.size() - 2])) {
    Violation(code, "wrong PacketCheck16");
    reply = StatusReply(code, param, 0x23);
  } else if (static_cast<std::size_t>(n) + 10 != p.size()) {
    Violation(code, "length field " + std::to_string(n) + " for a packet of " +
                        std::to_string(p.size()) + " bytes");
    reply = StatusReply(code, param, DevPacketFormat);
  } else if (!PayloadFits(code, param, n)) {
    Violation(code, "payload length " + std::to_string(n) + " is not allowed");
    reply = StatusReply(code, param, DevPacketFormat);
  }

  // A fault on this command, by exact parameter first.
  CommandFault* fault = nullptr;
  if (auto it = faults.find({code, param}); it != faults.end())
    fault = &it->second;
  else if (auto it2 = faults.find({code, -1}); it2 != faults.end())
    fault = &it2->second;

  if (reply.empty()) {
    if (fault && fault->noReply) return std::nullopt;
    if (fault && fault->failTimes > 0) {
      --fault->failTimes;
      reply = StatusReply(code, param, fault->failStatus);
    } else if (fault && fault->status) {
      reply = StatusReply(code, param, *fault->status);
    } else {
      reply = Execute(p, out.workTime);
    }
  }
  if (silent) return std::nullopt;
  if (fault && fault->payloadBytes && 8 + *fault->payloadBytes + 2 < reply.size()) {
    reply.resize(8 + *fault->payloadBytes + 2);
    Put16(&reply[6], static_cast<uint16_t>(*fault->payloadBytes));
    SealPacket(reply);
  }
  if (fault && fault->badCheck) reply[reply.size() - 1] ^= 0x5A;
  if (fault && fault->headerOnly) reply.resize(8);
  out.bytes = FrameReply(reply);
  if (fault && fault->garbage) {
    static constexpr uint8_t junk[] = {0x11, 0x22, 0xFF, 0x7E, 0x00};
    out.bytes.insert(out.bytes.begin(), std::begin(junk), std::end(junk));
    out.bytes.insert(out.bytes.end(), std::begin(junk), std::end(junk));
  }
  if (fault) {
    out.chunk = fault->chunk;
    out.pauseUs = fault->chunkPauseUs;
    out.delayMs = fault->delayMs;
  }
  return out;
}

void SimDevice::State::OnPacket(std::vector<uint8_t>&& p) {
  bool unplugNow = false;
  std::optional<Output> out = Handle(p, unplugNow);
  if (out) Send(*out);
  if (unplugNow) {
    DrainToHost();
    DoUnplug();
  }
}

std::vector<std::vector<uint8_t>> SimDevice::State::ChipCycle() {
  std::vector<std::vector<uint8_t>> packets;
  auto progress = [&](uint8_t step, uint8_t result, uint16_t cur, uint16_t max) {
    std::vector<uint8_t> q(8, 0);
    q[0] = 0xFD, q[1] = step, q[2] = result;
    Put16(&q[3], cur);
    Put16(&q[5], max);
    unsigned s = 0;
    for (int i = 0; i < 7; ++i) s += q[i];
    q[7] = static_cast<uint8_t>(0x100 - (s & 0xFF));
    packets.push_back(q);
  };
  ApplyGeometry(jobParam.data());
  const uint16_t blocks = static_cast<uint16_t>((flash.size() + 4095) / 4096);
  progress(0x10, 0, 0, 0);
  progress(0x20, 0, 0, 0);
  progress(0x30, 0, 0, 0);
  std::fill(flash.begin(), flash.end(), 0xFF);
  readProtected = false;
  for (std::size_t i = 0; i < flash.size() && i < jobMain.size(); ++i) flash[i] = jobMain[i];
  for (uint16_t b = 0; b <= blocks; ++b) progress(0x40, 0, b, blocks);
  progress(0x70, 0, 0, 0);
  progress(0xF0, opt.standaloneResult, 0, 0);
  ++chipCycles;
  return packets;
}

void SimDevice::State::Send(const Output& out) {
  if (!master.Valid()) return;
  if (out.delayMs > 0) SleepUntil(Clock::now() + std::chrono::milliseconds(out.delayMs));
  if (out.paced) {
    const auto byteTime = std::chrono::nanoseconds(out.byteTimeNs);
    const auto start = std::max(rxWireEnd + out.workTime, txWireEnd);
    txWireEnd = start + byteTime * static_cast<int64_t>(out.bytes.size());
    SleepUntil(txWireEnd);
  }
  if (out.chunk == 0) {
    WriteAll(out.bytes.data(), out.bytes.size());
    return;
  }
  for (std::size_t i = 0; i < out.bytes.size(); i += out.chunk) {
    if (i > 0 && out.pauseUs > 0) SleepUntil(Clock::now() + std::chrono::microseconds(out.pauseUs));
    if (!WriteAll(&out.bytes[i], std::min(out.chunk, out.bytes.size() - i))) return;
  }
}

bool SimDevice::State::WriteAll(const uint8_t* data, std::size_t len) {
  while (len > 0) {
    const ssize_t w = ::write(master.Get(), data, len);
    if (w > 0) {
      data += w;
      len -= static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN) return false;
    pollfd fds[2] = {{master.Get(), POLLOUT, 0}, {wake.Get(), POLLIN, 0}};
    ::poll(fds, 2, 100);
    std::lock_guard lk(m);
    if (stop || unplugRequest) return false;
  }
  return true;
}

void SimDevice::State::SleepUntil(Clock::time_point t) {
  for (;;) {
    const auto now = Clock::now();
    if (now >= t) return;
    {
      std::lock_guard lk(m);
      if (stop) return;
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - now).count();
    pollfd fd{wake.Get(), POLLIN, 0};
    // poll() counts milliseconds: sleep the sub-millisecond rest directly.
    if (us < 1000) {
      std::this_thread::sleep_for(std::chrono::microseconds(us));
      return;
    }
    if (::poll(&fd, 1, static_cast<int>(us / 1000)) > 0) {
      uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(wake.Get(), &v, sizeof v);
    }
  }
}

// Closing the master flushes what the host has not read yet: give the host up
// to two seconds to take the last reply first.
void SimDevice::State::DrainToHost() {
  // The bytes may not have reached the slave's queue yet when we first look:
  // once they were seen, two empty looks suffice, else wait for 50 ms of quiet.
  const auto until = Clock::now() + std::chrono::seconds(2);
  int quiet = 0;
  bool seen = false;
  while (Clock::now() < until && quiet < (seen ? 2 : 25)) {
    int pending = 0;
    if (::ioctl(slave.Get(), FIONREAD, &pending) != 0) return;
    seen = seen || pending > 0;
    quiet = pending == 0 ? quiet + 1 : 0;
    SleepUntil(Clock::now() + std::chrono::milliseconds(2));
  }
}

void SimDevice::State::DoUnplug() {
  master.Reset();
  slave.Reset();
  std::lock_guard lk(m);
  unplugged = true;
  unplugRequest = false;
  cv.notify_all();
}

SimDevice::SimDevice(SimOptions options) : s_(std::make_unique<State>()) {
  s_->opt = std::move(options);
  int m = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0) throw std::runtime_error("posix_openpt failed");
  s_->master = Fd(m);
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0) throw std::runtime_error("unlockpt failed");
  char name[128];
  if (::ptsname_r(m, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
  const std::string path = name;
  portName_ = path.substr(std::strlen("/dev/"));
  // Our own slave descriptor keeps the line alive between host sessions. No lock.
  s_->slave = Fd(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!s_->slave.Valid()) throw std::runtime_error("cannot open " + path);
  termios t{};
  ::tcgetattr(s_->slave.Get(), &t);
  ::cfmakeraw(&t);
  ::tcsetattr(s_->slave.Get(), TCSANOW, &t);
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
  s_->wake = Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!s_->wake.Valid()) throw std::runtime_error("eventfd failed");
  s_->thread = std::thread([this] { Run(); });
}

SimDevice::~SimDevice() {
  {
    std::lock_guard lk(s_->m);
    s_->stop = true;
  }
  Wake();
  if (s_->thread.joinable()) s_->thread.join();
}

void SimDevice::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t r = ::write(s_->wake.Get(), &one, sizeof one);
}

void SimDevice::Run() {
  State& s = *s_;
  std::vector<uint8_t> buf(16384);
  for (;;) {
    bool doUnplug = false;
    int cycles = 0;
    int timeoutMs = -1;
    bool paced = false;
    uint32_t byteTimeNs = 0, flashUsPerKB = 0;
    {
      std::lock_guard lk(s.m);
      if (s.stop) return;
      paced = s.opt.paced;
      byteTimeNs = s.opt.byteTimeNs;
      flashUsPerKB = s.opt.flashUsPerKB;
      doUnplug = s.unplugRequest && !s.unplugged;
      cycles = s.standAlone && !s.silent ? s.pendingCycles : 0;
      s.pendingCycles = 0;
      if (s.standAlone && s.opt.standaloneIntervalMs > 0 && !s.unplugged) {
        const auto left = s.nextCycle - Clock::now();
        timeoutMs = static_cast<int>(std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1));
        if (left <= Clock::duration::zero()) {
          ++cycles;
          s.nextCycle = Clock::now() + std::chrono::milliseconds(s.opt.standaloneIntervalMs);
          timeoutMs = s.opt.standaloneIntervalMs;
        }
        if (s.silent) cycles = 0;
      }
    }
    if (doUnplug) {
      s.DoUnplug();
      continue;
    }
    for (int c = 0; c < cycles && s.master.Valid(); ++c) {
      std::vector<std::vector<uint8_t>> packets;
      {
        std::lock_guard lk(s.m);
        packets = s.ChipCycle();
      }
      for (const auto& q : packets) {
        Output out;
        out.bytes = FrameReply(q);
        out.paced = paced;
        out.byteTimeNs = byteTimeNs;
        if (q[1] == 0x40 && Get16(&q[3]) > 0)
          out.workTime = std::chrono::microseconds(4ull * flashUsPerKB);
        if (paced) s.rxWireEnd = std::max(s.rxWireEnd, Clock::now());
        s.Send(out);
      }
    }
    pollfd fds[2] = {{s.wake.Get(), POLLIN, 0}, {s.master.Get(), POLLIN, 0}};
    const nfds_t n = s.master.Valid() ? 2 : 1;
    const int r = ::poll(fds, n, timeoutMs);
    if (r < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      [[maybe_unused]] ssize_t rr = ::read(s.wake.Get(), &v, sizeof v);
    }
    if (n == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t got = ::read(s.master.Get(), buf.data(), buf.size());
      {
        // The pacing may have been switched while we slept.
        std::lock_guard lk(s.m);
        paced = s.opt.paced;
        byteTimeNs = s.opt.byteTimeNs;
      }
      if (got > 0) {
        if (paced) {
          const auto now = Clock::now();
          s.rxWireEnd = std::max(s.rxWireEnd, now) +
                        std::chrono::nanoseconds(byteTimeNs) * static_cast<int64_t>(got);
        }
        s.reader.Feed(buf.data(), static_cast<std::size_t>(got));
      } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
        // Should not happen while our own slave descriptor is open; wait for a stop.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
}

// --- accessors ---

int SimDevice::Index() const { return s_->opt.index; }

#define SIM_LOCKED(expr)     \
  std::lock_guard lk(s_->m); \
  return expr

std::vector<uint8_t> SimDevice::Flash() const { SIM_LOCKED(s_->flash); }
std::vector<uint8_t> SimDevice::InfoMemory() const { SIM_LOCKED(s_->info); }
void SimDevice::SetFlash(const std::vector<uint8_t>& bytes) {
  std::lock_guard lk(s_->m);
  s_->flash = bytes;
}
void SimDevice::SetInfoMemory(const std::vector<uint8_t>& bytes) {
  std::lock_guard lk(s_->m);
  s_->info = bytes;
}
bool SimDevice::ReadProtected() const { SIM_LOCKED(s_->readProtected); }
void SimDevice::SetReadProtected(bool on) {
  std::lock_guard lk(s_->m);
  s_->readProtected = on;
}
std::vector<uint8_t> SimDevice::JobImage() const { SIM_LOCKED(s_->jobMain); }
std::vector<uint8_t> SimDevice::JobInfo() const { SIM_LOCKED(s_->jobInfo); }
std::vector<uint8_t> SimDevice::Firmware() const { SIM_LOCKED(s_->firmware); }
std::vector<uint8_t> SimDevice::ProtectConfig() const { SIM_LOCKED(s_->protectCfg); }
std::array<uint8_t, 12> SimDevice::Uid() const { SIM_LOCKED(s_->Uid()); }
int SimDevice::PacketCount(uint8_t code) const {
  std::lock_guard lk(s_->m);
  auto it = s_->byCode.find(code);
  return it == s_->byCode.end() ? 0 : it->second;
}
int SimDevice::ChipOpCount(uint8_t sub) const {
  std::lock_guard lk(s_->m);
  auto it = s_->bySub.find(sub);
  return it == s_->bySub.end() ? 0 : it->second;
}
int SimDevice::TotalPackets() const { SIM_LOCKED(s_->total); }
int SimDevice::ViolationCount() const { SIM_LOCKED(static_cast<int>(s_->violations.size())); }
std::vector<std::string> SimDevice::Violations() const { SIM_LOCKED(s_->violations); }
std::optional<std::array<uint8_t, 64>> SimDevice::LastParamBlock() const {
  SIM_LOCKED(s_->lastParam);
}
std::vector<uint8_t> SimDevice::LastConfigPacket() const { SIM_LOCKED(s_->lastConfig); }
std::vector<uint8_t> SimDevice::LastPacket() const { SIM_LOCKED(s_->lastPacket); }
bool SimDevice::StandAlone() const { SIM_LOCKED(s_->standAlone); }
int SimDevice::ChipCycles() const { SIM_LOCKED(s_->chipCycles); }
bool SimDevice::Unplugged() const { SIM_LOCKED(s_->unplugged); }

#undef SIM_LOCKED

void SimDevice::SetCommandFault(uint8_t code, int param, const CommandFault& fault) {
  std::lock_guard lk(s_->m);
  s_->faults[{code, param}] = fault;
}
void SimDevice::ClearFaults() {
  std::lock_guard lk(s_->m);
  s_->faults.clear();
  s_->notBlank = s_->verifyMismatch = s_->silent = false;
  s_->unplugAfter = -1;
}
void SimDevice::SetNotBlank(bool on) {
  std::lock_guard lk(s_->m);
  s_->notBlank = on;
}
void SimDevice::SetVerifyMismatch(bool on) {
  std::lock_guard lk(s_->m);
  s_->verifyMismatch = on;
}
void SimDevice::SetIdent(const std::string& text) {
  std::lock_guard lk(s_->m);
  s_->opt.ident = text;
}
void SimDevice::SetUnplugAfter(int packets) {
  std::lock_guard lk(s_->m);
  s_->unplugAfter = packets;
}
void SimDevice::SetSilent(bool on) {
  std::lock_guard lk(s_->m);
  s_->silent = on;
}
void SimDevice::SetStandaloneResult(uint8_t result) {
  std::lock_guard lk(s_->m);
  s_->opt.standaloneResult = result;
}
void SimDevice::SetStandaloneInterval(int ms) {
  {
    std::lock_guard lk(s_->m);
    s_->opt.standaloneIntervalMs = ms;
    s_->nextCycle = Clock::now() + std::chrono::milliseconds(ms);
  }
  Wake();
}
void SimDevice::SetPaced(bool on, uint32_t flashUsPerKB) {
  std::lock_guard lk(s_->m);
  s_->opt.paced = on;
  s_->opt.flashUsPerKB = flashUsPerKB;
}
void SimDevice::Unplug() {
  std::unique_lock lk(s_->m);
  if (s_->unplugged) return;
  s_->unplugRequest = true;
  lk.unlock();
  Wake();
  lk.lock();
  s_->cv.wait(lk, [&] { return s_->unplugged; });
}
void SimDevice::RunChipCycle() {
  {
    std::lock_guard lk(s_->m);
    ++s_->pendingCycles;
  }
  Wake();
}

}  // namespace kestra::sim
