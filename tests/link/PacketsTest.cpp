// Command packets and the parameter block, read back from the channel's buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "LinkFixture.h"

using namespace kestra::link;
using namespace kestra::link::test;

namespace {

// The packet most recently framed into TxFrame, read back independently.
// packetLen bounds the search for the closing FrameEnd.
std::vector<uint8_t> SentPacket(LinkFixture& f, std::size_t packetLen) {
  const uint8_t* t = f.buffers->TxFrame;
  std::size_t end = 1;
  while (end < 2 * packetLen + 1 && t[end] != FrameEnd) ++end;
  return Unframe(t, end + 6);
}

}  // namespace

TEST(ParamBlock, EveryFieldAtItsOffset) {
  LinkFixture f;
  std::memset(f.Pkt(), 0xEE, 100);
  RandomSource expect = f.random;
  const uint8_t r4 = static_cast<uint8_t>(expect.Random(255));
  const uint16_t r6 = static_cast<uint16_t>(expect.Random(0xFFFF));
  f.link.FillParamBlock(8);
  const uint8_t* b = f.Pkt() + 8;

  struct Field {
    int offset, width;
    uint32_t value;
  };
  const Field fields[] = {
      {0, 1, 0},       {1, 1, '6'},     {2, 1, 0x11},    {3, 1, 0x12},        {4, 1, r4},
      {5, 1, 0x03},    {6, 2, r6},      {8, 2, 0},       {10, 2, 0x0201},     {12, 2, 0x2000},
      {14, 2, 0x0400}, {16, 1, 0xC8},   {17, 1, 0x85},   {18, 1, 0x03},       {19, 1, 0x08},
      {20, 2, 0},      {22, 1, 0x13},   {23, 1, 0x14},   {24, 2, 0x0302},     {26, 4, 0xC000},
      {30, 2, 0},      {32, 2, 0xA1B2}, {34, 2, 0xC3D4}, {36, 2, 0xE5F6},     {38, 2, 0x0718},
      {40, 4, 0},      {44, 4, 0},      {48, 1, 17},     {49, 1, 18},         {50, 1, 5},
      {51, 1, 2},      {52, 1, 40},     {53, 1, 1},      {54, 4, 0x50020000}, {58, 4, 0x00100000},
      {62, 2, 0},
  };
  int covered = 0;
  for (const Field& fl : fields) {
    const uint32_t got = fl.width == 1   ? b[fl.offset]
                         : fl.width == 2 ? Get16(b + fl.offset)
                                         : Get32(b + fl.offset);
    EXPECT_EQ(got, fl.value) << "offset " << fl.offset;
    covered += fl.width;
  }
  EXPECT_EQ(covered, 64);
  EXPECT_EQ(f.Pkt()[7], 0xEE);                    // nothing before the block
  EXPECT_EQ(f.Pkt()[72], 0xEE);                   // nothing after it
  EXPECT_EQ(f.random.RandSeed, expect.RandSeed);  // exactly two draws
}

TEST(RandomSource, DrawsStayInRangeAndFollowTheLcg) {
  RandomSource r;
  EXPECT_EQ(r.Random(255), static_cast<uint32_t>((uint64_t{1} * 255) >> 32));
  EXPECT_EQ(r.RandSeed, 1u);
  EXPECT_EQ(r.Random(0x10000), 0x0808u);  // seed 0x08088406
  for (int k = 0; k < 10000; ++k) {
    EXPECT_LT(r.Random(255), 255u);
    EXPECT_LT(r.Random(0xFFFF), 0xFFFFu);
  }
  EXPECT_EQ(r.Random(0), 0u);
}

TEST(SendSimpleCommand, TenBytesWithChipBytesAndCheck) {
  LinkFixture f;
  EXPECT_FALSE(f.link.SendSimpleCommand(CmdSearchDevice, 0));  // no port: built, not sent
  const std::vector<uint8_t> p = SentPacket(f, 10);
  ASSERT_EQ(p.size(), 10u);
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 8),
            (std::vector<uint8_t>{0x3D, 0, 0, '6', 0x11, 0x12, 0, 0}));
  EXPECT_TRUE(PacketIsWhole(p));
}

TEST(SendParamCommand, TwoCallsDifferOnlyInTheRandomFieldsAndCheck) {
  LinkFixture f;
  f.link.SendParamCommand(CmdChipOperation, SubBlankCheck);
  const std::vector<uint8_t> a(f.Pkt(), f.Pkt() + 74);
  f.link.SendParamCommand(CmdChipOperation, SubBlankCheck);
  const std::vector<uint8_t> b(f.Pkt(), f.Pkt() + 74);
  for (std::size_t k = 0; k < 74; ++k) {
    if (k == 12 || k == 14 || k == 15 || k == 72 || k == 73) continue;
    EXPECT_EQ(a[k], b[k]) << k;
  }
  EXPECT_NE(std::memcmp(a.data() + 12, b.data() + 12, 4), 0);
  EXPECT_TRUE(PacketIsWhole(a));
  EXPECT_TRUE(PacketIsWhole(b));
}

TEST(SendParamCommand, LengthsAndProtectConfig) {
  struct Case {
    uint8_t code;
    uint16_t param;
    std::size_t len;
  };
  for (const Case c :
       {Case{CmdChipOperation, SubWriteProtect, 138}, Case{CmdChipOperation, SubVerifyMain, 74},
        Case{CmdReadMain, 8, 74}, Case{CmdReadInfo, 0x53, 138}}) {
    LinkFixture f;
    f.link.SendParamCommand(c.code, c.param);
    const std::vector<uint8_t> p = SentPacket(f, c.len);
    ASSERT_EQ(p.size(), c.len) << int(c.code) << "/" << c.param;
    EXPECT_TRUE(PacketIsWhole(p));
    EXPECT_EQ(p[0], c.code);
    EXPECT_EQ(Get16(&p[1]), c.param);
    if (c.len == 138) {
      EXPECT_EQ(std::vector<uint8_t>(p.begin() + 72, p.begin() + 136),
                std::vector<uint8_t>(f.protect.begin(), f.protect.begin() + 64));
    }
  }
}

TEST(SendDataBlock, AddressWithLowBitsCleared) {
  LinkFixture f;
  f.link.SendDataBlock(CmdDownloadMain, 8, 0xC000);
  const std::vector<uint8_t> a = SentPacket(f, 4106);
  ASSERT_EQ(a.size(), 4106u);
  EXPECT_TRUE(PacketIsWhole(a));
  EXPECT_EQ(
      std::vector<uint8_t>(a.begin() + 8, a.begin() + 4104),
      std::vector<uint8_t>(f.image.begin() + 0xC000 + 8192, f.image.begin() + 0xC000 + 12288));
  f.link.SendDataBlock(CmdDownloadMain, 8, 0xC000 + 15);
  EXPECT_EQ(SentPacket(f, 4106), a);
}

TEST(SendDataBlock, BlockBeyondTheImageReadsAsErased) {
  LinkFixture f;
  // Param 0xFFFF points 64 MB past the start: nothing of the image is there.
  f.link.SendDataBlock(CmdDownloadMain, 0xFFFF, 0);
  const std::vector<uint8_t> p = SentPacket(f, 4106);
  ASSERT_EQ(p.size(), 4106u);
  EXPECT_TRUE(std::all_of(p.begin() + 8, p.begin() + 4104, [](uint8_t b) { return b == 0xFF; }));
  // A block straddling the end: the inside part is the image's last bytes.
  f.link.SendDataBlock(CmdDownloadMain, 0, ImageBufferSize - 16);
  const std::vector<uint8_t> q = SentPacket(f, 4106);
  EXPECT_EQ(std::vector<uint8_t>(q.begin() + 8, q.begin() + 24),
            std::vector<uint8_t>(f.image.end() - 16, f.image.end()));
  EXPECT_EQ(q[24], 0xFF);
}

TEST(SendInfoBlock, CodeAndData) {
  LinkFixture f;
  f.link.SendInfoBlock(4);
  const std::vector<uint8_t> p = SentPacket(f, 4106);
  ASSERT_EQ(p.size(), 4106u);
  EXPECT_TRUE(PacketIsWhole(p));
  EXPECT_EQ(p[0], 0x5A);
  EXPECT_EQ(Get16(&p[1]), 4);
  EXPECT_EQ(std::vector<uint8_t>(p.begin() + 8, p.begin() + 4104),
            std::vector<uint8_t>(f.info.begin() + 4096, f.info.begin() + 8192));
}

TEST(SendInfoWrite, ParamBlockThenInfoDataAndOutOfRangeIsErased) {
  LinkFixture f;
  f.link.SendInfoWrite(28);  // the last 4 KB of the info image
  std::vector<uint8_t> p = SentPacket(f, 4170);
  ASSERT_EQ(p.size(), 4170u);
  EXPECT_TRUE(PacketIsWhole(p));
  EXPECT_EQ(p[0], 0x96);
  EXPECT_EQ(Get16(&p[6]), 0x1040);
  EXPECT_EQ(std::vector<uint8_t>(p.begin() + 72, p.begin() + 4168),
            std::vector<uint8_t>(f.info.end() - 4096, f.info.end()));
  f.link.SendInfoWrite(60);  // 60 KB: past the 32 KB info image
  p = SentPacket(f, 4170);
  EXPECT_TRUE(std::all_of(p.begin() + 72, p.begin() + 4168, [](uint8_t b) { return b == 0xFF; }));
}

TEST(SendProgramBlock, ParamBlockAndImageRows) {
  LinkFixture f;
  f.link.SendProgramBlock(CmdProgramBlock, 0x1004, 0xC00F, 4096);
  const std::vector<uint8_t> p = SentPacket(f, 4170);
  ASSERT_EQ(p.size(), 4170u);
  EXPECT_TRUE(PacketIsWhole(p));
  EXPECT_EQ(Get16(&p[1]), 0x1004);  // whole Param in the header
  EXPECT_EQ(Get16(&p[6]), 64 + 4096);
  EXPECT_EQ(p[9], '6');  // ParamBlock at 8
  EXPECT_EQ(std::vector<uint8_t>(p.begin() + 72, p.begin() + 4168),
            std::vector<uint8_t>(f.image.begin() + 0xC000 + 4096, f.image.begin() + 0xC000 + 8192));
}

TEST(SendProgramBlock, OversizedLengthStaysInsideTheBuffers) {
  LinkFixture f;
  f.link.SendProgramBlock(CmdProgramBlock, 0, 0, 0xFFFF);
  const std::vector<uint8_t> p = SentPacket(f, 4170);
  EXPECT_EQ(p.size(), 4170u);
  EXPECT_TRUE(PacketIsWhole(p));
}

TEST(SendRestCommand, SameForEveryChannelAndChip) {
  LinkFixture a(1);
  PacketSettings other;
  other.ChipSeries = '5';
  LinkFixture b(4, other);
  a.link.SendRestCommand(CmdRestart);
  b.link.SendRestCommand(CmdRestart);
  const std::vector<uint8_t> pa = SentPacket(a, 12), pb = SentPacket(b, 12);
  ASSERT_EQ(pa.size(), 12u);
  EXPECT_EQ(pa, pb);
  EXPECT_EQ(std::vector<uint8_t>(pa.begin(), pa.begin() + 10),
            (std::vector<uint8_t>{0x8A, 'R', 'E', 'S', 'T', 0xA8, 2, 0, 0, 0}));
  EXPECT_TRUE(PacketIsWhole(pa));
  a.link.SendRestCommand(CmdRestartAfterProtect);
  const std::vector<uint8_t> pc = SentPacket(a, 12);
  for (std::size_t k = 1; k < 10; ++k) EXPECT_EQ(pc[k], pa[k]) << k;
  EXPECT_EQ(pc[0], 0x86);
  EXPECT_TRUE(PacketIsWhole(pc));
}

TEST(PutTextField, WidthNulPaddingAndEmptyText) {
  struct Case {
    std::string text;
    std::vector<uint8_t> field;
  };
  auto bytes = [](const char* s, std::size_t n) {
    std::vector<uint8_t> v(16, 0);
    std::memcpy(v.data(), s, n);
    return v;
  };
  const Case cases[] = {
      {"ABCDEFGHIJKLMNOPQRST", bytes("ABCDEFGHIJKLMNOP", 16)},
      {"", bytes("?", 1)},
      {"abc", bytes("abc", 3)},
      {std::string("ab\0cd", 5), bytes("ab", 2)},
      {std::string("\0x", 2), bytes("?", 1)},
  };
  for (const Case& c : cases) {
    LinkFixture f;
    std::memset(f.Pkt(), 0xEE, 64);
    f.link.PutTextField(c.text, 20, 16);
    EXPECT_EQ(std::vector<uint8_t>(f.Pkt() + 20, f.Pkt() + 36), c.field) << c.text;
    EXPECT_EQ(f.Pkt()[19], 0xEE);
    EXPECT_EQ(f.Pkt()[36], 0xEE);
  }
}
