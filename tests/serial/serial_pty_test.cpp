// TComm over real pseudo-terminals: the test holds the master (device) side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>
#include <numeric>

#include "PtyPair.h"
#include "platform/DeviceTable.h"
#include "platform/SerialServices.h"
#include "serial/TComm.h"

namespace kestra::serial {
namespace {

using test::PtyPair;

// Records what a component reports.
struct Recorder {
  std::vector<std::vector<uint8_t>> chunks;
  bool zeroAfterEveryChunk = true;
  int hangups = 0;
  int empties = 0;

  explicit Recorder(TComm& c) {
    c.OnReceiveData = [this](TComm*, const uint8_t* buf, uint16_t len) {
      chunks.emplace_back(buf, buf + len);
      if (buf[len] != 0) zeroAfterEveryChunk = false;
    };
    c.OnRequestHangup = [this](TComm*) { ++hangups; };
    c.OnSendDataEmpty = [this](TComm*) { ++empties; };
  }
  std::vector<uint8_t> All() const {
    std::vector<uint8_t> all;
    for (const auto& c : chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
  }
  size_t Total() const {
    return std::accumulate(chunks.begin(), chunks.end(), size_t{0},
                           [](size_t s, const auto& c) { return s + c.size(); });
  }
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
  return v;
}

// Runs the plain-open helper on path in a process of its own: the errno of
// its open() (0 when it opened), or -1 when it did not run to its end.
int PlainOpenErrno(const std::string& path) {
  const char* argv[] = {KESTRA_PLAIN_OPEN, path.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, KESTRA_PLAIN_OPEN, nullptr, nullptr, const_cast<char**>(argv), environ) !=
      0)
    return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PtyComm : public ::testing::Test {
 protected:
  void SetUp() override {
    ApplyDeviceLinkSettings(comm, 2);
    comm.CommName = pty.PortName();
  }
  PtyPair pty;
  TComm comm;
};

TEST_F(PtyComm, OpensClosesAndReopens) {
  comm.ClosePort();  // closed: nothing happens
  EXPECT_EQ(comm.PortHandle(), 0u);
  for (int round = 0; round < 2; ++round) {
    comm.OpenPort();
    EXPECT_NE(comm.PortHandle(), 0u);
    comm.ClosePort();
    EXPECT_EQ(comm.PortHandle(), 0u);
  }
}

TEST_F(PtyComm, MissingPortNamesThePortAndLeavesTheComponentOpenable) {
  comm.CommName = "ttyKestraNoSuchPort";
  try {
    comm.OpenPort();
    FAIL() << "opened a port that does not exist";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Error opening serial port:ttyKestraNoSuchPort");
  }
  EXPECT_EQ(comm.PortHandle(), 0u);
  comm.CommName = pty.PortName();
  EXPECT_NO_THROW(comm.OpenPort());
  EXPECT_NE(comm.PortHandle(), 0u);
}

TEST_F(PtyComm, SecondOpenIsRefusedAndThePortKeepsWorking) {
  comm.OpenPort();
  const auto handle = comm.PortHandle();
  try {
    comm.OpenPort();
    FAIL() << "opened twice";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "This serial port already opened");
  }
  EXPECT_EQ(comm.PortHandle(), handle);
  const std::vector<uint8_t> data = {1, 2, 3, 0xC0};
  ASSERT_TRUE(QTest::qWaitFor([&] { return comm.SendData(data.data(), 4); }, 10000));
  EXPECT_EQ(pty.Read(4), data);
}

TEST_F(PtyComm, PortHeldByAnotherComponentFailsToOpen) {
  comm.OpenPort();
  TComm other;
  other.CommName = pty.PortName();
  EXPECT_THROW(other.OpenPort(), ECommsError);
  EXPECT_EQ(other.PortHandle(), 0u);
  comm.ClosePort();
  EXPECT_NO_THROW(other.OpenPort());
}

TEST_F(PtyComm, PlainOpenerIsRefusedWhileThePortIsHeld) {
  // Like the device simulator, keep a descriptor of our own on the tty, so
  // its state outlives the component's sessions.
  const int own = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(own, 0);
  auto exclusive = [&] {
    int on = -1;
    return ioctl(own, TIOCGEXCL, &on) == 0 ? on : -1;
  };
  EXPECT_EQ(PlainOpenErrno(pty.SlavePath()), 0);  // free: anyone may open it
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_THROW(comm.OpenPort());
    EXPECT_EQ(exclusive(), 1);
    EXPECT_EQ(PlainOpenErrno(pty.SlavePath()), EBUSY);
    EXPECT_FALSE(platform::ProbeExclusiveOpen(pty.PortName()));  // the port listing's test
    comm.ClosePort();
    EXPECT_EQ(exclusive(), 0);
    EXPECT_EQ(PlainOpenErrno(pty.SlavePath()), 0);
    EXPECT_TRUE(platform::ProbeExclusiveOpen(pty.PortName()));
  }
  close(own);
}

TEST_F(PtyComm, DeviceLinkLineSettingsReachTheTty) {
  comm.OpenPort();
  // A pty master reports its slave's settings; the slave itself is ours alone.
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.MasterFd(), &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B1000000);
  EXPECT_EQ(cfgetispeed(&tio), B1000000);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
  EXPECT_FALSE(tio.c_oflag & OPOST);

  platform::DeviceControlBlock dcb;
  ASSERT_EQ(comm.Services().GetCommState(comm.PortHandle(), &dcb), platform::ErrSuccess);
  EXPECT_EQ(dcb.BaudRate, 1000000u);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.fDtrControl, 0);
  EXPECT_EQ(dcb.fRtsControl, 0);
  EXPECT_EQ(dcb.XonChar, '0');
}

TEST_F(PtyComm, BurstArrivesInOrderInChunksOfAtMost2048) {
  Recorder rec(comm);
  comm.OpenPort();
  const auto data = Pattern(10000);
  pty.Write(data);
  ASSERT_TRUE(QTest::qWaitFor([&] { return rec.Total() >= data.size(); }, 10000));
  QTest::qWait(20);
  EXPECT_EQ(rec.All(), data);
  EXPECT_TRUE(rec.zeroAfterEveryChunk);
  for (const auto& c : rec.chunks) EXPECT_LE(c.size(), 2048u);
}

TEST_F(PtyComm, SendDataRefusesEmptyBlocksAndClosedPorts) {
  const uint8_t byte = 0x55;
  EXPECT_FALSE(comm.SendData(&byte, 1));  // closed
  comm.OpenPort();
  EXPECT_FALSE(comm.SendData(&byte, 0));
  comm.ClosePort();
  EXPECT_FALSE(comm.SendData(&byte, 1));
}

TEST_F(PtyComm, SendDataEmptyOnceAfterOpenAndOncePerDrain) {
  Recorder rec(comm);
  comm.OpenPort();
  ASSERT_TRUE(QTest::qWaitFor([&] { return rec.empties == 1; }, 10000));
  const auto data = Pattern(3000);
  ASSERT_TRUE(comm.SendData(data.data(), static_cast<uint16_t>(data.size())));
  EXPECT_EQ(pty.Read(data.size()), data);
  ASSERT_TRUE(QTest::qWaitFor([&] { return rec.empties == 2; }, 10000));
  QTest::qWait(50);
  EXPECT_EQ(rec.empties, 2);
}

TEST_F(PtyComm, BlocksAreWrittenInPostingOrder) {
  comm.OpenPort();
  const auto data = Pattern(20000);
  for (size_t off = 0; off < data.size(); off += 1000)
    ASSERT_TRUE(comm.SendData(data.data() + off, 1000));
  EXPECT_EQ(pty.Read(data.size()), data);
}

TEST_F(PtyComm, VanishedDeviceGivesAtMostOneHangupPerThread) {
  Recorder rec(comm);
  comm.OpenPort();
  ASSERT_TRUE(QTest::qWaitFor([&] { return rec.empties == 1; }, 10000));
  pty.CloseMaster();
  ASSERT_TRUE(QTest::qWaitFor([&] { return rec.hangups >= 1; }, 10000));
  const uint8_t byte = 1;
  comm.SendData(&byte, 1);  // the writer finds the device gone too
  ASSERT_TRUE(QTest::qWaitFor([&] { return rec.hangups >= 2; }, 10000));
  comm.SendData(&byte, 1);
  QTest::qWait(50);
  EXPECT_EQ(rec.hangups, 2);
  QElapsedTimer t;
  t.start();
  comm.ClosePort();
  EXPECT_LT(t.elapsed(), 5000);
  EXPECT_EQ(comm.PortHandle(), 0u);
}

TEST_F(PtyComm, ClosingWithAWritePendingEndsTheWriterWithoutHangup) {
  Recorder rec(comm);
  comm.OpenPort();
  // Nobody reads the master: the tty's buffers fill and a write stays pending.
  const auto data = Pattern(60000);
  for (int i = 0; i < 8; ++i)
    ASSERT_TRUE(comm.SendData(data.data(), static_cast<uint16_t>(data.size())));
  QTest::qWait(100);
  QElapsedTimer t;
  t.start();
  comm.ClosePort();
  EXPECT_LT(t.elapsed(), 5000);
  QTest::qWait(50);
  EXPECT_EQ(rec.hangups, 0);
}

TEST_F(PtyComm, DestroyingAnOpenComponentClosesThePort) {
  {
    TComm temp;
    temp.CommName = pty.PortName();
    temp.OpenPort();
  }
  EXPECT_NO_THROW(comm.OpenPort());
}

}  // namespace
}  // namespace kestra::serial
