// The receive routine finds its step again at the next good frame, whatever a
// faulty line or a device reset in mid-packet put on the line before it: with
// a channel in an operation and in stand-alone production, each way the bytes
// may be cut into chunks.
#include <algorithm>
#include <string>
#include <vector>

#include "MachineFixture.h"
#include "ReplyBytes.h"
#include "console/ReceivePath.h"
#include "console/StandAlone.h"
#include "link/Frame.h"
#include "ui/ScriptedDialogs.h"

namespace kestra::console::testing {
namespace {

using namespace kestra::testing;

// The acknowledgement of program block i: status 0.
Bytes BlockAck(int i) {
  return Framed(ReplyPacket(link::CmdProgramBlock, static_cast<uint16_t>(4 * i), {0x00}));
}

// The final progress packet of a good chip, of a failed one.
Bytes GoodChip() { return Framed(ProgressPacket(0xF0, 0x06)); }
Bytes FailedChip() { return Framed(ProgressPacket(0xF0, 0x31)); }

Bytes Run(uint8_t opening, std::size_t n, uint8_t fill) {
  Bytes b;
  if (opening) b.push_back(opening);
  b.insert(b.end(), n, fill);
  return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr uint8_t End = link::FrameEnd;

struct Prefix {
  const char* name;
  Bytes bytes;
  int lost;  // replies the prefix may cost
};

const std::vector<Prefix>& Prefixes() {
  static const std::vector<Prefix> prefixes = {
      {"a stray FrameEnd", {End}, 0},
      {"a frame cut short", {End, 0xFD, 0x41}, 0},
      {"an over-long run never closed", Run(End, 8999, 0x41), 0},
      {"a closed over-long run", Run(End, 8998, 0x41) + Bytes{End}, 0},
      {"a bad escape", {End, 0x41, link::FrameEsc, 0x41, End}, 0},
      {"an unclosed run beyond the keep limit", Run(End, link::RxKeepLimit + 100, 0x41), 0},
      {"noise, then an unfinished frame dropped at the keep limit",
       Run(0, 12000, 0x55) + Run(End, 6000, 0x41), 0},
      {"noise without any FrameEnd", Run(0, 3000, 0x55), 0},
      // Its own tail decodes as a packet (a progress packet with a bad sum),
      // closed by the first reply's opening: that reply is lost.
      {"a frame cut short whose tail decodes", {End, 0xFD, 1, 2, 3, 4, 5, 6, 7}, 1},
  };
  return prefixes;
}

class ReceiveInStep : public MachineFixture {
 protected:
  static constexpr int Ch = 2;
  static constexpr int Replies = 10;

  // Chunk 0: the prefix in one chunk, then each reply in its own; else the
  // whole line cut into chunks of that size.
  void Feed(const Bytes& prefix, const std::vector<Bytes>& replies, std::size_t chunk) {
    auto send = [this](const Bytes& b, std::size_t n) {
      for (std::size_t at = 0; at < b.size(); at += n)
        ChannelReceiveData(st, Ch, b.data() + at, std::min(n, b.size() - at));
    };
    if (chunk == 0) {
      send(prefix, prefix.size());
      for (const Bytes& r : replies) send(r, r.size());
      return;
    }
    Bytes line = prefix;
    for (const Bytes& r : replies) line = line + r;
    send(line, chunk);
  }
};

TEST_F(ReceiveInStep, EveryReplyAfterABadPrefixIsReceived) {
  std::vector<Bytes> acks, chips;
  for (int i = 0; i < Replies; ++i) {
    acks.push_back(BlockAck(i));
    chips.push_back(GoodChip());
  }
  st.s.FlashSizeKB = 256;  // more blocks than replies: the operation goes on
  for (const Prefix& p : Prefixes()) {
    for (const std::size_t chunk :
         {std::size_t{0}, std::size_t{1}, std::size_t{7}, link::RxChunkMax}) {
      SCOPED_TRACE(std::string(p.name) + ", chunk " + std::to_string(chunk));
      const int expected = Replies - p.lost;

      memo.Clear();
      StartProgramMain(st, Ch);
      st.ResetRx(Ch);
      Feed(p.bytes, acks, chunk);
      EXPECT_EQ(st.BlockCounter[Ch], 4 * expected);
      EXPECT_EQ(st.ChannelState[Ch], StateProgram);

      memo.Clear();
      st.ChannelState[Ch] = StateStandAlone;
      st.ChannelOkCount[Ch] = 0;
      st.ResetRx(Ch);
      Feed(p.bytes, chips, chunk);
      EXPECT_EQ(st.ChannelOkCount[Ch], static_cast<uint32_t>(expected));
    }
  }
}

// Bytes that arrive while a channel's chunk is being handled: from the event
// loop of the box the production log's failure opens (the 2000th chip, on a
// folder that cannot be written), or from a window part that a handler
// updates. Each frame counts once, and what the box's loop delivers is
// handled while the box is open: the box opens only once the chunk has been
// handled, so it holds up nothing.
struct ArrivingRow {
  const char* name;
  Bytes first;      // the chunk being handled
  Bytes meanwhile;  // what arrives during it
  bool fromTheBox;  // else from the status-bar update of an Auto's verify
  uint32_t ok, ng;  // the chips counted in the end
};

void PrintTo(const ArrivingRow& row, std::ostream* os) { *os << row.name; }

class BytesWhileHandling : public MachineFixture,
                           public ::testing::WithParamInterface<ArrivingRow> {
 protected:
  void SetUp() override {
    auto d = std::make_unique<ui::ScriptedDialogs>();
    dialogs = d.get();
    previous = ui::SetDialogs(std::move(d));
  }
  void TearDown() override { ui::SetDialogs(std::move(previous)); }
  ui::ScriptedDialogs* dialogs = nullptr;
  std::unique_ptr<ui::DialogService> previous;
};

TEST_P(BytesWhileHandling, EachFrameIsHandledOnce) {
  const ArrivingRow& row = GetParam();
  constexpr int Ch = 1;
  bool delivered = false;
  auto deliver = [&] {
    if (delivered) return;
    delivered = true;
    ChannelReceiveData(st, Ch, row.meanwhile.data(), row.meanwhile.size());
  };
  uint32_t countedWhileOpen = 0;
  Bytes first = row.first;
  if (row.fromTheBox) {
    st.StartupDir = "/nonexistent-kestra-dir";
    st.LogSaveCounter = ProductionLogEvery - 1;
    st.ChannelState[Ch] = StateStandAlone;
    dialogs->whileOpen = [&](const ui::ScriptedDialogs::Box&) {
      deliver();
      countedWhileOpen = st.TotalOkCount + st.TotalNgCount;
    };
  } else {
    st.Hooks.SetStatusPanel = [&](int, const std::string&) { deliver(); };
    st.AutoMode[Ch] = 1;
    StartVerifyMain(st, Ch);
    first = Joined(
        {Framed(ReplyPacket(link::CmdChipOperation, link::SubVerifyMain, {0x00})), row.first});
  }
  ChannelReceiveData(st, Ch, first.data(), first.size());

  ASSERT_TRUE(delivered);
  EXPECT_EQ(st.ChannelOkCount[Ch], row.ok);
  EXPECT_EQ(st.ChannelNgCount[Ch], row.ng);
  EXPECT_EQ(st.TotalOkCount + st.TotalNgCount, row.ok + row.ng);
  if (row.fromTheBox) {
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(countedWhileOpen, row.ok + row.ng);
    EXPECT_EQ(Lines()[0], "Channel 2 : Progrmming Completed : Successed!");
  } else {
    EXPECT_EQ(st.OnlineCounter, 1);
    const auto lines = Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Channel 2 : Main Data verify success!"), 1);
    EXPECT_EQ(st.ChannelState[Ch], StateIdle);
  }
}

// A failed chip's packet cut in two: its first five bytes, and the rest.
Bytes FailedChipPart(bool head) {
  const Bytes b = FailedChip();
  return head ? Bytes(b.begin(), b.begin() + 5) : Bytes(b.begin() + 5, b.end());
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, BytesWhileHandling,
    ::testing::Values(
        ArrivingRow{"TwoGoodChipsInTheBox", GoodChip(), Joined({GoodChip(), GoodChip()}), true, 3,
                    0},
        ArrivingRow{"AFailedChipCutAcrossTheBox", Joined({GoodChip(), FailedChipPart(true)}),
                    FailedChipPart(false), true, 1, 1},
        ArrivingRow{
            "TwoGoodChipsFromTheStatusBar", {}, Joined({GoodChip(), GoodChip()}), false, 2, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestra::console::testing
