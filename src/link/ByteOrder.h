// Little-endian loads and stores in packet buffers, and the common packet
// header.
#pragma once

#include <cstdint>

#include "link/Packets.h"

namespace kestra::link {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void Put32(uint8_t* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

// [0] Code, [1..2] Param, [3..5] the chip bytes, [6..7] payload length N.
inline void PutHeader(uint8_t* p, uint8_t Code, uint16_t Param, const PacketSettings& s,
                      uint16_t N) {
  p[0] = Code;
  Put16(p + 1, Param);
  p[3] = static_cast<uint8_t>(s.ChipSeries);
  p[4] = s.ChipFamily;
  p[5] = s.ChipIndex;
  Put16(p + 6, N);
}

}  // namespace kestra::link
