// Packets sent through a real serial component over a pty pair, read on the
// device side by the test's own frame reader; and replies written by the
// device side cut, decoded and checked on the channel's receive buffers.
#include <gtest/gtest.h>
#include <poll.h>

#include <QTest>
#include <cstring>

#include "LinkFixture.h"
#include "Pty.h"
#include "serial/TComm.h"

using namespace kestra::link;
using namespace kestra::link::test;

namespace {

// Reads host frames from the device side until `count` whole frames arrived
// (or 10 s passed); returns their packets.
std::vector<std::vector<uint8_t>> ReadFrames(int fd, std::size_t count) {
  std::vector<uint8_t> raw;
  std::vector<std::vector<uint8_t>> packets;
  for (int waited = 0; packets.size() < count && waited < 10000;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) {
      waited += 100;
      continue;
    }
    uint8_t buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    raw.insert(raw.end(), buf, buf + n);
    // Whole frames: FrameEnd ... FrameEnd, then the five-byte trailer.
    for (;;) {
      if (raw.empty() || raw[0] != FrameEnd) break;
      std::size_t end = 1;
      while (end < raw.size() && raw[end] != FrameEnd) ++end;
      if (end + 6 > raw.size()) break;
      packets.push_back(Unframe(raw.data(), end + 6));
      raw.erase(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(end + 6));
    }
  }
  return packets;
}

class LinkOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    kestra::serial::ApplyDeviceLinkSettings(comm, 2);
    comm.CommName = pty.PortName();
    comm.OpenPort();
    f.link.SetPort(&comm);
  }
  void TearDown() override { comm.ClosePort(); }

  Pty pty;
  kestra::serial::TComm comm;
  LinkFixture f{2};
};

TEST_F(LinkOverPty, EverySenderArrivesWholeAndInOrder) {
  // Fill the image with the special bytes so that escaping is exercised hard.
  for (std::size_t k = 0; k < 0x20000; ++k) f.image[k] = (k & 1) ? 0xC0 : 0xDB;
  EXPECT_TRUE(f.link.SendSimpleCommand(CmdSearchDevice, 0));
  EXPECT_TRUE(f.link.SendParamCommand(CmdChipOperation, SubWriteProtect));
  EXPECT_TRUE(f.link.SendDataBlock(CmdDownloadMain, 4, 0));
  EXPECT_TRUE(f.link.SendProgramBlock(CmdProgramBlock, 8, 0, 4096));  // worst-case frame
  EXPECT_TRUE(f.link.SendInfoWrite(0));
  EXPECT_TRUE(f.link.SendRestCommand(CmdRestart));
  f.link.SendConfigPacket(CmdDownloadConfig, 0x4321, ConfigTexts{"PAC5523", "a.hex", "", ""});

  const auto packets = ReadFrames(pty.Master(), 7);
  ASSERT_EQ(packets.size(), 7u);
  const uint8_t codes[] = {0x3D, 0x93, 0x55, 0x95, 0x96, 0x8A, 0x53};
  const std::size_t lengths[] = {10, 138, 4106, 4170, 4170, 12, 1546};
  for (std::size_t k = 0; k < 7; ++k) {
    ASSERT_EQ(packets[k].size(), lengths[k]) << k;
    EXPECT_EQ(packets[k][0], codes[k]) << k;
    EXPECT_TRUE(PacketIsWhole(packets[k])) << k;
  }
  EXPECT_EQ(std::vector<uint8_t>(packets[3].begin() + 72, packets[3].begin() + 4168),
            std::vector<uint8_t>(f.image.begin() + 8192, f.image.begin() + 12288));
}

TEST_F(LinkOverPty, RepliesAreCutDecodedAndChecked) {
  // The channel's receive path in small: append, cut, decode, check.
  std::vector<uint8_t> statuses;
  comm.OnReceiveData = [&](kestra::serial::TComm*, const uint8_t* data, uint16_t n) {
    ChannelBuffers& ch = *f.buffers;
    if (ch.RxCount > RxKeepLimit) ch.RxCount = 0;
    std::memcpy(ch.RxBuf + ch.RxCount, data, n);
    ch.RxCount = static_cast<uint16_t>(ch.RxCount + n);
    uint16_t pos = 0, kept = 0, len = 0;
    while (f.link.ExtractRxFrame(pos, len)) {
      kept = pos;
      uint16_t out = 0;
      if (f.link.DecodeRxFrame(out, len) == 0) statuses.push_back(f.link.CheckRxPacket(out));
    }
    std::memmove(ch.RxBuf, ch.RxBuf + kept, ch.RxCount - kept);
    ch.RxCount = static_cast<uint16_t>(ch.RxCount - kept);
  };

  auto reply = [](uint8_t status, bool corrupt) {
    std::vector<uint8_t> p = {0x93, 0, 0, 0, 0, 0, 2, 0, status, 0xC0};
    const uint16_t c = Check16(p, 0, 9);
    p.push_back(static_cast<uint8_t>(c));
    p.push_back(static_cast<uint8_t>(c >> 8));
    if (corrupt) p[9] ^= 1;
    std::vector<uint8_t> frame(2 * p.size() + 7);
    frame.resize(EncodeFrame(p.data(), frame.data(), static_cast<uint16_t>(p.size())));
    return frame;
  };
  std::vector<uint8_t> wire = {0x55, 0x66};  // noise before the first frame
  for (const auto& fr : {reply(0x06, false), reply(0x25, false), reply(0x00, true)})
    wire.insert(wire.end(), fr.begin(), fr.end());
  // Written in two pieces that split a frame.
  ASSERT_EQ(::write(pty.Master(), wire.data(), 9), 9);
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.buffers->RxCount > 0 || !statuses.empty(); }, 10000));
  ASSERT_EQ(::write(pty.Master(), wire.data() + 9, wire.size() - 9),
            static_cast<ssize_t>(wire.size() - 9));
  ASSERT_TRUE(QTest::qWaitFor([&] { return statuses.size() >= 3; }, 10000));
  EXPECT_EQ(statuses, (std::vector<uint8_t>{0x06, 0x25, ResPacketChecksum}));
}

}  // namespace
