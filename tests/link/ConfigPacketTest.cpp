// The configuration packet of each channel, un-whitened and read back.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "LinkFixture.h"

using namespace kestra::link;
using namespace kestra::link::test;

namespace {

constexpr std::size_t ConfigLen = 1546;

PacketSettings SerialSettings(uint32_t value, uint16_t gain) {
  PacketSettings s = DistinctSettings();
  s.SnEnable = 15;
  s.SnLength = 8;
  s.SnGain = gain;
  s.SnStep = static_cast<uint16_t>(gain * 4);
  s.SnValue = value;
  s.SnAddr = 0x0000FFF0;
  s.SnHigh = 0x12345678;
  s.ConfigOptionByte = 8;
  return s;
}

// Sends the packet on a fresh channel n and returns it as framed, un-whitened.
struct Sent {
  std::vector<uint8_t> wire;   // as framed
  std::vector<uint8_t> plain;  // payload un-whitened with the header's key
};

Sent SendConfig(int n, const PacketSettings& s, uint16_t param, const ConfigTexts& texts) {
  LinkFixture f(n, s);
  f.link.SendConfigPacket(CmdDownloadConfig, param, texts);
  const uint8_t* t = f.buffers->TxFrame;
  std::size_t end = 1;
  while (end < 2 * ConfigLen + 1 && t[end] != FrameEnd) ++end;
  Sent out;
  out.wire = Unframe(t, end + 6);
  out.plain = out.wire;
  if (out.plain.size() == ConfigLen) {
    const uint16_t key = Get16(&out.plain[1]);
    for (std::size_t i = 0; i < 768; ++i) {
      out.plain[8 + 2 * i] ^= static_cast<uint8_t>(key) ^ 0x5B;
      out.plain[9 + 2 * i] ^= static_cast<uint8_t>(key >> 8) ^ 0x7E;
    }
  }
  return out;
}

uint16_t Sum16(const std::vector<uint8_t>& p, std::size_t first, std::size_t last) {
  uint16_t s = 0;
  for (std::size_t k = first; k <= last; ++k) s = static_cast<uint16_t>(s + p[k]);
  return s;
}

const ConfigTexts DefaultTexts{"Please select chip type...", "", "", ""};

}  // namespace

TEST(ConfigPacket, SerialNumberStartPerChannelWithWrap) {
  struct Case {
    uint32_t value;
    uint16_t gain;
    std::array<uint32_t, 4> starts;
  };
  const Case cases[] = {
      {1000, 5, {1000, 1005, 1010, 1015}},
      {0xFFFFFFFF, 1, {0xFFFFFFFF, 0, 1, 2}},
      {0xFFFFFFF0, 0xFFFF, {0xFFFFFFF0, 0x0000FFEF, 0x0001FFEE, 0x0002FFED}},
  };
  for (const Case& c : cases) {
    for (int n = 1; n <= 4; ++n) {
      const Sent p = SendConfig(n, SerialSettings(c.value, c.gain), 0x1234, DefaultTexts);
      ASSERT_EQ(p.plain.size(), ConfigLen);
      EXPECT_EQ(Get32(&p.plain[100]), c.starts[n - 1]) << "channel " << n;
    }
  }
}

TEST(ConfigPacket, UnwhitenedPayloadHasTagFieldsAndBothCheckPairs) {
  for (uint16_t key : {uint16_t{0}, uint16_t{0xA55A}, uint16_t{0xFFFE}}) {
    const PacketSettings s = SerialSettings(0x01020304, 2);
    const Sent p = SendConfig(2, s, key, DefaultTexts);
    ASSERT_EQ(p.wire.size(), ConfigLen);
    EXPECT_TRUE(PacketIsWhole(p.wire));  // final check over the whitened bytes
    const std::vector<uint8_t>& q = p.plain;
    EXPECT_EQ(q[0], CmdDownloadConfig);
    EXPECT_EQ(Get16(&q[1]), key);
    EXPECT_EQ(q[3], '6');
    EXPECT_EQ(q[4], 0x11);
    EXPECT_EQ(q[5], 0x12);
    EXPECT_EQ(Get16(&q[6]), 0x0600);
    EXPECT_EQ(std::string(q.begin() + 8, q.begin() + 12), "KQRV");
    EXPECT_EQ(q[12 + 1], '6');  // ParamBlock at 12
    EXPECT_EQ(q[12 + 51], 2);
    EXPECT_EQ(q[92], 15);
    EXPECT_EQ(q[93], 8);
    EXPECT_EQ(Get16(&q[94]), 8);
    EXPECT_EQ(Get32(&q[96]), 0x0000FFF0u);
    EXPECT_EQ(Get32(&q[100]), 0x01020306u);
    EXPECT_EQ(Get32(&q[104]), 0x12345678u);
    EXPECT_EQ(q[109], 8);
    for (std::size_t k : {108, 110, 111, 112, 113}) EXPECT_EQ(q[k], 0) << k;
    for (std::size_t k = 246; k < 260; ++k) EXPECT_EQ(q[k], 0) << k;
    for (std::size_t k = 520; k < 1544; ++k) ASSERT_EQ(q[k], 0) << k;
    for (std::size_t k = 76; k < 92; ++k) EXPECT_LT(q[k], 255) << k;
    EXPECT_EQ(Get16(&q[260]), Check16(q, 8, 259));
    EXPECT_EQ(Get16(&q[262]), Sum16(q, 8, 261));
    EXPECT_EQ(Get16(&q[516]), Check16(q, 8, 515));
    EXPECT_EQ(Get16(&q[518]), Sum16(q, 8, 517));
  }
}

TEST(ConfigPacket, KeyZeroWhitensWithTheConstantBytesAlone) {
  const Sent p = SendConfig(1, DistinctSettings(), 0, DefaultTexts);
  ASSERT_EQ(p.wire.size(), ConfigLen);
  EXPECT_EQ(p.wire[8], 'K' ^ 0x5B);
  EXPECT_EQ(p.wire[9], 'Q' ^ 0x7E);
  EXPECT_EQ(p.wire[1542], 0x5B);  // unset zero bytes show the constants
  EXPECT_EQ(p.wire[1543], 0x7E);
}

TEST(ConfigPacket, TextFields) {
  const ConfigTexts named{"APOLLO3_AMA3B1KK", "firmware_release_candidate_0042_long.hex", "", ""};
  ASSERT_EQ(named.Product.size(), 40u);
  const Sent p = SendConfig(3, DistinctSettings(), 0x0102, named);
  ASSERT_EQ(p.plain.size(), ConfigLen);
  const std::vector<uint8_t>& q = p.plain;
  EXPECT_EQ(std::string(q.begin() + 264, q.begin() + 280), "APOLLO3_AMA3B1KK");
  EXPECT_EQ(std::string(q.begin() + 280, q.begin() + 296), "firmware_release");
  for (std::size_t off : {296, 312}) {
    EXPECT_EQ(q[off], '?');
    for (std::size_t k = off + 1; k < off + 16; ++k) EXPECT_EQ(q[k], 0) << k;
  }
  // The start-up chip text is cut to its first 16 bytes.
  const Sent d = SendConfig(1, DistinctSettings(), 0x0102, DefaultTexts);
  EXPECT_EQ(std::string(d.plain.begin() + 264, d.plain.begin() + 280), "Please select ch");
}

TEST(ConfigPacket, FreshRandomFillerAndKeysEveryCall) {
  LinkFixture f;
  f.link.SendConfigPacket(CmdDownloadConfig, 7, DefaultTexts);
  const std::vector<uint8_t> a(f.Pkt(), f.Pkt() + ConfigLen);
  f.link.SendConfigPacket(CmdDownloadConfig, 7, DefaultTexts);
  const std::vector<uint8_t> b(f.Pkt(), f.Pkt() + ConfigLen);
  EXPECT_NE(std::vector<uint8_t>(a.begin() + 114, a.begin() + 246),
            std::vector<uint8_t>(b.begin() + 114, b.begin() + 246));
  EXPECT_EQ(std::vector<uint8_t>(a.begin() + 264, a.begin() + 328),
            std::vector<uint8_t>(b.begin() + 264, b.begin() + 328));  // texts
}
