// The upgrade protocol without a window: packets, block scrambling, the frame
// decoder, reply handling, the verify rule and the result texts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "UpgradeTestUtil.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"
#include "ui/ScriptedDialogs.h"
#include "upgrade/DefineFwUg.h"
#include "upgrade/FirmwareImage.h"

namespace kestra::upgrade {
namespace {

using link::CmdFwVerify;
using link::CmdFwWriteBlock;
using link::CmdSearchDevice;

using namespace testing;

TEST(FirmwareImage, CarriesTheKeysAndBothExpectedCheckValues) {
  const uint8_t keys[8] = {0x4A, 0x9C, 0x17, 0xD2, 0xE8, 0x05, 0x73, 0xB1};
  EXPECT_EQ(std::memcmp(KestraGangA4_RV7.FwKeyTable, keys, 8), 0);
  EXPECT_EQ(KestraGangA4_RV7.FwImage, KestraGangA4_RV7.FwKeyTable + FwKeyRegionSize);
  EXPECT_EQ(ByteSum16(KestraGangA4_RV7.FwImage, FwImageSize), 0x126E);
  EXPECT_EQ(WordCheck16(KestraGangA4_RV7.FwImage, FwImageSize), 0xCBC2);
}

TEST(HasCompleteFrame, NeedsTwoFrameEndsWithinTheLength) {
  const uint8_t buf[] = {0x11, 0xC0, 0x05, 0xC0, 0x22};
  EXPECT_TRUE(HasCompleteFrame(buf, 4));
  EXPECT_FALSE(HasCompleteFrame(buf, 3));
  EXPECT_FALSE(HasCompleteFrame(buf + 2, 3));
  EXPECT_FALSE(HasCompleteFrame(buf, 0));
}

TEST(DecodeFwFrame, Outcomes) {
  struct Case {
    const char* name;
    Bytes raw;
    std::size_t cap;
    uint8_t result;
    uint16_t outLen;
    Bytes packet;  // compared when result is 0
    Bytes rest;    // Raw afterwards
  };
  const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const Case cases[] = {
      {"doubled opening counts once",
       cat({{0xFF, 0xC0, 0xC0}, eight, {0xC0, 0x77}}),
       64,
       0,
       8,
       eight,
       {0x77}},
      {"escapes",
       cat({{0xC0, 0xDB, 0xDC, 0xDB, 0xDD}, eight, {0xC0}}),
       64,
       0,
       10,
       cat({{0xC0, 0xDB}, eight}),
       {}},
      {"bad escape consumes through the offending byte",
       {0xC0, 1, 2, 0xDB, 0x41, 9, 0xC0},
       64,
       0x2A,
       0,
       {},
       {9, 0xC0}},
      {"seven bytes are a short frame", {0xC0, 1, 2, 3, 4, 5, 6, 7, 0xC0, 5}, 64, 0x2A, 7, {}, {5}},
      {"frame longer than the packet buffer",
       cat({{0xC0}, eight, {9, 0xC0, 6}}),
       8,
       0x2A,
       0,
       {},
       {6}},
      {"escape pending at the end is unfinished",
       {0xC0, 1, 2, 0xDB},
       64,
       0x20,
       0xEEEE,
       {},
       {0xC0, 1, 2, 0xDB}},
      {"no closing FrameEnd", cat({{0xC0}, eight}), 64, 0x20, 0xEEEE, {}, cat({{0xC0}, eight})},
      {"no FrameEnd at all", {1, 2, 3}, 64, 0x20, 0xEEEE, {}, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes raw = c.raw;
    Bytes pkt(c.cap + 4, 0xAA);
    uint16_t outLen = 0xEEEE;
    uint16_t rawLen = static_cast<uint16_t>(raw.size());
    EXPECT_EQ(DecodeFwFrame(raw.data(), pkt.data(), c.cap, outLen, rawLen), c.result);
    EXPECT_EQ(outLen, c.outLen);
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + rawLen), c.rest);
    if (c.result == 0) {
      EXPECT_EQ(Bytes(pkt.begin(), pkt.begin() + outLen), c.packet);
    }
    // Never beyond the capacity.
    for (std::size_t i = c.cap; i < pkt.size(); ++i) EXPECT_EQ(pkt[i], 0xAA) << i;
  }
}

// The first n bytes of b.
Bytes Head(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}

// A frame cut short ahead of a reply in the same chunk costs nothing: a frame
// that closes but does not decode gives its closing FrameEnd back as the
// opening of the next one.
TEST(DecodeFwReply, FindsTheReplyAfterFramesThatDoNotDecode) {
  const Bytes reply = ReplyPacket(0x00, 0x1234, {0x00});
  const Bytes framed = Framed(reply);
  const Bytes bare(framed.begin() + 1, framed.end());  // its opening FrameEnd shared
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  struct Case {
    const char* name;
    Bytes raw;
    uint8_t result;
  };
  const Case cases[] = {
      {"cut frame closed by the reply's opening", cat({{0xC0, 0xFD, 0x41}, framed}), 0},
      {"cut frame, then the reply", cat({{0xC0, 0xFD, 0x41, 0xC0}, bare}), 0},
      {"bad escape, then the reply", cat({{0xC0, 0x41, 0xDB, 0x41, 0xC0}, framed}), 0},
      {"a row of FrameEnd bytes", cat({{0xC0, 0xC0, 0xC0}, framed}), 0},
      {"two short frames, then the reply", cat({{0xC0, 1, 2, 0xC0, 3, 0xC0}, bare}), 0},
      {"nothing decodes", {0xC0, 1, 2, 0xC0, 3, 4, 0xC0}, 0x2A},
      {"an unfinished reply after a cut frame", cat({{0xC0, 1, 0xC0}, Head(framed, 5)}), 0x20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes raw = c.raw;
    Bytes pkt(64, 0xAA);
    uint16_t outLen = 0;
    uint16_t rawLen = static_cast<uint16_t>(raw.size());
    EXPECT_EQ(DecodeFwReply(raw.data(), pkt.data(), pkt.size(), outLen, rawLen), c.result);
    if (c.result == 0) {
      EXPECT_EQ(Bytes(pkt.begin(), pkt.begin() + outLen), reply);
    }
  }
  // A frame that decodes is taken as DecodeFwFrame takes it: what follows stays.
  Bytes raw = cat({framed, {0x77}});
  Bytes pkt(64, 0);
  uint16_t outLen = 0;
  uint16_t rawLen = static_cast<uint16_t>(raw.size());
  EXPECT_EQ(DecodeFwReply(raw.data(), pkt.data(), pkt.size(), outLen, rawLen), 0);
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + rawLen), Bytes{0x77});
}

// A reply with a valid check whose low byte is low: the header's parameter
// is chosen to make it so.
Bytes ReplyWithCheckLow(uint8_t code, const Bytes& payload, uint8_t low) {
  for (uint32_t param = 0; param < 0x10000; ++param) {
    Bytes p = ReplyPacket(code, static_cast<uint16_t>(param), payload);
    if (p[p.size() - 2] == low) return p;
  }
  ADD_FAILURE() << "no such reply";
  return {};
}

TEST(FwResultText, KnownCodesAndTheRest) {
  EXPECT_EQ(FwResultText(0x00), QStringLiteral("操作成功！"));
  EXPECT_EQ(FwResultText(0x23), QStringLiteral("数据包校验和不正确！"));
  EXPECT_EQ(FwResultText(0x34), QStringLiteral("总数据校验和不一致！"));
  EXPECT_EQ(FwResultText(0x2B), QStringLiteral("操作失败！"));
}

// The protocol bound to a memo, a gauge, a recorder of sent frames and
// scripted dialogs.
class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto scripted = std::make_unique<ui::ScriptedDialogs>();
    dialogs = scripted.get();
    previous = ui::SetDialogs(std::move(scripted));
    state = std::make_unique<FwUgState>();
    state->ExpCheckSum2 = 0xCBC2;
    state->ExpCheckSum1 = 0x126E;
    state->FwStartAddr = 0x2000;
    state->FwEndAddr = 0x3FFF;
    FwUgWindowLinks links;
    links.InfoMemo = &memo;
    links.ProgressBar1 = &gauge;
    links.SendData = [this](const uint8_t* d, uint16_t n) {
      if (portTakes == 0) return false;
      --portTakes;
      sent.emplace_back(d, d + n);
      return true;
    };
    links.DeviceFound = [this](const QString& ident) { found.push_back(ident); };
    links.ArmReplyTimer = [this] {
      ++timerArms;
      timerRunning = true;
    };
    links.StopReplyTimer = [this] { timerRunning = false; };
    protocol = std::make_unique<FwUgProtocol>(*state, std::move(links));
  }
  void TearDown() override { ui::SetDialogs(std::move(previous)); }

  // Delivers raw bytes as one received chunk to the handler in use.
  void Receive(const Bytes& raw) {
    std::memcpy(state->FwRxBuf, raw.data(), raw.size());
    state->FwRxLen = static_cast<uint16_t>(raw.size());
    ASSERT_TRUE(HasCompleteFrame(state->FwRxBuf, state->FwRxLen));
    if (state->DeviceIdentified == 1)
      protocol->HandleCommandReply(state->FwRxLen);
    else
      protocol->HandleIdentifyReply(state->FwRxLen);
    state->FwRxLen = 0;
  }
  void ReceiveStatus(uint8_t code, uint8_t status) {
    Receive(Framed(ReplyPacket(code, 0, {status})));
  }
  Bytes VerifyPayload(uint16_t w8, uint16_t w10, uint16_t w24, uint16_t w26) {
    Bytes payload(20, 0);
    payload[0] = static_cast<uint8_t>(w8), payload[1] = static_cast<uint8_t>(w8 >> 8);
    payload[2] = static_cast<uint8_t>(w10), payload[3] = static_cast<uint8_t>(w10 >> 8);
    payload[16] = static_cast<uint8_t>(w24), payload[17] = static_cast<uint8_t>(w24 >> 8);
    payload[18] = static_cast<uint8_t>(w26), payload[19] = static_cast<uint8_t>(w26 >> 8);
    return payload;
  }

  ui::ScriptedDialogs* dialogs = nullptr;
  std::unique_ptr<ui::DialogService> previous;
  ui::TMemo memo;
  ui::TGauge gauge;
  std::unique_ptr<FwUgState> state;
  std::unique_ptr<FwUgProtocol> protocol;
  std::vector<Bytes> sent;
  int portTakes = -1;  // packets the port still takes (negative: any number)
  std::vector<QString> found;
  int timerArms = 0;
  bool timerRunning = false;
};

TEST_F(ProtocolTest, UpgradeSendsEightScrambledBlocksAndEndsWithSuccess) {
  state->DeviceIdentified = 1;
  protocol->StartUpgrade();
  EXPECT_EQ(state->OpState, OpUpgrade);
  std::vector<int> bar;
  Bytes store(FwImageSize, 0);
  for (unsigned b = 0; b < 8; ++b) {
    SCOPED_TRACE(b);
    ASSERT_EQ(sent.size(), b + 1);
    const Bytes p = Unframed(sent.back());
    ASSERT_EQ(p.size(), 2058u);
    EXPECT_EQ(Le16(&p[1]), 0x2000 + 0x400 * b);
    EXPECT_EQ(p[0], 0xB7);
    EXPECT_EQ(p[3], b);
    EXPECT_EQ(p[4], 0xFF);
    EXPECT_EQ(p[5], 0x0F);
    EXPECT_EQ(p[6], 0x00);
    EXPECT_EQ(p[7], 0x08);
    EXPECT_EQ(Le16(&p[2056]), link::PacketCheck16(p.data(), 0, 2055));
    const uint8_t key0 = KestraGangA4_RV7.FwKeyTable[b & 6] ^ 0x6D;
    const uint8_t key1 = KestraGangA4_RV7.FwKeyTable[(b & 6) + 1] ^ 0x6D;
    for (unsigned k = 0; k < 2048; ++k)
      store[2048 * b + k] = p[8 + k] ^ ((k & 1) ? key1 ^ 0x52 : key0 ^ 0xA7);
    // Acknowledge alternately with 0x00 and 0x06: both count as success.
    ReceiveStatus(0xB7, (b & 1) ? 0x06 : 0x00);
    bar.push_back(gauge.Progress());
  }
  EXPECT_EQ(sent.size(), 8u);
  EXPECT_EQ(std::memcmp(store.data(), KestraGangA4_RV7.FwImage, FwImageSize), 0);
  EXPECT_EQ(bar, (std::vector<int>{3, 4, 5, 6, 7, 8, 8, 8}));
  EXPECT_EQ(gauge.MaxValue(), 8);
  EXPECT_EQ(gauge.ForeColor(), ui::GaugeBlue);
  EXPECT_EQ(state->OpState, OpIdle);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Information);
  EXPECT_EQ(dialogs->boxes[0].text, QStringLiteral("操作成功！"));
  EXPECT_EQ(memo.Lines().back(), QStringLiteral("> 操作成功！"));
}

TEST_F(ProtocolTest, VerifyPacketAndVerifyRule) {
  state->DeviceIdentified = 1;
  protocol->StartVerify();
  ASSERT_EQ(sent.size(), 1u);
  const Bytes p = Unframed(sent[0]);
  const Bytes head = {0xBA, 0xFF, 0x3F, 0xF1, 0x00, 0x00, 0x00, 0x00};
  ASSERT_EQ(p.size(), 10u);
  EXPECT_EQ(Bytes(p.begin(), p.begin() + 8), head);
  EXPECT_EQ(Le16(&p[8]), link::PacketCheck16(head.data(), 0, 7));
  EXPECT_EQ(gauge.Progress(), 10);
  EXPECT_EQ(gauge.MaxValue(), 100);

  struct Case {
    const char* name;
    Bytes payload;
    uint8_t kind;
    const char* text;
  };
  const Case cases[] = {
      {"all four words match", VerifyPayload(0xCBC2, 0x126E, 0x126E, 0xCBC2),
       ui::ScriptedDialogs::Box::Information, "操作成功！"},
      {"W8 differs from W26", VerifyPayload(0xCBC3, 0x126E, 0x126E, 0xCBC2),
       ui::ScriptedDialogs::Box::Error, "总数据校验和不一致！"},
      {"W10 differs from W24", VerifyPayload(0xCBC2, 0x126F, 0x126E, 0xCBC2),
       ui::ScriptedDialogs::Box::Error, "总数据校验和不一致！"},
      {"both pairs agree on other values", VerifyPayload(0x1111, 0x2222, 0x2222, 0x1111),
       ui::ScriptedDialogs::Box::Error, "总数据校验和不一致！"},
      // Too short for the words at [24] and [26]: what an earlier good reply
      // left there must not pass.
      {"reply too short for the words",
       {0xC2, 0xCB, 0x6E},
       ui::ScriptedDialogs::Box::Error,
       "总数据校验和不一致！"},
      // The last word's high byte would be the reply's check (its low byte
      // 0xCB): only words ahead of the check are the device's.
      {"last word runs into the check", Head(VerifyPayload(0xCBC2, 0x126E, 0x126E, 0xCBC2), 19),
       ui::ScriptedDialogs::Box::Error, "总数据校验和不一致！"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialogs->boxes.clear();
    protocol->StartVerify();
    Receive(Framed(c.payload.size() == 19 ? ReplyWithCheckLow(0xBA, c.payload, 0xCB)
                                          : ReplyPacket(0xBA, 0x3FFF, c.payload)));
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].kind, c.kind);
    EXPECT_EQ(dialogs->boxes[0].text, QString::fromUtf8(c.text));
    EXPECT_EQ(memo.Lines().back(), QStringLiteral("> ") + QString::fromUtf8(c.text));
    EXPECT_EQ(state->OpState, OpIdle);
    EXPECT_EQ(gauge.Progress(), gauge.MaxValue());
    EXPECT_EQ(gauge.ForeColor(),
              c.kind == ui::ScriptedDialogs::Box::Information ? ui::GaugeBlue : ui::GaugeRed);
  }
}

TEST_F(ProtocolTest, FailedRepliesEndTheOperationWithTheirText) {
  struct Case {
    const char* name;
    Bytes frame;
    const char* text;
  };
  Bytes badCheck = ReplyPacket(0xB7, 0x2000, {0x00});
  badCheck.back() ^= 0x01;
  const Bytes headerOnly = Head(ReplyPacket(0xB7, 0x2000, {0x00}), 8);
  // No status byte ahead of the check, whose low byte reads as success.
  const Bytes empty = ReplyWithCheckLow(0xB7, {}, 0x00);
  const Case cases[] = {
      {"header only", Framed(headerOnly), "数据包校验和不正确！"},
      {"no status byte", Framed(empty), "数据包校验和不正确！"},
      {"code outside the table", Framed(ReplyPacket(0xB7, 0x2000, {0x2B})), "操作失败！"},
      {"flash error", Framed(ReplyPacket(0xB7, 0x2000, {0x2C})), "编程过程出错，数据无法写入！"},
      {"time-out", Framed(ReplyPacket(0xB7, 0x2000, {0x40})), "命令执行超时"},
      {"wrong check", Framed(badCheck), "数据包校验和不正确！"},
  };
  state->DeviceIdentified = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialogs->boxes.clear();
    sent.clear();
    protocol->StartUpgrade();
    Receive(c.frame);
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
    EXPECT_EQ(dialogs->boxes[0].text, QString::fromUtf8(c.text));
    EXPECT_EQ(memo.Lines().back(), QStringLiteral("> ") + QString::fromUtf8(c.text));
    EXPECT_EQ(state->OpState, OpIdle);
    EXPECT_EQ(gauge.ForeColor(), ui::GaugeRed);
    EXPECT_EQ(gauge.Progress(), gauge.MaxValue());
    EXPECT_EQ(sent.size(), 1u);  // no further block
  }
}

TEST_F(ProtocolTest, UndecodableRepliesAreDroppedSilently) {
  const Bytes frames[] = {
      {0xC0, 1, 2, 3, 4, 5, 6, 7, 0xC0},        // decoded length 7
      {0xC0, 0xB7, 0, 0x20, 0xDB, 0x41, 0xC0},  // bad escape
  };
  for (uint8_t identified : {0, 1}) {
    for (const Bytes& f : frames) {
      state->DeviceIdentified = identified;
      protocol->StartUpgrade();
      const std::size_t before = sent.size();
      const int memoLines = memo.Count();
      Receive(f);
      EXPECT_TRUE(dialogs->boxes.empty());
      EXPECT_EQ(memo.Count(), memoLines);
      EXPECT_EQ(state->OpState, OpUpgrade);
      EXPECT_EQ(state->DeviceIdentified, identified);
      EXPECT_EQ(sent.size(), before);
      EXPECT_EQ(gauge.ForeColor(), ui::GaugeBlue);
    }
  }
}

TEST_F(ProtocolTest, IdentificationReplies) {
  struct Case {
    const char* text;
    bool accepted;
  };
  const Case cases[] = {
      {"KestraGangB7 R2", true},
      {"KestraGangA4 V2.3", true},
      {"KestraGangC9 V1", false},
      {"kestragangA4", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    state->DeviceIdentified = 0;
    state->OpState = OpVerify;
    found.clear();
    const int memoLines = memo.Count();
    Receive(Framed(IdentPacket(c.text)));
    EXPECT_EQ(state->DeviceIdentified, c.accepted ? 1 : 0);
    if (c.accepted) {
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0], QString::fromLatin1(c.text));
      EXPECT_EQ(memo.Lines().back(), QStringLiteral("> Find Device : %1!").arg(c.text));
      EXPECT_EQ(state->OpState, OpIdle);
    } else {
      EXPECT_TRUE(found.empty());
      EXPECT_EQ(memo.Count(), memoLines);
      EXPECT_EQ(state->OpState, OpVerify);
    }
  }
  EXPECT_TRUE(dialogs->boxes.empty());
}

// A short identification reply names the device by its own text only, not by
// what a longer earlier reply left in the buffer.
TEST_F(ProtocolTest, ShortIdentificationShowsOnlyItsOwnText) {
  Receive(Framed(IdentPacket("KestraGangA4 WITH A LONG VERSION TEXT")));
  ASSERT_EQ(found.size(), 1u);
  state->DeviceIdentified = 0;
  Bytes p = IdentPacket("KestraGangA4");
  p.resize(28 + 12);  // the text runs up to the check, with no terminator
  p[6] = 20 + 12;
  const uint16_t c = link::PacketCheck16(p.data(), 0, static_cast<uint32_t>(p.size() - 1));
  p.push_back(static_cast<uint8_t>(c));
  p.push_back(static_cast<uint8_t>(c >> 8));
  Receive(Framed(p));
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1], QStringLiteral("KestraGangA4"));
  EXPECT_EQ(memo.Lines().back(), QStringLiteral("> Find Device : KestraGangA4!"));
}

TEST_F(ProtocolTest, StatusOfSixAcknowledgesABlock) {
  state->DeviceIdentified = 1;
  protocol->StartUpgrade();
  ReceiveStatus(0xB7, 0x06);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Le16(&Unframed(sent[1])[1]), 0x2400);
  EXPECT_TRUE(dialogs->boxes.empty());
  EXPECT_EQ(state->OpState, OpUpgrade);
}

// A packet the port does not take can never be answered: the operation ends
// at once and says so, and a second start while one runs sends nothing.
TEST_F(ProtocolTest, OperationsTheDeviceCannotAnswerEnd) {
  struct Case {
    const char* name;
    bool verify;
    int taken;  // packets the port takes before it refuses
  };
  const Case cases[] = {
      {"upgrade, first block", false, 0},
      {"upgrade, third block", false, 2},
      {"verify", true, 0},
  };
  state->DeviceIdentified = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialogs->boxes.clear();
    sent.clear();
    portTakes = c.taken;
    ASSERT_TRUE(c.verify ? protocol->StartVerify() : protocol->StartUpgrade());
    for (int b = 0; b < c.taken; ++b) {
      // While the operation runs, neither operation starts again.
      EXPECT_FALSE(protocol->StartUpgrade());
      EXPECT_FALSE(protocol->StartVerify());
      ReceiveStatus(CmdFwWriteBlock, 0x00);
    }
    EXPECT_EQ(sent.size(), static_cast<std::size_t>(c.taken));
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
    EXPECT_EQ(dialogs->boxes[0].text, FwPortLostText());
    EXPECT_EQ(memo.Lines().back(), QStringLiteral("> ") + FwPortLostText());
    EXPECT_EQ(state->OpState, OpIdle);
    EXPECT_FALSE(state->BlockInFlight);
    EXPECT_EQ(gauge.ForeColor(), ui::GaugeRed);
    EXPECT_EQ(gauge.Progress(), gauge.MaxValue());
  }
}

// The reply time-out runs for each block from the moment the port takes it;
// once it expired, the next operation identifies the programmer first. A
// reply dropped for what it holds (anything while re-identifying, a surplus
// identification) leaves the rest of its chunk to be read: a late reply and
// the answer after it may come in one chunk.
TEST_F(ProtocolTest, TimeOutThenIdentificationFirst) {
  const Bytes ident = Framed(IdentPacket("KestraGangA4 V2.3"));
  auto cat = [](const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
  };
  auto lastSent = [&] { return Unframed(sent.back()); };
  state->DeviceIdentified = 1;
  ASSERT_TRUE(protocol->StartUpgrade());
  ReceiveStatus(CmdFwWriteBlock, 0x00);
  EXPECT_EQ(timerArms, 2);  // one per block handed to the port
  EXPECT_TRUE(timerRunning);
  protocol->ReplyTimedOut();
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
  EXPECT_EQ(memo.Lines().back(), QStringLiteral("> 编程器无应答，操作未完成！"));
  EXPECT_EQ(state->OpState, OpIdle);
  EXPECT_FALSE(timerRunning);
  EXPECT_EQ(gauge.ForeColor(), ui::GaugeRed);

  // The identification times out too: the same box, and the answer is still owed.
  ASSERT_TRUE(protocol->StartVerify());
  EXPECT_EQ(lastSent()[0], CmdSearchDevice);
  EXPECT_EQ(memo.Lines().back(), QStringLiteral("> 重新识别编程器......"));
  EXPECT_TRUE(timerRunning);
  EXPECT_FALSE(protocol->StartUpgrade());  // it counts as running
  protocol->ReplyTimedOut();
  ASSERT_EQ(dialogs->boxes.size(), 2u);
  EXPECT_EQ(dialogs->boxes[1].text, QStringLiteral("编程器无应答，操作未完成！"));

  ASSERT_TRUE(protocol->StartUpgrade());
  ASSERT_EQ(lastSent()[0], CmdSearchDevice);
  const std::size_t searches = sent.size();
  // The late acknowledgement of the second block, then the identification.
  Receive(cat(Framed(ReplyPacket(CmdFwWriteBlock, 0x2400, {0x00})), ident));
  ASSERT_EQ(sent.size(), searches + 1);
  EXPECT_EQ(lastSent()[0], CmdFwWriteBlock);
  EXPECT_EQ(Le16(&lastSent()[1]), 0x2000);
  EXPECT_EQ(state->OpState, OpUpgrade);
  EXPECT_FALSE(state->AnswerOwed);
  // A surplus identification (the first search's answer), then block 0's.
  Receive(cat(ident, Framed(ReplyPacket(CmdFwWriteBlock, 0x2000, {0x00}))));
  ASSERT_EQ(sent.size(), searches + 2);
  EXPECT_EQ(Le16(&lastSent()[1]), 0x2400);
  EXPECT_EQ(dialogs->boxes.size(), 2u);
  EXPECT_TRUE(found.empty());  // the device was never named anew

  // A search after a time-out (Find): the answer still owed may come ahead of
  // the identification in the same chunk; the identification settles it.
  protocol->ReplyTimedOut();
  ASSERT_TRUE(state->AnswerOwed);
  state->DeviceIdentified = 0;
  Receive(cat(Framed(ReplyPacket(CmdFwWriteBlock, 0x2400, {0x00})), ident));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FALSE(state->AnswerOwed);
  ASSERT_TRUE(protocol->StartUpgrade());
  EXPECT_EQ(lastSent()[0], CmdFwWriteBlock);
}

}  // namespace
}  // namespace kestra::upgrade
