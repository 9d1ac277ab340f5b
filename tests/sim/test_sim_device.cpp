// The simulated device over its pty, driven by a raw host port.
#include <gtest/gtest.h>

#include <QTest>
#include <numeric>

#include "SimHost.h"
#include "sim/SimDevice.h"
#include "sim/SimWire.h"

using namespace kestra::sim;
using namespace kestra::simtest;

namespace {

class SimDeviceTest : public ::testing::Test {
 protected:
  SimDevice dev;
  HostPort host{dev.PortPath()};

  void SetUp() override { ASSERT_TRUE(host.Open()); }
  void TearDown() override {
    if (!expectViolations) {
      for (const auto& v : dev.Violations()) ADD_FAILURE() << "violation: " << v;
    }
  }
  uint8_t Status(const Bytes& packet) {
    auto r = host.Transact(packet);
    if (!r) return 0xEE;
    EXPECT_TRUE(ReplyValid(*r));
    return (*r)[8];
  }
  bool expectViolations = false;
};

Bytes Image(std::size_t n, uint32_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(seed >> 16);
  }
  // Make sure the framing bytes occur in the data.
  b[0] = 0xC0, b[1] = 0xDB, b[2] = 0xC0;
  return b;
}

Bytes Block(const Bytes& img, std::size_t at) {
  Bytes b(4096, 0xFF);
  for (std::size_t i = 0; i < 4096 && at + i < img.size(); ++i) b[i] = img[at + i];
  return b;
}

}  // namespace

TEST_F(SimDeviceTest, SearchAnswersWithMagicAndIdentification) {
  for (const char* ident : {DefaultIdent, "KestraGangB7 V1.0"}) {
    dev.SetIdent(ident);
    Bytes search = Packet(0x3D, 0, {});
    search[3] = 0xF1, search[4] = 0, search[5] = 0;  // the upgrade tool's search
    kestra::sim::SealPacket(search);
    auto r = host.Transact(search);
    ASSERT_TRUE(r);
    EXPECT_TRUE(ReplyValid(*r));
    ASSERT_GE(r->size(), 81u);
    EXPECT_EQ(Bytes(r->begin(), r->begin() + 4), (Bytes{0xA3, 0xA5, 0x53, 0x35}));
    EXPECT_STREQ(reinterpret_cast<const char*>(&(*r)[28]), ident);
  }
  EXPECT_EQ(dev.PacketCount(0x3D), 2);
}

TEST_F(SimDeviceTest, DownloadProgramVerifyAndReadBackRoundTrip) {
  Chip c;
  c.flashKB = 10;  // not a multiple of the 4 KB block: the last block is cut
  c.infoSize = 2048;
  const Bytes img = Image(c.flashKB * 1024, 7);
  const Bytes inf = Image(c.infoSize, 9);
  c.imageSum = ByteSum16(img.data(), img.size());
  c.imageCrc = Check16(img.data(), img.size());
  c.infoSum = static_cast<uint16_t>(0x10000 - ByteSum16(inf.data(), inf.size()));
  c.infoCrc = Check16(inf.data(), inf.size());

  EXPECT_EQ(Status(ConfigPacket(c, 0x1234)), 0);
  for (uint16_t pos = 0; pos < c.flashKB; pos += 4)
    EXPECT_EQ(Status(Packet(0x55, pos, Block(img, pos * 1024u), c)), 0);
  EXPECT_EQ(Status(Packet(0x5A, 0, Block(inf, 0), c)), 0);
  const Bytes job = dev.JobImage();
  ASSERT_GE(job.size(), img.size());
  EXPECT_EQ(Bytes(job.begin(), job.begin() + static_cast<std::ptrdiff_t>(img.size())), img);
  ASSERT_TRUE(dev.LastParamBlock());
  EXPECT_EQ(kestra::sim::Get16(&(*dev.LastParamBlock())[10]), c.flashKB);
  EXPECT_EQ(Status(RestPacket(0x8A)), 0);

  EXPECT_EQ(Status(ChipOp(0x05, c)), 0);  // blank
  for (uint16_t pos = 0; pos < c.flashKB; pos += 4)
    EXPECT_EQ(Status(Packet(0x95, pos, Concat(ParamBlock(c), Block(img, pos * 1024u)), c)), 0);
  EXPECT_EQ(Status(Packet(0x96, 0, Concat(ParamBlock(c), Block(inf, 0)), c)), 0);
  EXPECT_EQ(dev.Flash(), img);
  EXPECT_EQ(dev.InfoMemory(), inf);
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0x15);  // no longer blank

  for (uint8_t sub : {0x55, 0x56}) {
    auto r = host.Transact(ChipOp(sub, c));
    ASSERT_TRUE(r);
    ASSERT_GE(r->size(), 26u);
    EXPECT_EQ((*r)[8], 0) << int(sub);
  }

  Bytes back;
  for (uint16_t pos = 0; pos < c.flashKB; pos += 4) {
    auto r = host.Transact(Packet(0x9B, pos, ParamBlock(c), c));
    ASSERT_TRUE(r);
    ASSERT_TRUE(ReplyValid(*r));
    ASSERT_EQ(kestra::sim::Get16(&(*r)[6]), 4096);
    back.insert(back.end(), r->begin() + 8, r->begin() + 8 + 4096);
  }
  back.resize(img.size());
  EXPECT_EQ(back, img);
  auto ri = host.Transact(Packet(0x9C, 0, ParamBlock(c), c));
  ASSERT_TRUE(ri);
  EXPECT_EQ(Bytes(ri->begin() + 8, ri->begin() + 8 + 2048), inf);
  EXPECT_EQ(Bytes(ri->begin() + 8 + 2048, ri->begin() + 8 + 4096), Bytes(2048, 0xFF));

  // Programming only clears bits: a second pass with other data corrupts it,
  // and the verify reply carries the chip's own values for the console's line.
  Bytes other = Image(4096, 11);
  EXPECT_EQ(Status(Packet(0x95, 0, Concat(ParamBlock(c), other), c)), 0);
  Bytes expect = img;
  for (int i = 0; i < 4096; ++i) expect[i] &= other[i];
  EXPECT_EQ(dev.Flash(), expect);
  auto rv = host.Transact(ChipOp(0x55, c));
  ASSERT_TRUE(rv);
  EXPECT_EQ((*rv)[8], 0x34);
  EXPECT_EQ(static_cast<uint16_t>(0x10000 - kestra::sim::Get16(&(*rv)[10])),
            ByteSum16(expect.data(), expect.size()));
  EXPECT_EQ(kestra::sim::Get16(&(*rv)[14]), Check16(expect.data(), expect.size()));

  EXPECT_EQ(Status(ChipOp(0x03, c)), 0);  // erase
  EXPECT_EQ(dev.Flash(), Bytes(img.size(), 0xFF));
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0);
}

TEST_F(SimDeviceTest, ProtectionBlocksReadsUntilErase) {
  Chip c;
  Bytes protect(64);
  std::iota(protect.begin(), protect.end(), 1);
  EXPECT_EQ(Status(ChipOp(0x53, c, protect)), 0);
  EXPECT_TRUE(dev.ReadProtected());
  EXPECT_EQ(dev.ProtectConfig(), protect);
  EXPECT_EQ(Status(RestPacket(0x86)), 0);
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0x10);
  EXPECT_EQ(Status(Packet(0x9B, 0, ParamBlock(c), c)), 0x10);
  EXPECT_EQ(Status(ChipOp(0x03, c)), 0);
  EXPECT_FALSE(dev.ReadProtected());
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0);
}

TEST_F(SimDeviceTest, ChipInformationLayouts) {
  const auto uid = dev.Uid();
  Chip apollo;
  apollo.series = '6';
  auto r = host.Transact(ChipOp(0x33, apollo));
  ASSERT_TRUE(r && ReplyValid(*r));
  ASSERT_EQ(kestra::sim::Get16(&(*r)[6]), 256);
  EXPECT_TRUE(std::equal(uid.begin(), uid.begin() + 8, r->begin() + 12));

  Chip active;
  active.series = '7';
  r = host.Transact(ChipOp(0x33, active));
  ASSERT_TRUE(r && ReplyValid(*r));
  ASSERT_GE(r->size(), 2122u + 2);
  EXPECT_TRUE(std::equal(uid.begin(), uid.end(), r->begin() + 8));
  EXPECT_EQ((*r)[2121], 0x00);  // security level of an unprotected chip

  r = host.Transact(ChipOp(0x35, apollo));
  ASSERT_TRUE(r && ReplyValid(*r));
  EXPECT_EQ(dev.ChipOpCount(0x33), 2);
  EXPECT_EQ(dev.ChipOpCount(0x35), 1);
}

TEST_F(SimDeviceTest, HostFaultsAreCountedAsViolations) {
  expectViolations = true;
  Chip c;
  struct Case {
    const char* what;
    Bytes packet;
    uint8_t status;
  };
  Bytes badCheck = ChipOp(0x05, c);
  badCheck.back() ^= 1;
  Bytes badLength = ChipOp(0x05, c);
  badLength[6] = 63;
  kestra::sim::SealPacket(badLength);
  Bytes pb = ParamBlock(c);
  pb[51] = 3;
  Bytes badRest = RestPacket(0x8A);
  badRest[5] = 0xA9;
  kestra::sim::SealPacket(badRest);
  Bytes badConfig = ConfigPacket(c, 0x0102);
  badConfig[300] ^= 1;  // a text byte: breaks the second check pair only
  kestra::sim::SealPacket(badConfig);
  const Case cases[] = {
      {"wrong PacketCheck16", badCheck, 0x23},
      {"length field", badLength, 0x2A},
      {"ParamBlock constant", Packet(0x93, 0x05, pb, c), 0x2A},
      {"REST layout", badRest, 0x2A},
      {"config check pair", badConfig, 0x2A},
      {"unknown command", Packet(0x77, 0, {}), 0x25},
  };
  int expected = 0;
  for (const auto& k : cases) {
    EXPECT_EQ(Status(k.packet), k.status) << k.what;
    EXPECT_GT(dev.ViolationCount(), expected) << k.what;
    expected = dev.ViolationCount();
  }
  // Framing: a bad escape, and a trailer that is not five 0xFF.
  host.Write({0xC0, 0x01, 0xDB, 0x41, 0xC0, 0xFF, 0xFF});
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0);
  EXPECT_GE(dev.ViolationCount(), expected + 2);
}

// Each command code (a chip operation: its sub-code) fixes the payload it
// carries; any other length is refused before the command runs. An unknown code
// takes any payload, an unknown sub-code a ParamBlock.
TEST_F(SimDeviceTest, PayloadLengthIsFixedPerCommand) {
  expectViolations = true;
  Chip c;
  const Bytes pb = ParamBlock(c);
  auto program = [&](std::size_t data) {
    return Packet(0x95, 0, Concat(pb, Bytes(data, 0xFF)), c);
  };
  struct Case {
    const char* what;
    Bytes packet;
    uint8_t status;
    const char* violation;  // the start of the one violation it causes, or none
  };
  const Case cases[] = {
      {"search", Packet(0x3D, 0, Bytes(1)), 0x2A, "command 0x3D: payload length 1 "},
      {"configuration", Packet(0x53, 0x0102, Bytes(1535)), 0x2A,
       "command 0x53: payload length 1535 "},
      {"main block", Packet(0x55, 0, Bytes(4095)), 0x2A, "command 0x55: payload length 4095 "},
      {"info block", Packet(0x5A, 0, Bytes(4097)), 0x2A, "command 0x5A: payload length 4097 "},
      {"restart after protect", Packet(0x86, 0, Bytes(3)), 0x2A, "command 0x86: payload length 3 "},
      {"restart", Packet(0x8A, 0, {}), 0x2A, "command 0x8A: payload length 0 "},
      {"erase with data", ChipOp(0x03, c, Bytes(64)), 0x2A, "command 0x93: payload length 128 "},
      {"protect without data", ChipOp(0x53, c), 0x2A, "command 0x93: payload length 64 "},
      {"unknown sub-code", Packet(0x93, 0x77, Bytes(63)), 0x2A, "command 0x93: payload length 63 "},
      {"program without data", program(0), 0x2A, "command 0x95: payload length 64 "},
      {"program off the step", program(24), 0x2A, "command 0x95: payload length 88 "},
      {"info write", Packet(0x96, 0, Bytes(4096)), 0x2A, "command 0x96: payload length 4096 "},
      {"main read-out", Packet(0x9B, 0, Bytes(65)), 0x2A, "command 0x9B: payload length 65 "},
      {"info read-out", Packet(0x9C, 0, {}), 0x2A, "command 0x9C: payload length 0 "},
      {"firmware block", Packet(0xB7, 0x2000, Bytes(2047)), 0x2A,
       "command 0xB7: payload length 2047 "},
      {"firmware verify", Packet(0xBA, 0x3FFF, Bytes(2)), 0x2A, "command 0xBA: payload length 2 "},
      {"program one step", program(16), 0x00, nullptr},
      {"program a block", program(4096), 0x00, nullptr},
      {"unknown sub-code with a ParamBlock", ChipOp(0x77, c), 0x25,
       "command 0x93: unknown sub-code"},
      {"unknown command", Packet(0x77, 0, Bytes(5)), 0x25, "command 0x77: unknown command"},
  };
  for (const auto& k : cases) {
    const std::size_t before = dev.Violations().size();
    EXPECT_EQ(Status(k.packet), k.status) << k.what;
    const auto v = dev.Violations();
    ASSERT_EQ(v.size(), before + (k.violation ? 1 : 0)) << k.what;
    if (k.violation) {
      EXPECT_EQ(v.back().rfind(k.violation, 0), 0u) << k.what << ": " << v.back();
    }
  }
}

TEST_F(SimDeviceTest, CommandFaults) {
  Chip c;
  // A status code, once per command code and sub-code.
  CommandFault status;
  status.status = 0x31;
  dev.SetCommandFault(0x93, 0x05, status);
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0x31);
  EXPECT_EQ(Status(ChipOp(0x03, c)), 0);  // another sub-code is untouched

  // A wrong check on the reply.
  CommandFault bad;
  bad.badCheck = true;
  dev.SetCommandFault(0x93, 0x03, bad);
  auto r = host.Transact(ChipOp(0x03, c));
  ASSERT_TRUE(r);
  EXPECT_FALSE(ReplyValid(*r));

  // A read-out block that fails twice, then succeeds.
  CommandFault flaky;
  flaky.failTimes = 2;
  flaky.failStatus = 0x2C;
  dev.SetCommandFault(0x9B, 4, flaky);
  r = host.Transact(Packet(0x9B, 0, ParamBlock(c), c));
  ASSERT_TRUE(r && ReplyValid(*r));
  EXPECT_EQ(r->size(), 4106u);
  EXPECT_EQ(Status(Packet(0x9B, 4, ParamBlock(c), c)), 0x2C);
  EXPECT_EQ(Status(Packet(0x9B, 4, ParamBlock(c), c)), 0x2C);
  r = host.Transact(Packet(0x9B, 4, ParamBlock(c), c));
  ASSERT_TRUE(r && ReplyValid(*r));
  EXPECT_EQ(r->size(), 4106u);

  // A split reply surrounded by garbage still carries the same packet.
  CommandFault split;
  split.chunk = 7;
  split.chunkPauseUs = 2000;
  split.garbage = true;
  dev.SetCommandFault(0x9C, -1, split);
  const int before = host.Chunks();
  r = host.Transact(Packet(0x9C, 0, ParamBlock(c), c));
  ASSERT_TRUE(r && ReplyValid(*r));
  EXPECT_EQ(r->size(), 4106u);
  EXPECT_GT(host.Chunks() - before, 1);
  EXPECT_GT(host.StrayBytes(), 0u);

  // Damaged replies: one chip operation's reply cut to its header; a read-out
  // and an identification reply cut short, their length field and check
  // matching the cut (a text that runs up to the check).
  CommandFault header;
  header.headerOnly = true;
  dev.SetCommandFault(0x93, 0x55, header);
  r = host.Transact(ChipOp(0x55, c));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 8u);
  CommandFault cut;
  cut.payloadBytes = 16;
  dev.SetCommandFault(0x9B, 8, cut);
  r = host.Transact(Packet(0x9B, 8, ParamBlock(c), c));
  ASSERT_TRUE(r && ReplyValid(*r));
  EXPECT_EQ(r->size(), 26u);
  dev.SetIdent("KestraGangA4");
  cut.payloadBytes = 20 + 12;
  dev.SetCommandFault(0x3D, -1, cut);
  r = host.Transact(Packet(0x3D, 0, {}));
  ASSERT_TRUE(r && ReplyValid(*r));
  EXPECT_EQ(Bytes(r->begin() + 28, r->end() - 2),
            Bytes(std::begin("KestraGangA4"), std::end("KestraGangA4") - 1));

  // No reply to one command; the next one is answered.
  CommandFault mute;
  mute.noReply = true;
  dev.SetCommandFault(0x3D, -1, mute);
  EXPECT_FALSE(host.Transact(Packet(0x3D, 0, {}), 300));
  dev.ClearFaults();
  EXPECT_TRUE(host.Transact(Packet(0x3D, 0, {})));
}

TEST_F(SimDeviceTest, ChipStateFaults) {
  Chip c;
  dev.SetNotBlank(true);
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0x15);
  dev.SetNotBlank(false);
  dev.SetReadProtected(true);
  EXPECT_EQ(Status(ChipOp(0x05, c)), 0x10);
  dev.SetReadProtected(false);
  // An erased 16 KB chip verifies against its own values, unless the fault is set.
  const Bytes blank(c.flashKB * 1024, 0xFF);
  c.imageSum = ByteSum16(blank.data(), blank.size());
  c.imageCrc = Check16(blank.data(), blank.size());
  EXPECT_EQ(Status(ChipOp(0x55, c)), 0);
  dev.SetVerifyMismatch(true);
  EXPECT_EQ(Status(ChipOp(0x55, c)), 0x34);
}

TEST_F(SimDeviceTest, SilenceAndUnplug) {
  dev.SetSilent(true);
  EXPECT_FALSE(host.Transact(Packet(0x3D, 0, {}), 300));
  // Still received and checked.
  EXPECT_TRUE(QTest::qWaitFor([&] { return dev.PacketCount(0x3D) == 1; }, 10000));
  dev.SetSilent(false);
  dev.SetUnplugAfter(2);
  EXPECT_TRUE(host.Transact(Packet(0x3D, 0, {})));
  EXPECT_TRUE(host.Transact(Packet(0x3D, 0, {})));  // answered, then the line goes
  EXPECT_FALSE(host.Receive(10000));
  EXPECT_TRUE(host.HungUp());
  EXPECT_TRUE(QTest::qWaitFor([&] { return dev.Unplugged(); }, 10000));
}

TEST_F(SimDeviceTest, UnplugNowHangsUpTheHost) {
  dev.Unplug();
  EXPECT_FALSE(host.Receive(10000));
  EXPECT_TRUE(host.HungUp());
}

TEST(SimDeviceReopen, HostClosingAndReopeningKeepsTheLine) {
  SimDevice dev;
  for (int round = 0; round < 3; ++round) {
    HostPort host(dev.PortPath());
    ASSERT_TRUE(host.Open());
    auto r = host.Transact(Packet(0x3D, 0, {}));
    ASSERT_TRUE(r) << round;
    EXPECT_FALSE(host.HungUp());
  }
  EXPECT_EQ(dev.ViolationCount(), 0);
}

TEST_F(SimDeviceTest, StandAloneProductionSendsProgressPackets) {
  Chip c;
  c.flashKB = 8;
  // Before any download a restart does not start production.
  EXPECT_EQ(Status(RestPacket(0x8A)), 0);
  dev.RunChipCycle();
  EXPECT_FALSE(host.Receive(300));
  EXPECT_FALSE(dev.StandAlone());

  const Bytes img = Image(8192, 5);
  EXPECT_EQ(Status(ConfigPacket(c, 0)), 0);
  EXPECT_EQ(Status(Packet(0x55, 0, Block(img, 0), c)), 0);
  EXPECT_EQ(Status(Packet(0x55, 4, Block(img, 4096), c)), 0);
  EXPECT_EQ(Status(RestPacket(0x8A)), 0);
  EXPECT_TRUE(dev.StandAlone());

  for (uint8_t result : {uint8_t{6}, uint8_t{0x31}}) {
    dev.SetStandaloneResult(result);
    dev.RunChipCycle();
    std::vector<uint8_t> steps;
    for (;;) {
      auto q = host.Receive();
      ASSERT_TRUE(q);
      ASSERT_EQ(q->size(), 8u);
      EXPECT_EQ((*q)[0], 0xFD);
      EXPECT_EQ(std::accumulate(q->begin(), q->end(), 0) % 256, 0);
      steps.push_back((*q)[1]);
      if ((*q)[1] == 0x40) {
        EXPECT_LE(kestra::sim::Get16(&(*q)[3]), kestra::sim::Get16(&(*q)[5]));
      }
      if ((*q)[1] == 0xF0) {
        EXPECT_EQ((*q)[2], result);
        break;
      }
    }
    // 0x10, 0x20, 0x30, three 0x40 (current 0, 1, 2 of 2 blocks), 0x70, 0xF0.
    EXPECT_EQ(steps, (std::vector<uint8_t>{0x10, 0x20, 0x30, 0x40, 0x40, 0x40, 0x70, 0xF0}));
  }
  EXPECT_EQ(dev.Flash(), img);
  EXPECT_EQ(dev.ChipCycles(), 2);
  // Timed chip insertions need no call.
  dev.SetStandaloneInterval(5);
  int finals = 0;
  while (finals < 2) {
    auto q = host.Receive();
    ASSERT_TRUE(q);
    if ((*q)[1] == 0xF0) ++finals;
  }
  dev.SetStandaloneInterval(0);
  // Any other command ends stand-alone production.
  ASSERT_TRUE(host.Send(Packet(0x3D, 0, {})));
  for (;;) {  // progress packets of a cycle still running may come first
    auto r = host.Receive();
    ASSERT_TRUE(r);
    if ((*r)[0] == 0xA3) break;
  }
  EXPECT_FALSE(dev.StandAlone());
}

TEST_F(SimDeviceTest, FirmwareBlocksAreUnscrambledIntoTheStore) {
  const uint8_t keys[8] = {0x4A, 0x9C, 0x17, 0xD2, 0xE8, 0x05, 0x73, 0xB1};
  const Bytes fw = Image(16384, 3);
  for (unsigned b = 0; b < 8; ++b) {
    const uint16_t addr = static_cast<uint16_t>(0x2000 + 0x400 * b);
    Bytes payload(2048);
    for (unsigned k = 0; k < 2048; ++k)
      payload[k] = fw[2048 * b + k] ^ keys[(b & 0xFE) + (k & 1)] ^ 0x6D ^ ((k & 1) ? 0x52 : 0xA7);
    Bytes p = Packet(0xB7, addr, payload);
    p[3] = static_cast<uint8_t>(b), p[4] = 0xFF, p[5] = 0x0F;
    kestra::sim::SealPacket(p);
    EXPECT_EQ(Status(p), 0) << b;
  }
  EXPECT_EQ(dev.Firmware(), fw);
  Bytes verify = Packet(0xBA, 0x3FFF, {});
  verify[3] = 0xF1, verify[4] = 0, verify[5] = 0;
  kestra::sim::SealPacket(verify);
  auto r = host.Transact(verify);
  ASSERT_TRUE(r && ReplyValid(*r));
  ASSERT_GE(r->size(), 30u);
  // The CRC-type value is the link check recurrence over 16-bit words.
  uint16_t crc = 0;
  for (std::size_t i = 0; i < fw.size(); i += 2)
    crc = static_cast<uint16_t>((crc >> 1) ^ kestra::sim::Get16(&fw[i]) ^ ((crc & 1) ? 0x4A12 : 0));
  const uint16_t sum = ByteSum16(fw.data(), fw.size());
  EXPECT_EQ(kestra::sim::Get16(&(*r)[8]), crc);
  EXPECT_EQ(kestra::sim::Get16(&(*r)[26]), crc);
  EXPECT_EQ(kestra::sim::Get16(&(*r)[10]), sum);
  EXPECT_EQ(kestra::sim::Get16(&(*r)[24]), sum);
}

TEST_F(SimDeviceTest, PacedRepliesTakeAtLeastTheirLineTime) {
  Chip c;
  dev.SetPaced(true, 1000);
  const Bytes block = Image(4096, 1);
  const auto start = std::chrono::steady_clock::now();
  for (uint16_t pos = 0; pos < 16; pos += 4)
    EXPECT_EQ(Status(Packet(0x95, pos, Concat(ParamBlock(c), block), c)), 0);
  const auto took = std::chrono::steady_clock::now() - start;
  // Four requests of at least 4177 framed bytes at 11 us a byte, plus 4 ms of
  // programming each: never less than 200 ms, however fast the machine.
  EXPECT_GE(took, std::chrono::milliseconds(200));
  EXPECT_EQ(dev.Flash().size(), 16u * 1024);
}
