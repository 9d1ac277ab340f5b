// Replies that prove nothing, fed through the window's receive path as a
// programmer would send them: each ends its channel as a failure (or, for a
// read-out block, as a failed attempt), never as a success, and leaves the
// image, the info data and the counters as they were.
#include <QLabel>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ConsoleFixture.h"
#include "ReplyBytes.h"
#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "link/Frame.h"
#include "link/Packets.h"

namespace kestra::console::testing {
namespace {

using namespace kestra::testing;

// A 10-byte reply (length field n, no payload) whose check's low byte is
// byte: the low byte a byte-[8] reading would take for a status.
Bytes CheckByteReply(uint8_t code, int n, uint8_t byte) {
  for (uint32_t param = 0; param < 0x10000; ++param) {
    Bytes p = ReplyPacket(code, static_cast<uint16_t>(param), {}, n);
    if (p[8] == byte) return p;
  }
  ADD_FAILURE() << "no such reply";
  return {};
}

Bytes HeaderOnly(Bytes p) {
  p.resize(8);
  return p;
}
Bytes BadCheck(Bytes p) {
  p.back() ^= 0x5A;
  return p;
}

// The verify reply of a programmer: status, then the chip's two check words.
Bytes VerifyReply(uint8_t status) {
  Bytes payload(16, 0);
  payload[0] = status;
  payload[2] = 0x01;  // [10..11]
  payload[6] = 0xEF;  // [14..15]
  payload[7] = 0xBE;
  return ReplyPacket(0x93, link::SubVerifyMain, payload);
}

class DamagedReply : public ConsoleFixture {
 protected:
  void SetUp() override {
    ConsoleFixture::SetUp();
    StartWithoutDevices();
    for (int k = 0; k < ChannelCount; ++k) st.DeviceOnline[k] = 1;
    st.DevicesFound = ChannelCount;
    SelectChip(2, "APOLLO128-KBR", 5);  // 128 KB, the Apollo chip information layout
  }

  void Feed(int k, const Bytes& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += link::RxChunkMax) {
      const std::size_t n = std::min(bytes.size() - at, link::RxChunkMax);
      w->ops->SerCommReceiveData(k, bytes.data() + at, static_cast<uint16_t>(n));
    }
  }

  // A read-out of kb KB on channel 1, started as its command starts it.
  void BeginRead(Operation op, uint16_t kb) {
    StartOperation(st, 0, OperationRequest(op));
    st.TransferSizeKB[0] = kb;
  }

  std::string Line(int k, const std::string& text) const {
    return "Channel " + std::to_string(k + 1) + " : " + text;
  }
  bool AnyLineHas(const std::string& part) const {
    for (const auto& l : Lines())
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

struct Case {
  const char* name;
  int ch;
  std::function<void()> start;
  Bytes reply;
  const char* result;   // the channel's result line
  const char* success;  // text that no line may hold
};

TEST_F(DamagedReply, EndsTheChannelAsAFailure) {
  const auto verify = [this] {
    st.AutoMode[1] = 1;  // a good verify would count the chip
    StartVerifyMain(st, 1);
  };
  const auto infoVerify = [this] { StartVerifyInfo(st, 2); };
  const auto blank = [this] { StartBlankCheck(st, 3); };
  const auto readInfo = [this] { BeginRead(Operation::ReadInfo, 8); };
  const auto chipInfo = [this](char series) {
    return [this, series] {
      st.s.ChipSeries = series;
      StartOperation(st, 3, OperationRequest(Operation::ReadChipInfo));
    };
  };
  const char* verifyOk = "Main Data verify success!";
  const Case cases[] = {
      {"verify, header only", 1, verify, HeaderOnly(VerifyReply(0)), "Packet checksum error!",
       verifyOk},
      {"verify, 10 bytes claiming a status, check ending in 00", 1, verify,
       CheckByteReply(0x93, 1, 0x00), "Packet checksum error!", verifyOk},
      {"verify, N = 0, check ending in 06", 1, verify, CheckByteReply(0x93, 0, 0x06),
       "Packet checksum error!", verifyOk},
      {"verify, status 0 and a wrong check", 1, verify, BadCheck(VerifyReply(0)),
       "Packet checksum error!", verifyOk},
      {"info verify, header only", 2, infoVerify, HeaderOnly(VerifyReply(0)),
       "Packet checksum error!", "EEP Data verify success!"},
      {"info verify, status 0 and a wrong check", 2, infoVerify, BadCheck(VerifyReply(0)),
       "Packet checksum error!", "EEP Data verify success!"},
      {"blank check, N = 0, check ending in 00", 3, blank, CheckByteReply(0x93, 0, 0x00),
       "Packet checksum error!", "Current Chip is blank!"},
      {"info read-out, bare success status", 0, readInfo, ReplyPacket(0x9C, 0, {0x00}),
       "Data error!", "Read Out Info Data!"},
      {"info read-out, N = 16", 0, readInfo, ReplyPacket(0x9C, 0, Bytes(16, 0x00)), "Data error!",
       "Read Out Info Data!"},
      {"Apollo chip information, N = 16", 3, chipInfo('6'),
       ReplyPacket(0x93, link::SubReadChipInfo, Bytes(16, 0x00)), "Data error!", "UID"},
      {"Active-Semi chip information, Apollo-sized", 3, chipInfo('7'),
       ReplyPacket(0x93, link::SubReadChipInfo, Bytes(256, 0x00)), "Data error!", "UID"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    w->InfoMemo->Clear();
    std::memset(st.InfoBuffer.get(), 0xA5, link::InfoBufferSize);
    const int counter = st.OnlineCounter;
    c.start();
    Feed(c.ch, Framed(c.reply));
    EXPECT_TRUE(Has(Line(c.ch, c.result))) << Dump();
    EXPECT_FALSE(AnyLineHas(c.success));
    EXPECT_EQ(st.ChannelState[c.ch], StateIdle);
    EXPECT_EQ(w->Gauges[c.ch]->ForeColor(), ui::GaugeRed);
    EXPECT_EQ(st.OnlineCounter, counter);
    EXPECT_EQ(st.InfoBuffer[0], 0xA5);
    EXPECT_EQ(st.InfoBuffer[4095], 0xA5);
  }
}

// A checksum-error verify reply too short for the chip's words: the buffer
// line and the failure, no invented chip values.
TEST_F(DamagedReply, ShortChecksumErrorReplyShowsNoChipValues) {
  StartVerifyMain(st, 0);
  Feed(0, Framed(ReplyPacket(0x93, link::SubVerifyMain, {0x34})));
  EXPECT_TRUE(Has("Channel 1 : Current Buffer Checksum is: 0x0000, 0x0000."));
  EXPECT_TRUE(Has("Channel 1 : Chip checksum error!"));
  for (const auto& l : Lines()) EXPECT_EQ(l.find("Read out Chip Checksum"), std::string::npos);

  // The whole reply shows both lines, as before.
  StartVerifyMain(st, 0);
  Feed(0, Framed(VerifyReply(0x34)));
  EXPECT_TRUE(Has("Channel 1 : Read out Chip Checksum is : 0xFFFF, 0xBEEF."));
}

// A read-out block answered without its data is a failed attempt: the same
// block is asked for again, six sends in all, then the channel ends; the
// image keeps its bytes (also those of the block that did come) and nothing
// counts as read out.
TEST_F(DamagedReply, ReadOutBlockWithoutDataIsAFailedAttempt) {
  for (const Bytes& reply : {ReplyPacket(0x9B, 0, {0x00}), ReplyPacket(0x9B, 0, Bytes(16, 0x00))}) {
    SCOPED_TRACE(reply.size());
    w->InfoMemo->Clear();
    std::memset(st.ImageBuffer.get(), 0xA5, 2 * 4096);
    st.FileLoaded = 0;
    BeginRead(Operation::ReadMain, 8);
    Feed(0, Framed(ReplyPacket(0x9B, 0, Bytes(4096, 0x11))));  // block 0 arrives whole
    ASSERT_EQ(st.BlockCounter[0], 4);
    for (int send = 1; send < ReadSendsPerBlock; ++send) {
      Feed(0, Framed(reply));
      ASSERT_EQ(st.ChannelState[0], StateReadMain) << send;
      EXPECT_EQ(st.BlockCounter[0], 4);
      EXPECT_EQ(st.ReadRetries[0], ReadSendsPerBlock - send);
      // The block is asked for again: the read command for KB 4 was built.
      EXPECT_EQ(st.PacketBuf(0)[0], link::CmdReadMain);
      EXPECT_EQ(st.PacketBuf(0)[1], 4);
    }
    Feed(0, Framed(reply));
    EXPECT_TRUE(Has("Channel 1 : Data error!"));
    EXPECT_EQ(Lines().back(), "Channel 1 : Read out not finished, the image was kept!");
    EXPECT_EQ(st.ChannelState[0], StateIdle);
    EXPECT_EQ(st.FileLoaded, 0);
    EXPECT_FALSE(Has("Channel 1 : Data has bee read out!"));
    EXPECT_EQ(st.ImageBuffer[0], 0xA5);
    EXPECT_EQ(st.ImageBuffer[4096], 0xA5);
    EXPECT_EQ(st.ImageBuffer[2 * 4096 - 1], 0xA5);
  }
}

// A short identification reply shows only its own text: the longer text an
// earlier reply left in the buffer never shows as the device's name.
TEST_F(DamagedReply, ShortIdentificationShowsOnlyItsOwnText) {
  st.DeviceOnline[1] = 0;
  Feed(1, Framed(IdentReply("KestraGangA4 WITH A LONG VERSION TEXT")));
  ASSERT_TRUE(Has("Channel 2 : Found Device 2 : KestraGangA4 WITH A LONG VERSION TEXT!"));
  st.DeviceOnline[1] = 0;
  Feed(1, Framed(IdentReply("KestraGangA4", 20 + 12)));  // the text runs up to the check
  EXPECT_TRUE(Has("Channel 2 : Found Device 2 : KestraGangA4!")) << Dump();
  EXPECT_EQ(w->InfoPanel->text().toStdString(), "KestraGangA4");
}

// One over-long run on the line, closed or not yet: every reply after it is
// received (the run's closing byte never opens a frame).
TEST_F(DamagedReply, RepliesAfterAnOverLongRunAreAllReceived) {
  for (const std::size_t run : {std::size_t{9000}, std::size_t{20000}}) {
    SCOPED_TRACE(run);
    StartProgramMain(st, 2);
    Bytes line(1, link::FrameEnd);
    line.insert(line.end(), run, 0x41);
    line.push_back(link::FrameEnd);
    for (int i = 0; i < 10; ++i) {
      const Bytes ack = Framed(ReplyPacket(0x95, static_cast<uint16_t>(4 * i), {0x00}));
      line.insert(line.end(), ack.begin(), ack.end());
    }
    Feed(2, line);
    EXPECT_EQ(st.BlockCounter[2], 40) << Dump();
    EXPECT_EQ(st.ChannelState[2], StateProgram);
    EndChannelProgress(st, 2, false);
  }
}

}  // namespace
}  // namespace kestra::console::testing
