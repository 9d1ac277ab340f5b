// One channel's link routines over buffers of the test's own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "link/Packets.h"

namespace kestra::link::test {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A settings set in which every ParamBlock field has its own value.
inline PacketSettings DistinctSettings() {
  PacketSettings s;
  s.ChipSeries = '6';
  s.ChipFamily = 0x11;
  s.ChipIndex = 0x12;
  s.ChipSubFamily = 0x13;
  s.ChipSubFlag = 0x14;
  s.IsApollo3 = 0x01;
  s.FlashSizeKB = 0x0201;
  s.SectorSize = 0x0400;
  s.FlashSizeKBCopy = 0x0302;
  s.InfoMemSize = 0x2000;
  s.InfoMemStart = 0x50020000;
  s.SeriesBaseAddr = 0x00100000;
  s.ChipStartAddr = 0x0000C000;
  s.PowerFlags = 0xC8;
  s.ProtectFlags = 0x85;
  s.AfterProgFlags = 0x03;
  s.ExtraFlags = 0x08;
  s.DetectFlags = 0x03;
  s.ChipInTime = 17;
  s.ChipOffTime = 18;
  s.PowerStableTime = 5;
  s.ClockCode = 40;
  s.ImageCrc = 0xA1B2;
  s.ImageSum = 0xC3D4;
  s.InfoCrc = 0xE5F6;
  s.InfoSum = 0x0718;
  return s;
}

struct LinkFixture {
  explicit LinkFixture(int n = 1, PacketSettings settings = DistinctSettings())
      : s(settings),
        buffers(std::make_unique<ChannelBuffers>()),
        image(ImageBufferSize),
        info(InfoBufferSize),
        protect(ProtectConfigSize),
        link(n, *buffers, s, image.data(), info.data(), protect.data(), random) {
    // Each byte tells where it came from.
    for (std::size_t k = 0; k < image.size(); ++k)
      image[k] = static_cast<uint8_t>(k * 7 + (k >> 12));
    for (std::size_t k = 0; k < info.size(); ++k) info[k] = static_cast<uint8_t>(k * 3 + (k >> 10));
    for (std::size_t k = 0; k < protect.size(); ++k) protect[k] = static_cast<uint8_t>(0x80 + k);
  }

  uint8_t* Pkt() { return buffers->PacketBuf; }

  PacketSettings s;
  std::unique_ptr<ChannelBuffers> buffers;
  std::vector<uint8_t> image, info, protect;
  RandomSource random;
  LinkChannel link;
};

}  // namespace kestra::link::test

namespace kestra::link::test {

// The test's own reading of a host frame: FrameEnd, escaped packet, FrameEnd,
// five 0xFF. Returns the packet, or an empty vector when the frame is malformed.
inline std::vector<uint8_t> Unframe(const uint8_t* f, std::size_t n) {
  std::vector<uint8_t> out;
  if (n < 7 || f[0] != 0xC0) return {};
  for (std::size_t k = n - 5; k < n; ++k)
    if (f[k] != 0xFF) return {};
  if (f[n - 6] != 0xC0) return {};
  for (std::size_t k = 1; k < n - 6; ++k) {
    if (f[k] == 0xC0) return {};
    if (f[k] != 0xDB) {
      out.push_back(f[k]);
      continue;
    }
    if (++k >= n - 6) return {};
    if (f[k] == 0xDC)
      out.push_back(0xC0);
    else if (f[k] == 0xDD)
      out.push_back(0xDB);
    else
      return {};
  }
  return out;
}

// The link check, written out again.
inline uint16_t Check16(const std::vector<uint8_t>& p, std::size_t first, std::size_t last) {
  uint16_t c = 0;
  for (std::size_t k = first; k <= last; ++k)
    c = static_cast<uint16_t>((c >> 1) ^ p[k] ^ ((c & 1) ? 0x4A12 : 0));
  return c;
}

// True when the packet's length field and trailing check agree with its size.
inline bool PacketIsWhole(const std::vector<uint8_t>& p) {
  if (p.size() < 10) return false;
  if (Get16(&p[6]) + 10u != p.size()) return false;
  return Check16(p, 0, p.size() - 3) == Get16(&p[p.size() - 2]);
}

}  // namespace kestra::link::test
