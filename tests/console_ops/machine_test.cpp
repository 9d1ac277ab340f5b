// The channel machine without a display or a device: replies are placed in
// the channel's packet buffer and handed to the dispatcher.
#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "MachineFixture.h"
#include "ReplyBytes.h"
#include "console/ChipInfoDisplay.h"
#include "link/Frame.h"

namespace kestra::console::testing {
namespace {

using Machine = MachineFixture;

TEST_F(Machine, StatusSixIsSuccessLikeZero) {
  for (uint8_t status : {uint8_t{0}, uint8_t{6}}) {
    SCOPED_TRACE(status);
    memo.Clear();
    st.AutoMode[1] = 0;
    StartBlankCheck(st, 1);
    Reply(1, status);
    EXPECT_TRUE(Has("Channel 2 : Current Chip is blank!"));
    EXPECT_EQ(st.ChannelState[1], StateIdle);
    EXPECT_EQ(gauges[1]->ForeColor(), ui::GaugeBlue);

    StartErase(st, 1);
    Reply(1, status);
    EXPECT_TRUE(Has("Channel 2 : Chip has been erased!"));
    StartProgramMain(st, 1);
    EXPECT_EQ(ReplyUntilIdle(1, status), 8);  // 32 KB in 4 KB blocks
    EXPECT_TRUE(Has("Channel 2 : Programming Success!"));
  }
}

// A job keeps the image and info data it started with; once it ends, those
// bytes may be gone (the image written meanwhile is another one). An idle
// channel, whether its own job has ended or it never had one, sends no block
// of either: nothing is built.
TEST_F(Machine, IdleChannelSendsNoBlock) {
  OpenJob(st, 1, OperationRequest(Operation::Program));
  st.ImageBuffer.get()[0] = 0x11;  // the job still holds the image: a new one
  st.InfoBuffer.get()[0] = 0x22;
  CloseJob(st, 1);  // the last holder of the old image lets it go
  const struct {
    const char* name;
    bool (*send)(link::LinkChannel&);
  } senders[] = {
      {"main download block",
       [](link::LinkChannel& l) { return l.SendDataBlock(link::CmdDownloadMain, 4, 0); }},
      {"program block",
       [](link::LinkChannel& l) { return l.SendProgramBlock(link::CmdProgramBlock, 4, 0, 4096); }},
      {"info download block", [](link::LinkChannel& l) { return l.SendInfoBlock(4); }},
      {"info write block", [](link::LinkChannel& l) { return l.SendInfoWrite(4); }},
  };
  for (int ch = 0; ch < ChannelCount; ++ch) {
    for (const auto& c : senders) {
      SCOPED_TRACE(std::string(c.name) + " on channel " + std::to_string(ch + 1));
      link::ChannelBuffers& b = *st.Buffers[ch];
      std::memset(b.PacketBuf, 0x5A, 16);
      std::memset(b.TxFrame, 0x5A, 16);
      EXPECT_FALSE(c.send(*st.Link[ch]));
      EXPECT_TRUE(std::all_of(b.PacketBuf, b.PacketBuf + 16, [](uint8_t v) { return v == 0x5A; }));
      EXPECT_TRUE(std::all_of(b.TxFrame, b.TxFrame + 16, [](uint8_t v) { return v == 0x5A; }));
    }
  }
}

struct BlockCase {
  uint16_t flashKB;
  int replies;
};

TEST_F(Machine, BlockStepping) {
  for (const BlockCase c :
       {BlockCase{256, 64}, BlockCase{2, 1}, BlockCase{0, 1}, BlockCase{4, 1}, BlockCase{5, 2}}) {
    SCOPED_TRACE(c.flashKB);
    st.s.FlashSizeKB = c.flashKB;
    StartProgramMain(st, 2);
    EXPECT_EQ(st.BlockCounter[2], 0);
    EXPECT_EQ(ReplyUntilIdle(2, 0), c.replies);
    StartMainDownload(st, 3);
    EXPECT_EQ(ReplyUntilIdle(3, 0), c.replies);
  }
}

TEST_F(Machine, InfoBlocksFollowInfoMemSize) {
  for (const BlockCase c : {BlockCase{2048, 1}, BlockCase{8192, 2}, BlockCase{500, 1}}) {
    SCOPED_TRACE(c.flashKB);
    st.s.InfoMemSize = c.flashKB;
    StartWriteInfo(st, 1);
    EXPECT_EQ(ReplyUntilIdle(1, 0), c.replies);
    StartInfoDownload(st, 1);
    EXPECT_EQ(ReplyUntilIdle(1, 0), c.replies);
  }
}

TEST_F(Machine, FailureLogsResultTextThenRedIdle) {
  StartProgramMain(st, 0);
  Reply(0, 0);
  Reply(0, 0x2C);
  const auto l = Lines();
  EXPECT_EQ(l.back(), "Channel 1 : Flash Memory Error!");
  EXPECT_EQ(st.ChannelState[0], StateIdle);
  EXPECT_EQ(st.ChannelBusy[0], 0);
  EXPECT_EQ(gauges[0]->ForeColor(), ui::GaugeRed);
  EXPECT_EQ(gauges[0]->Progress(), gauges[0]->MaxValue());
}

TEST_F(Machine, ManualProgramWithInfoDataDiffersOnChannelOne) {
  st.ProgramInfoData = true;
  st.s.InfoMemSize = 1024;
  for (int ch : {0, 1}) {
    StartProgramMain(st, ch);
    ReplyUntilIdle(ch, 0);
  }
  EXPECT_TRUE(Has("Channel 1 : Info Data write success!"));
  EXPECT_FALSE(Has("Channel 1 : Programming Success!"));
  EXPECT_TRUE(Has("Channel 2 : Programming Success!"));
  EXPECT_FALSE(Has("Channel 2 : Info Data write success!"));
}

TEST_F(Machine, ChannelOneStartersOwnTheTimedProgressFlag) {
  st.ProgressByTimer = false;
  StartBlankCheck(st, 2);
  EXPECT_FALSE(st.ProgressByTimer);
  StartBlankCheck(st, 0);
  EXPECT_TRUE(st.ProgressByTimer);
  StartProgramMain(st, 3);
  EXPECT_TRUE(st.ProgressByTimer);
  EXPECT_EQ(st.OpTimeout[3], 300);
  StartProgramMain(st, 0);
  EXPECT_FALSE(st.ProgressByTimer);
  EXPECT_EQ(st.OpTimeout[0], 500);

  StartInfoDownload(st, 0);
  StartInfoDownload(st, 1);
  EXPECT_TRUE(Has("Channel 1 : Download Info Data ......"));
  EXPECT_TRUE(Has("Channel 2 : Download EEP Data ......"));
}

TEST_F(Machine, BlankCheckWordsNotBlankAndProtected) {
  struct Case {
    uint8_t status;
    const char* line;
  };
  for (const Case c :
       {Case{0x15, "Channel 1 : Chip is not blank!"}, Case{0x10, "Channel 1 : Chip is Protected!"},
        Case{0x13, "Channel 1 : Chip is Protected!"}}) {
    SCOPED_TRACE(c.status);
    memo.Clear();
    st.AutoMode[0] = 0;
    StartBlankCheck(st, 0);
    Reply(0, c.status);
    EXPECT_EQ(Lines().back(), c.line);  // no result text after it
    EXPECT_EQ(gauges[0]->ForeColor(), ui::GaugeRed);
    EXPECT_EQ(st.ChannelState[0], StateIdle);

    st.AutoMode[0] = 1;
    StartBlankCheck(st, 0);
    Reply(0, c.status);
    EXPECT_EQ(st.ChannelState[0], StateErase);
  }
}

TEST_F(Machine, VerifyChecksumErrorLines) {
  st.s.ImageSum = 0x1234;
  st.s.ImageCrc = 0xABCD;
  StartVerifyMain(st, 0);
  uint8_t* r = st.PacketBuf(0);
  r[10] = 0x01;
  r[11] = 0x00;
  r[14] = 0xEF;
  r[15] = 0xBE;
  Reply(0, 0x34, 26);  // the device's verify reply: 16 payload bytes
  const int a = Find("Channel 1 : Current Buffer Checksum is: 0x1234, 0xABCD.");
  const int b = Find("Channel 1 : Read out Chip Checksum is : 0xFFFF, 0xBEEF.");
  const int c = Find("Channel 1 : Chip checksum error!");
  ASSERT_GE(a, 0);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, a + 2);
  EXPECT_EQ(st.ChannelState[0], StateIdle);
}

TEST_F(Machine, VerifyReplyThatFailsItsCheckIsAChecksumError) {
  StartVerifyMain(st, 1);
  st.PacketBuf(1)[8] = 0;
  st.Buffers[1]->PacketLen = 26;
  DispatchReply(st, 1, 0x23);  // packet check failed, reply byte says success
  EXPECT_FALSE(Has("Channel 2 : Main Data verify success!"));
  EXPECT_EQ(Lines().back(), "Channel 2 : Packet checksum error!");
  EXPECT_EQ(gauges[1]->ForeColor(), ui::GaugeRed);
}

TEST_F(Machine, VerifySuccessCountsOnlyAutoWithoutProtection) {
  st.AutoMode[0] = 1;
  StartVerifyMain(st, 0);
  Reply(0, 0);
  EXPECT_EQ(st.OnlineCounter, 1);
  EXPECT_EQ(panels[3], "OnLine Counter: 1");

  st.ProtectAfterVerify = true;
  StartVerifyMain(st, 0);
  Reply(0, 0);
  EXPECT_EQ(st.ChannelState[0], StateProtectWrite);
  EXPECT_EQ(st.OnlineCounter, 1);
  Reply(0, 0);
  EXPECT_TRUE(Has("Channel 1 : Chip Protected data write success!"));
  EXPECT_EQ(st.OnlineCounter, 1);

  st.ProtectAfterVerify = false;
  st.AutoMode[0] = 0;
  StartVerifyMain(st, 0);
  Reply(0, 0);
  EXPECT_EQ(st.OnlineCounter, 1);
}

// The read command's start on channel ch: state, retries and progress, then block 0.
void BeginRead(ConsoleState& st, int ch) {
  StartOperation(st, ch, OperationRequest(Operation::ReadMain));
}

TEST_F(Machine, ReadOutRetriesEachBlockSixSends) {
  st.s.FlashSizeKB = 8;
  BeginRead(st, 0);
  for (int i = 0; i < 5; ++i) Reply(0, 0x2C);
  EXPECT_EQ(st.ChannelState[0], StateReadMain);
  EXPECT_EQ(st.BlockCounter[0], 0);
  BlockReply(0, 0x5A);  // sixth send succeeds: a data reply
  EXPECT_EQ(st.BlockCounter[0], 4);
  EXPECT_EQ(st.ReadRetries[0], ReadSendsPerBlock);
  EXPECT_EQ(st.ImageBuffer[0], 0x00) << "the image takes a read-out only whole";
  for (int i = 0; i < 5; ++i) Reply(0, 0x31);
  EXPECT_EQ(st.ChannelState[0], StateReadMain);
  EXPECT_FALSE(Has("Channel 1 : Data verify error!"));
  Reply(0, 0x31);  // sixth failure of the second block
  const auto lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Channel 1 : Data verify error!");
  EXPECT_EQ(lines.back(), "Channel 1 : Read out not finished, the image was kept!");
  EXPECT_EQ(st.ChannelState[0], StateIdle);
  EXPECT_EQ(st.ImageBuffer[0], 0x00);
  EXPECT_EQ(st.ImageBuffer[4095], 0x00);
  EXPECT_TRUE(st.ReadOutBytes.empty());
  EXPECT_EQ(st.FileLoaded, 0);
  EXPECT_EQ(imageSummaries, 0);
}

TEST_F(Machine, ReadOutStoresBlocksAtBaseAndEndsLoaded) {
  st.s.FlashSizeKB = 8;
  st.ImageBaseAddr = 0x1003;  // low 4 bits cleared
  BeginRead(st, 1);
  for (uint8_t v : {uint8_t{0x11}, uint8_t{0x22}}) BlockReply(1, v);
  EXPECT_EQ(st.ImageBuffer[0x1000], 0x11);
  EXPECT_EQ(st.ImageBuffer[0x2000], 0x22);
  EXPECT_EQ(st.ImageBuffer[0x2FFF], 0x22);
  EXPECT_EQ(st.FileLoaded, 1);
  EXPECT_EQ(imageSummaries, 1);
  EXPECT_TRUE(Has("Channel 2 : Data has bee read out!"));
}

TEST_F(Machine, ReadOutNearTheBufferEndStaysInside) {
  // A chip start near the end of the image buffer: the last block is clipped.
  st.s.FlashSizeKB = 8;
  st.ImageBaseAddr = link::ImageBufferSize - 4096;
  BeginRead(st, 0);
  while (st.ChannelState[0] != StateIdle) BlockReply(0, 0x77);
  EXPECT_EQ(st.ImageBuffer[link::ImageBufferSize - 1], 0x77);
}

TEST_F(Machine, InfoReadOutWrapsAndStaysInsideInfoBuffer) {
  StartOperation(st, 0, OperationRequest(Operation::ReadInfo));
  EXPECT_EQ(st.ChannelState[0], StateReadInfo);
  st.TransferSizeKB[0] = 64;  // positions up to 60 KB: beyond the 32 KB buffer
  int replies = 0;
  for (; st.ChannelState[0] != StateIdle && replies < 100; ++replies) BlockReply(0, 0x3C);
  EXPECT_EQ(replies, 16);
  EXPECT_EQ(st.InfoBuffer[link::InfoBufferSize - 1], 0x3C);
  EXPECT_EQ(infoShows, 1);
  EXPECT_TRUE(Has("Channel 1 : Read Out Info Data!"));
}

// An 8 KB info read-out over loaded info data: the info data take the chip's
// two blocks only when both have come; a read-out that stops after the first
// leaves every info byte as loaded.
TEST_F(Machine, InfoReadOutThatStopsKeepsTheInfoData) {
  struct Case {
    const char* name;
    std::function<void()> second;  // what becomes of the block at KB 4
    const char* last;              // the channel's last log line
    bool read;                     // the chip's blocks are the info data now
  };
  const Case cases[] = {
      {"never answered",
       [this] {
         for (int t = 0; t < 5000 && st.ChannelBusy[0]; ++t) ChannelTick(st, 0);
       },
       "Channel 1 : Read out not finished, the info data was kept!", false},
      {"device error", [this] { Reply(0, 0x2C); },
       "Channel 1 : Read out not finished, the info data was kept!", false},
      {"answered", [this] { BlockReply(0, 0x22); }, "Channel 1 : Read Out Info Data!", true},
  };
  std::vector<uint8_t> loaded(link::InfoBufferSize);
  for (std::size_t i = 0; i < loaded.size(); ++i) loaded[i] = static_cast<uint8_t>(i * 7 + 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    memo.Clear();
    infoShows = 0;
    std::memcpy(st.InfoBuffer.get(), loaded.data(), loaded.size());
    st.s.InfoMemSize = 8192;
    st.Gate[0] = AnswerGate::Clear;  // no answer owed from the row before
    StartOperation(st, 0, OperationRequest(Operation::ReadInfo));
    BlockReply(0, 0x11);
    c.second();
    EXPECT_EQ(st.ChannelState[0], StateIdle);
    std::vector<uint8_t> expected = loaded;
    if (c.read) {
      std::fill_n(expected.begin(), 4096, uint8_t{0x11});
      std::fill_n(expected.begin() + 4096, 4096, uint8_t{0x22});
    }
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), st.InfoBuffer.data()));
    EXPECT_EQ(Lines().back(), c.last);
    EXPECT_EQ(infoShows, c.read ? 1 : 0);
    EXPECT_TRUE(st.ReadOutBytes.empty());
  }
}

// An identification reply on channel ch, decoded as the receive path leaves it.
void PutIdent(ConsoleState& st, int ch, const std::string& text) {
  const kestra::testing::Bytes r = kestra::testing::IdentReply(text);
  std::memcpy(st.PacketBuf(ch), r.data(), r.size());
  st.Buffers[ch]->PacketLen = static_cast<uint16_t>(r.size());
}

TEST_F(Machine, SearchAcceptsEveryFirmwareVersionOfTheModel) {
  st.DeviceOnline.fill(0);
  PutIdent(st, 0, "KestraGangA4 V2.3");
  HandleSearchReply(st, 0);
  PutIdent(st, 1, "KestraGangA4 V3.0");
  HandleSearchReply(st, 1);
  PutIdent(st, 2, "KestraGangB7 V1.0");
  HandleSearchReply(st, 2);
  EXPECT_EQ(st.DevicesFound, 2);
  EXPECT_EQ(st.DeviceOnline[1], 1);
  EXPECT_EQ(st.DeviceOnline[2], 0);
  EXPECT_TRUE(Has("Channel 1 : Found Device 1 : KestraGangA4 V2.3!"));
  EXPECT_TRUE(Has("Channel 2 : Found Device 2 : KestraGangA4 V3.0!"));
  EXPECT_TRUE(Has("Channel 3 : No device was found!"));
  EXPECT_EQ(infoPanel, "KestraGangA4 V3.0");
  EXPECT_TRUE(gauges[1]->isEnabled());
}

TEST_F(Machine, RepliesWithoutHandlerGoToTheProgressMonitor) {
  for (uint8_t state : {StateIdle, StateStandAlone, StateProtectPending, StateInfoWritePending}) {
    SCOPED_TRACE(state);
    memo.Clear();
    st.ChannelState[1] = state;
    const uint8_t p[8] = {0xFD, 0x20, 0x00, 0, 0, 0, 0, 0xE3};
    std::memcpy(st.PacketBuf(1), p, 8);
    DispatchReply(st, 1, 0);
    EXPECT_TRUE(Has("Channel 2 : Chip Blank Checking...."));
  }
}

TEST_F(Machine, ChipInfoReplyShowsTheSeriesLayout) {
  st.s.ChipSeries = '6';
  StartOperation(st, 3, OperationRequest(Operation::ReadChipInfo));
  EXPECT_EQ(st.ChannelState[3], StateReadChipInfo);
  Reply(3, 0, ChipInfoMemoryReplyBytes + 2);
  EXPECT_TRUE(Has(" Read Chip 4 Information Memory Is Below : "));
  st.s.ChipSeries = '7';
  StartOperation(st, 0, OperationRequest(Operation::ReadChipInfo));
  Reply(0, 0, ChipSecurityReplyBytes + 2);
  EXPECT_EQ(Lines()[Lines().size() - 2], "  IMAKS=0x00, SECLEVEL=0x00.");
}

// The serial number each channel places: its own value (SnValue + ch x
// SnGain, modulo 2^32), in either byte order, 4 or 8 bytes (SnHigh the upper
// word).
TEST(ChannelSerialNumber, BytesOfEachChannel) {
  const struct {
    bool eight, bigEndian;
    int ch;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {false, false, 0, {0x44, 0x33, 0x22, 0x11}},
      {false, true, 0, {0x11, 0x22, 0x33, 0x44}},
      {true, false, 0, {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}},
      {true, true, 0, {0x55, 0x66, 0x77, 0x88, 0x11, 0x22, 0x33, 0x44}},
      {false, false, 3, {0x47, 0x33, 0x22, 0x11}},
      {true, true, 2, {0x55, 0x66, 0x77, 0x88, 0x11, 0x22, 0x33, 0x46}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ch);
    link::PacketSettings s;
    s.SnValue = 0x11223344;
    s.SnHigh = 0x55667788;
    s.SnGain = 1;
    s.SnAddr = 0x10C;
    s.SnLength = c.eight ? 8 : 4;
    s.PowerFlags = c.bigEndian ? 0x40 : 0;
    const link::SerialOverlay sn = ChannelSerial(s, c.ch);
    EXPECT_EQ(sn.Addr, 0x10Cu);
    ASSERT_EQ(sn.Length, c.bytes.size());
    EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), sn.Bytes.begin()));
  }
  link::PacketSettings wrap;
  wrap.SnValue = 0xFFFFFFFF;
  wrap.SnGain = 2;
  wrap.SnLength = 4;
  EXPECT_EQ(ChannelSerial(wrap, 1).Bytes[0], 0x01);  // modulo 2^32
}

// A channel whose operation ended unanswered (a time-out, a REST) identifies
// its device again before the next operation. The device answers in order:
// every reply before an identification is owed to what went before and is
// dropped; an identification runs the waiting first step, and a surplus one
// (the late answer to an earlier search) answers nothing.
TEST_F(Machine, OwedChannelIdentifiesAgainAndTakesOnlyItsOwnReplies) {
  auto stale = [&](uint8_t status) {
    std::memset(st.PacketBuf(0), 0, 16);
    Reply(0, status);
  };
  auto ident = [&] {
    PutIdent(st, 0, "KestraGangA4 V2.3");
    DispatchReply(st, 0, 0);
  };
  auto timeOut = [&] {
    st.OpTimeout[0] = 1;
    ChannelTick(st, 0);
  };
  const OperationRequest verify(Operation::Verify);
  StartOperation(st, 0, verify);  // owes nothing: runs at once
  EXPECT_EQ(st.ChannelState[0], StateVerify);
  timeOut();
  EXPECT_TRUE(Has("Channel 1 : Operation Time Out!"));
  EXPECT_EQ(st.Gate[0], AnswerGate::Owed);

  StartOperation(st, 0, verify);
  EXPECT_EQ(st.ChannelState[0], StateReidentify);
  EXPECT_EQ(st.ChannelBusy[0], 1);
  EXPECT_TRUE(Has("Channel 1 : Identify the device again......"));
  stale(0);  // the late answer of the verify that timed out
  EXPECT_EQ(st.ChannelState[0], StateReidentify);
  EXPECT_FALSE(Has("Channel 1 : Main Data verify success!"));
  // The identification is lost as well: the channel still owes, and the
  // next press identifies again.
  timeOut();
  EXPECT_EQ(st.Gate[0], AnswerGate::Owed);
  EXPECT_EQ(st.ChannelBusy[0], 0);
  StartOperation(st, 0, verify);
  ident();  // the late answer to the first search: the first step runs
  EXPECT_EQ(st.ChannelState[0], StateVerify);
  EXPECT_EQ(st.Gate[0], AnswerGate::Clear);
  ident();  // the answer to the second search answers nothing
  EXPECT_EQ(st.ChannelState[0], StateVerify);
  stale(0x34);  // the verify's own answer
  EXPECT_TRUE(Has("Channel 1 : Chip checksum error!"));
  EXPECT_EQ(gauges[0]->ForeColor(), ui::GaugeRed);
  StartOperation(st, 0, verify);  // in step again: at once
  EXPECT_EQ(st.ChannelState[0], StateVerify);
  Reply(0, 0);
  EXPECT_EQ(st.ChannelState[0], StateIdle);

  // A REST leaves an answer owed whether or not it comes; an identification
  // that nothing waits for does not put the channel in step.
  SendRest(st, 0, link::CmdRestart);
  EXPECT_EQ(st.Gate[0], AnswerGate::Owed);
  stale(0);
  ident();
  EXPECT_EQ(st.Gate[0], AnswerGate::Owed);
  StartOperation(st, 0, verify);
  EXPECT_EQ(st.ChannelState[0], StateReidentify);
}

}  // namespace
}  // namespace kestra::console::testing
