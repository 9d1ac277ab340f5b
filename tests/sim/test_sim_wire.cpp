// The simulator's own codec: the check and the streaming frame reader.
#include <gtest/gtest.h>

#include "sim/SimWire.h"

using namespace kestra::sim;
using Bytes = std::vector<uint8_t>;

TEST(SimWire, ChecksMatchTheLinkDefinition) {
  const uint8_t abc[] = {0x61, 0x62, 0x63};
  EXPECT_EQ(Check16(abc, 3), 0x2543);
  EXPECT_EQ(ByteSum16(abc, 3), 0x0126);
  const uint8_t zero = 0;
  EXPECT_EQ(Check16(&zero, 1), 0);
  EXPECT_EQ(FrameReply({0x01, 0xC0, 0xDB, 0x02}),
            (Bytes{0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}));
}

TEST(SimWire, FrameReaderCutsHostFrames) {
  struct Case {
    const char* what;
    Bytes wire;
    std::vector<Bytes> packets;
    int violations;
  };
  const Bytes trailer(5, 0xFF);
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const Case cases[] = {
      {"escapes",
       cat({{0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0}, trailer}),
       {{0x01, 0xC0, 0xDB}},
       0},
      {"two frames with trailers",
       cat({{0xC0, 0x01, 0xC0}, trailer, {0xC0, 0x02, 0xC0}, trailer}),
       {{0x01}, {0x02}},
       0},
      {"doubled opening", {0xC0, 0xC0, 0x05, 0xC0}, {{0x05}}, 0},
      {"bad escape dropped",
       cat({{0xC0, 0xDB, 0x41, 0x07, 0xC0}, trailer, {0xC0, 0x08, 0xC0}}),
       {{0x08}},
       1},
      {"short trailer",
       cat({{0xC0, 0x01, 0xC0, 0xFF, 0xFF, 0xC0, 0x02, 0xC0}}),
       {{0x01}, {0x02}},
       1},
      {"stray bytes",
       cat({{0xC0, 0x01, 0xC0}, trailer, {0x33}, {0xC0, 0x02, 0xC0}}),
       {{0x01}, {0x02}},
       1},
      {"leading noise skipped", {0x11, 0xFF, 0xC0, 0x09, 0xC0}, {{0x09}}, 0},
  };
  for (const auto& c : cases) {
    // Fed whole and byte by byte, the result is the same.
    for (bool bytewise : {false, true}) {
      std::vector<Bytes> got;
      int violations = 0;
      FrameReader r([&](Bytes&& p) { got.push_back(p); }, [&](std::string&&) { ++violations; });
      if (bytewise) {
        for (uint8_t b : c.wire) r.Feed(&b, 1);
      } else {
        r.Feed(c.wire.data(), c.wire.size());
      }
      EXPECT_EQ(got, c.packets) << c.what;
      EXPECT_EQ(violations, c.violations) << c.what;
    }
  }
}

TEST(SimWire, FrameReaderRefusesOversizeFrames) {
  int violations = 0, packets = 0;
  FrameReader r([&](Bytes&&) { ++packets; }, [&](std::string&&) { ++violations; });
  Bytes wire(1, 0xC0);
  wire.insert(wire.end(), MaxHostPacket + 1, 0x11);
  wire.push_back(0xC0);
  r.Feed(wire.data(), wire.size());
  EXPECT_EQ(packets, 0);
  EXPECT_EQ(violations, 1);
}
