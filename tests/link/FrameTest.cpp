// Frame layer: encoder, decoder, frame extraction, checks and identification.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ReplyBytes.h"
#include "link/Frame.h"

using namespace kestra::link;
using kestra::testing::Bytes;

using kestra::testing::ReplyPacket;

TEST(EncodeFrame, EscapesBothSpecialBytesAndAppendsTrailer) {
  const Bytes src = {0x01, 0xC0, 0xDB, 0x02};
  uint8_t dst[2 * 4 + 7] = {};
  EXPECT_EQ(EncodeFrame(src.data(), dst, 4), 13);
  const Bytes want = {0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(Bytes(dst, dst + 13), want);
}

TEST(EncodeFrame, WorstCasePacketFitsTxFrame) {
  // Every byte of the largest packet needs escaping.
  static Bytes src(MaxPacketLen, 0xC0);
  static ChannelBuffers ch;
  EXPECT_EQ(EncodeFrame(src.data(), ch.TxFrame, MaxPacketLen), TxFrameSize);
  EXPECT_EQ(ch.TxFrame[TxFrameSize - 6], FrameEnd);
  EXPECT_EQ(ch.TxFrame[TxFrameSize - 1], 0xFF);
}

TEST(PacketCheck16, KnownValuesAndRangeErrors) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const uint8_t zero[] = {0};
  EXPECT_EQ(PacketCheck16(abc, 0, 2), 0x2543);
  EXPECT_EQ(PacketCheck16(zero, 0, 0), 0);
  EXPECT_EQ(PacketCheck16(abc, 2, 1), 0);
  EXPECT_EQ(PacketCheck16(abc, 0x1000000, 0x1000001), 0);
}

TEST(PacketSum16, KnownValuesAndRangeErrors) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const uint8_t zeros[] = {0, 0};
  EXPECT_EQ(PacketSum16(abc, 0, 2), 0xFEDAu);
  EXPECT_EQ(PacketSum16(zeros, 0, 1), 0x10000u);
  EXPECT_EQ(PacketSum16(abc, 2, 1), 0x10000u);
  EXPECT_EQ(PacketSum16(abc, 0, 0x1000000), 0u);
  EXPECT_EQ(PacketSum16(abc, 0x1000000, 0), 0u);
}

TEST(ExtractRxFrame, SkipsNoiseAndNeverTakesClosingAsOpening) {
  ChannelBuffers ch;
  const Bytes rx = {0x11, 0x22, 0xC0, 0x05, 0xC0, 0xC0, 0x06};
  std::memcpy(ch.RxBuf, rx.data(), rx.size());
  ch.RxCount = static_cast<uint16_t>(rx.size());
  uint16_t pos = 0, len = 0;
  ASSERT_TRUE(ExtractRxFrame(ch, pos, len));
  EXPECT_EQ(len, 3);
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(Bytes(ch.RxFrame, ch.RxFrame + 3), (Bytes{0xC0, 0x05, 0xC0}));
  EXPECT_FALSE(ExtractRxFrame(ch, pos, len));
  EXPECT_EQ(pos, 7);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(Bytes(ch.RxFrame, ch.RxFrame + 2), (Bytes{0xC0, 0x06}));
}

namespace {

// Appends rx to the channel's pending bytes and cuts, decodes and gives back
// frames as the receive path does; the packets decoded, in order.
std::vector<Bytes> Receive(ChannelBuffers& ch, const Bytes& rx) {
  std::memcpy(ch.RxBuf + ch.RxCount, rx.data(), rx.size());
  ch.RxCount = static_cast<uint16_t>(ch.RxCount + rx.size());
  std::vector<Bytes> packets;
  uint16_t pos = 0, kept = 0, len = 0;
  for (;;) {
    kept = pos;
    if (!ExtractRxFrame(ch, pos, len)) break;
    uint16_t outLen = 0;
    if (DecodeFrame(ch.RxFrame, ch.PacketBuf, PacketBufSize, outLen, len) != 0) {
      GiveBackClosingFrameEnd(pos);
      continue;
    }
    packets.emplace_back(ch.PacketBuf, ch.PacketBuf + outLen);
  }
  std::memmove(ch.RxBuf, ch.RxBuf + kept, ch.RxCount - kept);
  ch.RxCount = static_cast<uint16_t>(ch.RxCount - kept);
  return packets;
}

Bytes Frame(const Bytes& packet) {
  Bytes f(2 * packet.size() + 7);
  f.resize(EncodeFrame(packet.data(), f.data(), static_cast<uint16_t>(packet.size())));
  return f;
}

}  // namespace

// Of a row of FrameEnd bytes the last opens the frame: a doubled opening, or
// a stray FrameEnd ahead of a frame, costs nothing.
TEST(ExtractRxFrame, LastOfARowOfFrameEndsOpens) {
  ChannelBuffers ch;
  const Bytes rx = {0x11, 0xC0, 0xC0, 0xC0, 0x05, 0x06, 0xC0, 0x77};
  std::memcpy(ch.RxBuf, rx.data(), rx.size());
  ch.RxCount = static_cast<uint16_t>(rx.size());
  uint16_t pos = 0, len = 0;
  ASSERT_TRUE(ExtractRxFrame(ch, pos, len));
  EXPECT_EQ(Bytes(ch.RxFrame, ch.RxFrame + len), (Bytes{0xC0, 0x05, 0x06, 0xC0}));
  EXPECT_EQ(pos, 7);
}

// A frame cut short takes the next frame's opening as its closing byte; it
// does not decode, so that byte opens the next frame after all. A frame that
// decodes keeps its closing byte: the noise after it is no frame.
TEST(ExtractRxFrame, FrameThatDoesNotDecodeGivesBackItsClosingByte) {
  const Bytes reply = ReplyPacket(0x93, 0, {0x06, 0x00}, 2);
  ChannelBuffers ch;
  Bytes rx = {0xC0, 0xFD, 0x41};  // cut short
  for (const Bytes& f :
       {Frame(reply), Bytes{0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}, Frame(reply)})
    rx.insert(rx.end(), f.begin(), f.end());
  const auto packets = Receive(ch, rx);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0], reply);
  EXPECT_EQ(packets[1], reply);
}

// A run longer than any frame leaves the buffer up to, not including, the
// next FrameEnd, which opens the next frame; when that byte arrives only in a
// later receipt, what came of the run before it is passed over as noise.
TEST(ExtractRxFrame, OverLongRunIsDroppedUpToTheNextFrameEnd) {
  const Bytes frame = {0xC0, 0x07, 0x08, 0xC0};
  for (const bool closedLater : {false, true}) {
    SCOPED_TRACE(closedLater);
    ChannelBuffers ch;
    std::size_t n = 0;
    ch.RxBuf[n++] = 0x11;  // a stray byte ahead of the run
    ch.RxBuf[n++] = FrameEnd;
    for (std::size_t k = 0; k < RxFrameSize + 1000; ++k) ch.RxBuf[n++] = 0x41;
    ch.RxCount = static_cast<uint16_t>(n);
    uint16_t pos = 0, len = 0;
    if (closedLater) {
      EXPECT_FALSE(ExtractRxFrame(ch, pos, len));
      EXPECT_EQ(ch.RxCount, 1);  // the run is gone, the stray byte kept
      EXPECT_EQ(pos, 1);
      n = 1;
      for (int k = 0; k < 500; ++k) ch.RxBuf[n++] = 0x42;  // more of the run
    }
    ch.RxBuf[n++] = FrameEnd;  // the run's closing byte
    for (uint8_t b : frame) ch.RxBuf[n++] = b;
    ch.RxCount = static_cast<uint16_t>(n);
    pos = 0;
    ASSERT_TRUE(ExtractRxFrame(ch, pos, len));
    EXPECT_EQ(Bytes(ch.RxFrame, ch.RxFrame + len), frame);
    // Kept: the stray byte, what came of the run after the drop, its closing
    // FrameEnd and the frame.
    EXPECT_EQ(ch.RxCount, 1 + (closedLater ? 500 : 0) + 1 + frame.size());
    EXPECT_EQ(pos, ch.RxCount);
  }
}

// Dropping pending bytes that hold an unfinished frame's opening remembers
// nothing: that frame's closing FrameEnd opens a frame that does not decode,
// and the reply after it is received; so is one after dropped noise.
TEST(ExtractRxFrame, DroppedUnfinishedFrameKeepsTheFramingInStep) {
  const Bytes reply = ReplyPacket(0x9B, 0, {0x01, 0x02, 0x03}, 3);
  for (const Bytes& pending : {Bytes{0x55, 0xC0, 0x01, 0x02}, Bytes{0x55, 0x66}}) {
    SCOPED_TRACE(pending.size());
    ChannelBuffers ch;
    EXPECT_TRUE(Receive(ch, pending).empty());
    EXPECT_EQ(ch.RxCount, pending.size());
    DropPendingRx(ch);
    EXPECT_EQ(ch.RxCount, 0);
    Bytes rx = {0x03, 0xC0, 0xFF};  // the dropped frame's end, then noise
    const Bytes f = Frame(reply);
    rx.insert(rx.end(), f.begin(), f.end());
    const auto packets = Receive(ch, rx);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], reply);
  }
}

TEST(ExtractRxFrame, FrameOfExactlyRxFrameSizeIsKept) {
  ChannelBuffers ch;
  ch.RxBuf[0] = FrameEnd;
  std::memset(ch.RxBuf + 1, 0x41, RxFrameSize - 2);
  ch.RxBuf[RxFrameSize - 1] = FrameEnd;
  ch.RxCount = RxFrameSize;
  uint16_t pos = 0, len = 0;
  ASSERT_TRUE(ExtractRxFrame(ch, pos, len));
  EXPECT_EQ(len, RxFrameSize);
}

struct DecodeCase {
  const char* name;
  Bytes raw;
  uint8_t result;
  uint16_t outLen;
  uint16_t rawLenAfter;
  Bytes decoded;  // checked when result is 0
};

class DecodeFrameTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeFrameTable, Outcome) {
  const DecodeCase& c = GetParam();
  Bytes raw = c.raw;
  uint8_t pkt[PacketBufSize] = {};
  uint16_t outLen = 0xFFFF;
  uint16_t rawLen = static_cast<uint16_t>(raw.size());
  EXPECT_EQ(DecodeFrame(raw.data(), pkt, sizeof pkt, outLen, rawLen), c.result);
  EXPECT_EQ(outLen, c.outLen);
  EXPECT_EQ(rawLen, c.rawLenAfter);
  if (c.result == 0) {
    EXPECT_EQ(Bytes(pkt, pkt + outLen), c.decoded);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DecodeFrameTable,
    ::testing::Values(DecodeCase{"DoubledOpening",
                                 {0xC0, 0xC0, 1, 2, 3, 4, 5, 6, 7, 8, 0xC0},
                                 0,
                                 8,
                                 0,
                                 {1, 2, 3, 4, 5, 6, 7, 8}},
                      DecodeCase{"Escapes",
                                 {0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 3, 4, 5, 6, 7, 8, 0xC0, 0x99},
                                 0,
                                 8,
                                 1,
                                 {0xC0, 0xDB, 3, 4, 5, 6, 7, 8}},
                      DecodeCase{"BadEscape", {0xC0, 0xDB, 0x41, 0xC0}, ResDataError, 0, 1, {}},
                      DecodeCase{
                          "SevenBytes", {0xC0, 1, 2, 3, 4, 5, 6, 7, 0xC0}, ResDataError, 7, 0, {}},
                      DecodeCase{"CutFrame", {0xC0, 0xC0}, ResDataError, 0, 2, {}},
                      DecodeCase{"EndsInEscape", {0xC0, 1, 2, 0xDB}, ResDataError, 0, 4, {}},
                      DecodeCase{"NoFrameEnd", {1, 2, 3}, ResDataError, 0, 3, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeFrame, PacketLongerThanItsBufferIsRefused) {
  Bytes raw(40, 0x41);
  raw.front() = FrameEnd;
  raw.back() = FrameEnd;
  uint8_t pkt[16 + 4];
  std::memset(pkt, 0xEE, sizeof pkt);
  uint16_t outLen = 0, rawLen = static_cast<uint16_t>(raw.size());
  EXPECT_EQ(DecodeFrame(raw.data(), pkt, 16, outLen, rawLen), ResDataError);
  EXPECT_EQ(outLen, 0);
  EXPECT_EQ(pkt[16], 0xEE);  // nothing written past the capacity
}

TEST(CheckRxPacket, StatusDataAndChecksum) {
  const Bytes n2 = ReplyPacket(0x93, 0, {0x06, 0x00}, 2);
  EXPECT_EQ(CheckRxPacket(n2.data(), 12), 0x06);
  const Bytes n3 = ReplyPacket(0x93, 0, {0x07, 0x00}, 3);
  EXPECT_EQ(CheckRxPacket(n3.data(), 12), 0);
  for (uint16_t n : {0, 2, 3, 4096}) {
    Bytes bad = ReplyPacket(0x93, 0, {0x06, 0x00}, n);
    bad.back() ^= 1;
    EXPECT_EQ(CheckRxPacket(bad.data(), 12), ResPacketChecksum) << n;
  }
}

// A reply with a good check but no status byte of its own ahead of the check
// never reads as a status: its byte [8] would be the check's low byte (or a
// byte the device says it did not send).
TEST(CheckRxPacket, ReplyWithoutStatusByteIsACheckFailure) {
  struct Case {
    const char* name;
    Bytes payload;
    uint16_t n;
  };
  for (const Case& c :
       {Case{"N = 0, 10 bytes", {}, 0}, Case{"N = 1 claimed, 10 bytes", {}, 1},
        Case{"N = 2 claimed, 10 bytes", {}, 2}, Case{"N = 3 claimed, 10 bytes", {}, 3},
        Case{"N = 0 with a byte", {0x00}, 0}}) {
    SCOPED_TRACE(c.name);
    // Whatever the check's low byte is, 0 and 6 included.
    for (uint8_t code = 0; code < 64; ++code) {
      const Bytes r = ReplyPacket(code, 0, c.payload, c.n);
      EXPECT_EQ(CheckRxPacket(r.data(), static_cast<uint16_t>(r.size())), ResPacketChecksum);
    }
  }
  const Bytes n1 = ReplyPacket(0x93, 0, {0x06}, 1);
  EXPECT_EQ(CheckRxPacket(n1.data(), 11), 0x06);
}

TEST(CheckRxPacket, ShortOrOversizedLengthIsACheckFailure) {
  static uint8_t pkt[PacketBufSize] = {};  // all zero: the check of zeros is 0
  for (uint16_t len : {0, 1, 2, 9}) EXPECT_EQ(CheckRxPacket(pkt, len), ResPacketChecksum) << len;
  EXPECT_EQ(CheckRxPacket(pkt, PacketBufSize + 1), ResPacketChecksum);
  EXPECT_EQ(CheckRxPacket(pkt, 0xFFFF), ResPacketChecksum);
}

namespace {
void PutIdent(uint8_t* pkt, const char* text, const uint8_t magic[4]) {
  std::memcpy(pkt, magic, 4);
  std::memcpy(pkt + 28, text, std::strlen(text) + 1);
}
constexpr uint8_t Magic[4] = {0xA3, 0xA5, 0x53, 0x35};
}  // namespace

TEST(CheckDeviceIdent, AcceptsLongerTextAndReturnsItWhole) {
  uint8_t pkt[PacketBufSize] = {};
  PutIdent(pkt, "KestraGangA4 XY", Magic);
  char expected[256] = "KestraGangA4";
  EXPECT_EQ(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 20), 0);
  EXPECT_STREQ(expected, "KestraGangA4 XY");
}

TEST(CheckDeviceIdent, RejectsWrongMagicOtherTextAndShortText) {
  uint8_t pkt[PacketBufSize] = {};
  const uint8_t wrong[4] = {0xA3, 0xA5, 0x53, 0x34};
  PutIdent(pkt, "KestraGangA4", wrong);
  char expected[256] = "KestraGangA4";
  EXPECT_EQ(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 20), ResBadIdent);

  PutIdent(pkt, "KestraGangB7", Magic);
  EXPECT_NE(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 20), 0);
  PutIdent(pkt, "Kestra", Magic);
  EXPECT_NE(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 20), 0);
  EXPECT_STREQ(expected, "KestraGangA4");  // untouched on failure
}

TEST(CheckDeviceIdent, TextEndsAtByte80OrAtANonPrintingByte) {
  uint8_t pkt[PacketBufSize];
  std::memset(pkt, 'A', sizeof pkt);  // no terminator anywhere
  std::memcpy(pkt, Magic, 4);
  char expected[256] = "AAA";
  EXPECT_EQ(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 20), 0);
  EXPECT_EQ(std::strlen(expected), 53u);  // bytes 28..80
  std::strcpy(expected, "AAA");
  EXPECT_EQ(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 0), 0);
  EXPECT_EQ(std::strlen(expected), 73u);  // bytes 8..80
  pkt[40] = 0x80;
  std::strcpy(expected, "AAA");
  EXPECT_EQ(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 20), 0);
  EXPECT_EQ(std::strlen(expected), 12u);
  // Skip above 72: the text is empty and matches only an empty prefix.
  std::strcpy(expected, "AAA");
  EXPECT_NE(CheckDeviceIdent(pkt, sizeof pkt, expected, sizeof expected, 73), 0);
}

TEST(IdentifiesAs, PrefixFromByte28AndTheWholeText) {
  uint8_t pkt[PacketBufSize] = {};
  PutIdent(pkt, "KestraGangB7 R2", Magic);
  std::string text = "unchanged";
  EXPECT_FALSE(IdentifiesAs(pkt, sizeof pkt, "KestraGangA4", &text));
  EXPECT_EQ(text, "unchanged");
  EXPECT_TRUE(IdentifiesAs(pkt, sizeof pkt, "KestraGangB7"));
  EXPECT_TRUE(IdentifiesAs(pkt, sizeof pkt, "KestraGangB7", &text));
  EXPECT_EQ(text, "KestraGangB7 R2");
  const uint8_t wrong[4] = {0xA3, 0xA5, 0x53, 0x34};
  PutIdent(pkt, "KestraGangB7 R2", wrong);
  EXPECT_FALSE(IdentifiesAs(pkt, sizeof pkt, "KestraGangB7"));
}

TEST(CheckDeviceIdent, SmallExpectedBufferIsNotOverrun) {
  uint8_t pkt[PacketBufSize] = {};
  PutIdent(pkt, "KestraGangA4 with a long tail of text", Magic);
  char expected[16 + 4];
  std::memset(expected, 0x7E, sizeof expected);
  std::strcpy(expected, "Kestra");
  EXPECT_EQ(CheckDeviceIdent(pkt, sizeof pkt, expected, 16, 20), 0);
  EXPECT_STREQ(expected, "KestraGangA4 wi");
  EXPECT_EQ(expected[16], 0x7E);
}
