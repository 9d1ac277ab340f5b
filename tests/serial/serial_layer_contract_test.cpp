// What the serial component relies on from the port layer, run against both
// backends: the tty backend over a pseudo-terminal and the scripted one. The
// port is driven as the component's threads drive it: issue, and on "pending"
// wait for the record's event and collect the result.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "PtyPair.h"
#include "platform/PosixSerial.h"
#include "platform/ScriptedSerial.h"

namespace kestra::platform {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t WaitLimitMs = 10000;

// The far end of a port.
class Device {
 public:
  virtual ~Device() = default;
  virtual SerialServices& Services() = 0;
  virtual std::string Path() const = 0;
  virtual void Send(const std::vector<uint8_t>& bytes) = 0;
  // The next n bytes the port wrote, or what of them came within the limit.
  virtual std::vector<uint8_t> Take(size_t n) = 0;
  virtual void Vanish() = 0;
  // Whether the time-outs time the reads.
  virtual bool TimesReads() const = 0;
};

class PtyDevice : public Device {
 public:
  SerialServices& Services() override { return services_; }
  std::string Path() const override { return pty_.SlavePath(); }
  void Send(const std::vector<uint8_t>& bytes) override { pty_.Write(bytes); }
  std::vector<uint8_t> Take(size_t n) override { return pty_.Read(n, WaitLimitMs); }
  void Vanish() override { pty_.CloseMaster(); }
  bool TimesReads() const override { return true; }

 private:
  serial::test::PtyPair pty_;
  PosixSerialServices services_;  // closes its ports before the pty goes
};

class ScriptedDevice : public Device {
 public:
  SerialServices& Services() override { return services_; }
  std::string Path() const override { return PortPath("ttyS9"); }
  void Send(const std::vector<uint8_t>& bytes) override { services_.Receive(bytes); }
  std::vector<uint8_t> Take(size_t n) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(WaitLimitMs);
    std::vector<uint8_t> all = services_.Written();
    while (all.size() < taken_ + n && Clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
      all = services_.Written();
    }
    const size_t end = std::min(all.size(), taken_ + n);
    std::vector<uint8_t> out(all.begin() + static_cast<ptrdiff_t>(taken_),
                             all.begin() + static_cast<ptrdiff_t>(end));
    taken_ = end;
    return out;
  }
  void Vanish() override { services_.Vanish(); }
  bool TimesReads() const override { return false; }

 private:
  ScriptedSerialServices services_;
  size_t taken_ = 0;
};

struct Backend {
  const char* name;
  std::function<std::unique_ptr<Device>()> make;
};

void PrintTo(const Backend& b, std::ostream* os) { *os << b.name; }

// Every byte value, so that a line left cooked (new-line mapping, flow-control
// or signal characters) shows.
std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + i / 256) & 0xFF);
  return v;
}

bool Failed(uint32_t r) { return r != ErrSuccess && r != ErrIoPending && r != ErrIoIncomplete; }

class SerialLayerContract : public ::testing::TestWithParam<Backend> {
 protected:
  SerialLayerContract() : device(GetParam().make()), s(device->Services()) {
    for (Overlapped* ov : {&readOv, &writeOv, &commOv}) ov->hEvent = s.CreateEvent(true, true);
  }

  // Opens the port as the serial component does, with the device link's line
  // and the console's read interval unless told otherwise.
  Handle Open(uint32_t readIntervalMs = 2) {
    uint32_t error = ErrGenFailure;
    const Handle port = s.CreateFile(device->Path(), &error);
    EXPECT_NE(port, 0u);
    EXPECT_EQ(error, ErrSuccess);
    EXPECT_EQ(s.SetupComm(port, 4096, 4096), ErrSuccess);
    EXPECT_EQ(s.PurgeComm(port, PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear),
              ErrSuccess);
    CommTimeouts t;
    t.ReadIntervalTimeout = readIntervalMs;
    EXPECT_EQ(s.SetCommTimeouts(port, t), ErrSuccess);
    DeviceControlBlock dcb;
    EXPECT_EQ(s.GetCommState(port, &dcb), ErrSuccess);
    dcb.BaudRate = 1000000;
    dcb.StopBits = 2;
    dcb.fDtrControl = dcb.fRtsControl = 0;
    dcb.fOutX = dcb.fInX = false;
    dcb.XonChar = dcb.XoffChar = '0';
    EXPECT_EQ(s.SetCommState(port, dcb), ErrSuccess);
    EXPECT_EQ(s.SetCommMask(port, EvRlsd | EvErr | EvRing), ErrSuccess);
    return port;
  }

  bool Signalled(const Overlapped& ov, uint32_t timeoutMs) {
    return s.WaitForMultipleObjects(1, &ov.hEvent, timeoutMs) == WaitObject0;
  }

  // Waits for the pending operation's event, then collects it.
  uint32_t Finish(Handle port, Overlapped& ov, uint32_t* transferred) {
    if (!Signalled(ov, WaitLimitMs)) return ErrIoPending;
    return s.GetOverlappedResult(port, &ov, transferred, false);
  }

  uint32_t StartRead(Handle port, uint32_t size = ReadSize) {
    return s.ReadFile(port, buf.data(), size, &n, &readOv);
  }
  std::vector<uint8_t> ReadBytes() const { return {buf.begin(), buf.begin() + n}; }

  // One read as the reader issues it: complete at once, or pending.
  std::vector<uint8_t> ReadOnce(Handle port, uint32_t size = ReadSize) {
    uint32_t r = StartRead(port, size);
    if (r == ErrIoPending) r = Finish(port, readOv, &n);
    EXPECT_EQ(r, ErrSuccess);
    return r == ErrSuccess ? ReadBytes() : std::vector<uint8_t>{};
  }

  // What the reader leaves outstanding on an idle line: a read and a comm-event wait.
  void ArmReader(Handle port) {
    ASSERT_EQ(StartRead(port), ErrIoPending);
    ASSERT_EQ(s.WaitCommEvent(port, &mask, &commOv), ErrIoPending);
  }

  // Writes everything as the writer does, continuing partial writes.
  uint32_t WriteAll(Handle port, const std::vector<uint8_t>& data) {
    uint32_t done = 0;
    while (done < data.size()) {
      uint32_t n = 0;
      uint32_t r = s.WriteFile(port, data.data() + done, static_cast<uint32_t>(data.size() - done),
                               &n, &writeOv);
      if (r == ErrIoPending) {
        if (!Signalled(writeOv, WaitLimitMs)) return ErrIoPending;
        r = s.GetOverlappedResult(port, &writeOv, &n, true);
      }
      if (r != ErrSuccess) return r;
      done += n;
    }
    return ErrSuccess;
  }

  static constexpr uint32_t ReadSize = 2048;
  std::unique_ptr<Device> device;
  SerialServices& s;
  Overlapped readOv, writeOv, commOv;
  std::vector<uint8_t> buf = std::vector<uint8_t>(ReadSize);
  uint32_t n = 0;
  uint32_t mask = 0;
};

TEST_P(SerialLayerContract, OpenIsExclusiveUntilThePortIsClosed) {
  const Handle port = Open();
  EXPECT_TRUE(s.IsCharacterDevice(port));
  uint32_t error = ErrSuccess;
  EXPECT_EQ(s.CreateFile(device->Path(), &error), 0u);
  EXPECT_EQ(error, ErrSharingViolation);
  ASSERT_TRUE(s.CloseHandle(port));
  const Handle again = s.CreateFile(device->Path(), &error);
  EXPECT_NE(again, 0u);
  EXPECT_EQ(error, ErrSuccess);
}

TEST_P(SerialLayerContract, ReadIntervalNeverEndsAReadThatHasNoByte) {
  const Handle port = Open();
  ASSERT_EQ(StartRead(port), ErrIoPending);
  std::this_thread::sleep_for(50ms);  // many intervals
  EXPECT_FALSE(Signalled(readOv, 0));
  EXPECT_EQ(s.GetOverlappedResult(port, &readOv, &n, false), ErrIoIncomplete);
  const std::vector<uint8_t> burst = {1, 2, 3, 0xC0, 5};
  device->Send(burst);
  ASSERT_EQ(Finish(port, readOv, &n), ErrSuccess);
  EXPECT_EQ(ReadBytes(), burst);
}

TEST_P(SerialLayerContract, ReadEndsOnceTheLineWasQuietForTheInterval) {
  if (!device->TimesReads()) GTEST_SKIP() << "this device hands every burst to the read at once";
  constexpr auto interval = 200ms;
  const Handle port = Open(static_cast<uint32_t>(interval.count()));
  ASSERT_EQ(StartRead(port), ErrIoPending);
  device->Send({1, 2, 3});
  std::this_thread::sleep_for(interval / 10);
  const auto lastSent = Clock::now();
  device->Send({4, 5});
  ASSERT_EQ(Finish(port, readOv, &n), ErrSuccess);
  EXPECT_GE(Clock::now() - lastSent, interval);
  EXPECT_EQ(ReadBytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_P(SerialLayerContract, ReceivedBytesComeInOrderInChunksOfAtMostTheReadSize) {
  const Handle port = Open();
  const auto data = Pattern(3000);
  device->Send(data);  // before any read is issued
  std::vector<uint8_t> got;
  for (int reads = 0; got.size() < data.size() && reads < 3000; ++reads) {
    const auto chunk = ReadOnce(port, 1024);
    ASSERT_FALSE(chunk.empty());
    EXPECT_LE(chunk.size(), 1024u);
    got.insert(got.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(got, data);
}

TEST_P(SerialLayerContract, WrittenBytesReachTheDeviceUnchanged) {
  const Handle port = Open();
  const auto data = Pattern(100000);  // more than a tty buffers: writes go pending
  uint32_t result = ErrGenFailure;
  std::thread writer([&] { result = WriteAll(port, data); });
  const auto got = device->Take(data.size());
  writer.join();
  EXPECT_EQ(result, ErrSuccess);
  EXPECT_EQ(got, data);
}

TEST_P(SerialLayerContract, VanishedDeviceFailsEveryOperationButNotAsAClosedPort) {
  const Handle port = Open();
  ASSERT_NO_FATAL_FAILURE(ArmReader(port));
  device->Vanish();
  for (Overlapped* ov : {&readOv, &commOv}) {
    ASSERT_TRUE(Signalled(*ov, WaitLimitMs));
    const uint32_t r = s.GetOverlappedResult(port, ov, &n, false);
    EXPECT_TRUE(Failed(r) && r != ErrInvalidHandle) << r;
  }
  const uint8_t byte = 1;
  for (const uint32_t r : {StartRead(port), s.WriteFile(port, &byte, 1, &n, &writeOv),
                           s.WaitCommEvent(port, &mask, &commOv)})
    EXPECT_TRUE(Failed(r) && r != ErrInvalidHandle) << r;
  EXPECT_TRUE(s.CloseHandle(port));
}

TEST_P(SerialLayerContract, PurgeAbortsThePendingReadAndTheNextReadWorks) {
  const Handle port = Open();
  ASSERT_EQ(StartRead(port), ErrIoPending);
  ASSERT_EQ(s.PurgeComm(port, PurgeRxAbort | PurgeRxClear), ErrSuccess);
  ASSERT_TRUE(Signalled(readOv, WaitLimitMs));
  EXPECT_EQ(s.GetOverlappedResult(port, &readOv, &n, false), ErrOperationAborted);
  device->Send({9, 8, 7});
  EXPECT_EQ(ReadOnce(port), (std::vector<uint8_t>{9, 8, 7}));
}

TEST_P(SerialLayerContract, CloseEndsPendingOperationsAndInvalidatesTheHandle) {
  const Handle port = Open();
  ASSERT_NO_FATAL_FAILURE(ArmReader(port));
  ASSERT_TRUE(s.CloseHandle(port));
  EXPECT_TRUE(Signalled(readOv, WaitLimitMs));
  EXPECT_TRUE(Signalled(commOv, WaitLimitMs));
  DeviceControlBlock dcb;
  const uint8_t byte = 1;
  for (const uint32_t r :
       {s.GetOverlappedResult(port, &readOv, &n, false), StartRead(port, 1),
        s.WriteFile(port, &byte, 1, &n, &writeOv), s.WaitCommEvent(port, &mask, &commOv),
        s.PurgeComm(port, PurgeRxAbort), s.SetCommState(port, dcb), s.ClearCommError(port, &n)})
    EXPECT_EQ(r, ErrInvalidHandle);
  EXPECT_FALSE(s.CloseHandle(port));
  // Nothing of the closed port holds the line: it opens again and works.
  const Handle again = Open();
  device->Send({0x55});
  EXPECT_EQ(ReadOnce(again), std::vector<uint8_t>{0x55});
}

INSTANTIATE_TEST_SUITE_P(
    Backends, SerialLayerContract,
    ::testing::Values(
        Backend{"Tty", [] { return std::unique_ptr<Device>(std::make_unique<PtyDevice>()); }},
        Backend{"Scripted",
                [] { return std::unique_ptr<Device>(std::make_unique<ScriptedDevice>()); }}),
    [](const ::testing::TestParamInfo<Backend>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestra::platform
