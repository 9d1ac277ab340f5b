// The product's link layer (LinkChannel over a real TComm) against the
// simulated device: every sender must be accepted without a violation.
#include <gtest/gtest.h>

#include <QTest>
#include <deque>
#include <memory>
#include <numeric>

#include "SimHost.h"
#include "link/Frame.h"
#include "link/Packets.h"
#include "serial/TComm.h"
#include "sim/SimDevice.h"
#include "sim/SimWire.h"

using namespace kestra;
using Bytes = std::vector<uint8_t>;

namespace {

struct Reply {
  Bytes packet;
  uint8_t status = 0;  // CheckRxPacket of a reply; 0 for a progress packet
};

// One console channel: its buffers, settings and images, its TComm on the
// device's port and the receive path cutting frames into replies.
class LinkHost {
 public:
  // viaTComm: the frames go out and the replies come in through an open TComm;
  // otherwise the TComm stays closed and the test carries each frame that the
  // sender left in TxFrame to the line itself.
  LinkHost(const sim::SimDevice& dev, bool viaTComm)
      : image(link::ImageBufferSize, 0xFF),
        info(link::InfoBufferSize, 0xFF),
        protect(link::ProtectConfigSize, 0xFF),
        buffers(std::make_unique<link::ChannelBuffers>()),
        channel(1, *buffers, settings, image.data(), info.data(), protect.data(), random) {
    if (viaTComm) {
      comm.CommName = dev.PortName();
      serial::ApplyDeviceLinkSettings(comm, 2);
      comm.OnReceiveData = [this](serial::TComm*, const uint8_t* b, uint16_t n) { OnData(b, n); };
      comm.OpenPort();
    } else {
      raw = std::make_unique<simtest::HostPort>(dev.PortPath());
    }
    channel.SetPort(&comm);
  }

  // Runs one sender of the channel and puts its frame on the line.
  template <class F>
  void Do(F&& sender) {
    sender(channel);
    if (!raw) return;
    // The frame: FrameEnd, escaped packet, FrameEnd, five 0xFF.
    const uint8_t* f = buffers->TxFrame;
    std::size_t n = 1;
    while (n < link::TxFrameSize && f[n] != link::FrameEnd) ++n;
    raw->Write(Bytes(f, f + n + 1 + link::FrameTrailerLen));
  }

  std::optional<Reply> Next() {
    if (raw) {
      while (replies.empty()) {
        auto chunk = raw->ReadChunk();
        if (!chunk) return std::nullopt;
        OnData(chunk->data(), static_cast<uint16_t>(chunk->size()));
      }
    } else if (!QTest::qWaitFor([&] { return !replies.empty(); }, 10000)) {
      return std::nullopt;
    }
    Reply r = replies.front();
    replies.pop_front();
    return r;
  }
  // Sends with the link layer's own encoder, bypassing the senders.
  void SendRaw(const Bytes& packet) {
    Bytes frame(link::TxFrameSize);
    const uint16_t n =
        link::EncodeFrame(packet.data(), frame.data(), static_cast<uint16_t>(packet.size()));
    if (raw)
      raw->Write(Bytes(frame.begin(), frame.begin() + n));
    else
      EXPECT_TRUE(comm.SendData(frame.data(), n));
  }
  // Waits for the reply of the packet just sent; its status or 0xEE on silence.
  uint8_t Status() {
    auto r = Next();
    return r ? r->status : 0xEE;
  }

  link::PacketSettings settings;
  Bytes image, info, protect;
  link::RandomSource random;
  std::unique_ptr<link::ChannelBuffers> buffers;
  link::LinkChannel channel;
  serial::TComm comm;
  std::deque<Reply> replies;
  std::unique_ptr<simtest::HostPort> raw;

 private:
  void OnData(const uint8_t* b, uint16_t n) {
    link::ChannelBuffers& ch = *buffers;
    if (ch.RxCount + n > link::RxBufSize) ch.RxCount = 0;
    std::memcpy(ch.RxBuf + ch.RxCount, b, n);
    ch.RxCount = static_cast<uint16_t>(ch.RxCount + n);
    uint16_t pos = 0;
    for (;;) {
      const uint16_t start = pos;
      uint16_t len = 0;
      if (!channel.ExtractRxFrame(pos, len)) {
        std::memmove(ch.RxBuf, ch.RxBuf + start, ch.RxCount - start);
        ch.RxCount = static_cast<uint16_t>(ch.RxCount - start);
        return;
      }
      uint16_t outLen = 0, rawLen = len;
      if (channel.DecodeRxFrame(outLen, rawLen) != 0) continue;
      Reply r;
      r.packet.assign(ch.PacketBuf, ch.PacketBuf + outLen);
      r.status = ch.PacketBuf[0] == 0xFD ? 0 : channel.CheckRxPacket(outLen);
      replies.push_back(std::move(r));
    }
  }
};

// Parameter: true = through TComm, false = the link layer's frames written raw.
class SimLinkTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    host = std::make_unique<LinkHost>(dev, GetParam());
    auto& s = host->settings;
    s.ChipSeries = '6';
    s.ChipFamily = 3;
    s.ChipIndex = 9;
    s.FlashSizeKB = 24;
    s.FlashSizeKBCopy = 24;
    s.InfoMemSize = 8192;
    s.SectorSize = 2048;
    // Framing bytes in the image: the escapes must survive the round trip.
    FillImage(16);
  }
  // Every period-th byte 0xC0, the next one 0xDB, the rest a pattern.
  void FillImage(std::size_t period) {
    auto& s = host->settings;
    for (std::size_t i = 0; i < s.FlashSizeKB * 1024u; ++i)
      host->image[i] = (i % period == 0)   ? 0xC0
                       : (i % period == 1) ? 0xDB
                                           : static_cast<uint8_t>(i >> 4);
    for (std::size_t i = 0; i < s.InfoMemSize; ++i) host->info[i] = static_cast<uint8_t>(i * 13);
    const std::size_t flash = s.FlashSizeKB * 1024u;
    s.ImageSum = sim::ByteSum16(host->image.data(), flash);
    s.ImageCrc = sim::Check16(host->image.data(), flash);
    s.InfoSum = static_cast<uint16_t>(0x10000 - sim::ByteSum16(host->info.data(), s.InfoMemSize));
    s.InfoCrc = sim::Check16(host->info.data(), s.InfoMemSize);
  }
  void TearDown() override {
    if (expectViolations) return;
    for (const auto& v : dev.Violations()) ADD_FAILURE() << "violation: " << v;
  }

  bool expectViolations = false;

  sim::SimDevice dev;
  std::unique_ptr<LinkHost> host;
};

}  // namespace

TEST_P(SimLinkTest, EverySenderIsAcceptedAndTheChipEndsUpHoldingTheImage) {
  const auto& s = host->settings;
  const uint16_t flashKB = s.FlashSizeKB;

  host->Do([&](link::LinkChannel& c) { c.SendSimpleCommand(link::CmdSearchDevice, 0); });
  auto ident = host->Next();
  ASSERT_TRUE(ident);
  char expected[256] = "KestraGangA4";
  EXPECT_EQ(
      link::CheckDeviceIdent(ident->packet.data(), static_cast<uint16_t>(ident->packet.size()),
                             expected, sizeof expected, 20),
      0);
  EXPECT_STREQ(expected, sim::DefaultIdent);

  host->Do([&](link::LinkChannel& c) {
    c.SendConfigPacket(link::CmdDownloadConfig, static_cast<uint16_t>(host->random.Random(0xFFFF)),
                       {"APOLLO512", "image.hex", "", ""});
  });
  EXPECT_EQ(host->Status(), 0);
  for (uint16_t pos = 0; pos < flashKB; pos += 4) {
    host->Do([&](link::LinkChannel& c) { c.SendDataBlock(link::CmdDownloadMain, pos, 0); });
    EXPECT_EQ(host->Status(), 0);
  }
  for (uint16_t pos = 0; pos < s.InfoMemSize / 1024; pos += 4) {
    host->Do([&](link::LinkChannel& c) { c.SendInfoBlock(pos); });
    EXPECT_EQ(host->Status(), 0);
  }
  host->Do([&](link::LinkChannel& c) { c.SendRestCommand(link::CmdRestart); });
  EXPECT_EQ(host->Status(), 0);
  EXPECT_TRUE(std::equal(host->image.begin(), host->image.begin() + flashKB * 1024,
                         dev.JobImage().begin()));

  host->Do([&](link::LinkChannel& c) {
    c.SendParamCommand(link::CmdChipOperation, link::SubBlankCheck);
  });
  EXPECT_EQ(host->Status(), 0);
  for (uint16_t pos = 0; pos < flashKB; pos += 4) {
    host->Do(
        [&](link::LinkChannel& c) { c.SendProgramBlock(link::CmdProgramBlock, pos, 0, 4096); });
    EXPECT_EQ(host->Status(), 0);
  }
  for (uint16_t pos = 0; pos < s.InfoMemSize / 1024; pos += 4) {
    host->Do([&](link::LinkChannel& c) { c.SendInfoWrite(pos); });
    EXPECT_EQ(host->Status(), 0);
  }
  EXPECT_EQ(dev.Flash(), Bytes(host->image.begin(), host->image.begin() + flashKB * 1024));
  EXPECT_EQ(dev.InfoMemory(), Bytes(host->info.begin(), host->info.begin() + s.InfoMemSize));

  for (uint8_t sub : {link::SubVerifyMain, link::SubVerifyInfo}) {
    host->Do([&](link::LinkChannel& c) { c.SendParamCommand(link::CmdChipOperation, sub); });
    auto r = host->Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->packet[8], 0) << int(sub);
  }

  // Read-out into a cleared image gives the same bytes back.
  Bytes original(host->image.begin(), host->image.begin() + flashKB * 1024);
  std::fill(host->image.begin(), host->image.end(), 0xFF);
  for (uint16_t pos = 0; pos < flashKB; pos += 4) {
    host->Do([&](link::LinkChannel& c) { c.SendParamCommand(link::CmdReadMain, pos); });
    auto r = host->Next();
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 0);
    std::copy_n(r->packet.begin() + 8, 4096, host->image.begin() + pos * 1024);
  }
  EXPECT_EQ(Bytes(host->image.begin(), host->image.begin() + flashKB * 1024), original);

  for (uint8_t sub : {link::SubReadChipId, link::SubReadChipInfo, link::SubErase}) {
    host->Do([&](link::LinkChannel& c) { c.SendParamCommand(link::CmdChipOperation, sub); });
    EXPECT_EQ(host->Status(), 0) << int(sub);
  }
  host->Do([&](link::LinkChannel& c) {
    c.SendParamCommand(link::CmdChipOperation, link::SubWriteProtect);
  });
  EXPECT_EQ(host->Status(), 0);
  EXPECT_TRUE(dev.ReadProtected());
  host->Do([&](link::LinkChannel& c) { c.SendRestCommand(link::CmdRestartAfterProtect); });
  EXPECT_EQ(host->Status(), 0);
  EXPECT_EQ(dev.PacketCount(link::CmdProgramBlock), flashKB / 4);
  EXPECT_EQ(dev.PacketCount(link::CmdChipOperation), 7);
}

TEST_P(SimLinkTest, ACorruptedPacketIsCountedAndAnsweredWithAChecksumError) {
  // Build a good packet with the link layer, break one byte and send it raw.
  host->Do([](link::LinkChannel& c) {
    c.SendParamCommand(link::CmdChipOperation, link::SubBlankCheck);
  });
  EXPECT_EQ(host->Status(), 0);
  Bytes packet = dev.LastPacket();
  ASSERT_EQ(packet.size(), 74u);
  packet[20] ^= 0x01;
  host->SendRaw(packet);
  EXPECT_EQ(host->Status(), link::ResPacketChecksum);
  ASSERT_EQ(dev.ViolationCount(), 1);
  EXPECT_NE(dev.Violations()[0].find("PacketCheck16"), std::string::npos);
  // The device's check value differs from the host's only where the packet does.
  EXPECT_EQ(link::PacketCheck16(packet.data(), 0, 71), sim::Check16(packet.data(), 72));
  expectViolations = true;
}

// A read-out block of nothing but framing bytes frames to 8214 bytes, the
// worst-case reply: it must still come through whole.
TEST_P(SimLinkTest, ReadOutOfABlockOfFramingBytes) {
  host->settings.FlashSizeKB = 4;
  dev.SetFlash(Bytes(4096, 0xC0));
  host->Do([](link::LinkChannel& c) { c.SendParamCommand(link::CmdReadMain, 0); });
  auto r = host->Next();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 0);
  ASSERT_EQ(r->packet.size(), 4106u);
  EXPECT_EQ(Bytes(r->packet.begin() + 8, r->packet.begin() + 4104), Bytes(4096, 0xC0));
}

INSTANTIATE_TEST_SUITE_P(Line, SimLinkTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TComm" : "RawFrames"; });
