// Packets as a programmer puts them on the line, for tests that play the
// device themselves: replies with their check, the identification reply,
// stand-alone progress packets, and the device's framing (no trailer).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "link/Frame.h"

namespace kestra::testing {

using Bytes = std::vector<uint8_t>;

// A reply packet: [0] code, [1..2] param, [3..5] zero, [6..7] the length field
// n (default: the payload's), the payload, its check.
inline Bytes ReplyPacket(uint8_t code, uint16_t param, const Bytes& payload, int n = -1) {
  const uint16_t len = static_cast<uint16_t>(n < 0 ? payload.size() : n);
  // Sized once and filled in place (an insert after a short initialiser list
  // makes GCC 12 warn of a copy out of bounds that does not happen).
  Bytes p(8 + payload.size() + 2, 0);
  p[0] = code;
  p[1] = static_cast<uint8_t>(param);
  p[2] = static_cast<uint8_t>(param >> 8);
  p[6] = static_cast<uint8_t>(len);
  p[7] = static_cast<uint8_t>(len >> 8);
  std::copy(payload.begin(), payload.end(), p.begin() + 8);
  const uint16_t c = link::PacketCheck16(p.data(), 0, static_cast<uint32_t>(p.size() - 3));
  p[p.size() - 2] = static_cast<uint8_t>(c);
  p[p.size() - 1] = static_cast<uint8_t>(c >> 8);
  return p;
}

// An identification reply: the magic, then the text from packet byte 28
// (payload byte 20) on, cut to the payload.
inline Bytes IdentReply(const std::string& text, std::size_t payloadBytes = 80) {
  Bytes payload(payloadBytes, 0);
  if (payloadBytes > 20)
    std::memcpy(payload.data() + 20, text.data(), std::min(text.size(), payloadBytes - 20));
  Bytes r = ReplyPacket(0x3D, 0, payload);
  const uint8_t magic[] = {0xA3, 0xA5, 0x53, 0x35};
  std::memcpy(r.data(), magic, sizeof magic);
  const uint16_t c = link::PacketCheck16(r.data(), 0, static_cast<uint32_t>(r.size() - 3));
  r[r.size() - 2] = static_cast<uint8_t>(c);
  r[r.size() - 1] = static_cast<uint8_t>(c >> 8);
  return r;
}

// A stand-alone progress packet (its bytes sum to 0).
inline Bytes ProgressPacket(uint8_t step, uint8_t result, uint16_t current = 0,
                            uint16_t maximum = 0) {
  Bytes q = {0xFD,
             step,
             result,
             static_cast<uint8_t>(current),
             static_cast<uint8_t>(current >> 8),
             static_cast<uint8_t>(maximum),
             static_cast<uint8_t>(maximum >> 8),
             0};
  unsigned sum = 0;
  for (int i = 0; i < 7; ++i) sum += q[i];
  q[7] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
  return q;
}

// A packet framed as the device frames it: FrameEnd, the escaped bytes,
// FrameEnd (the host's five-byte trailer is not sent by devices).
inline Bytes Framed(const Bytes& packet) {
  Bytes f(2 * packet.size() + 2 + link::FrameTrailerLen);
  f.resize(link::EncodeFrame(packet.data(), f.data(), static_cast<uint16_t>(packet.size())) -
           link::FrameTrailerLen);
  return f;
}

// Several byte strings one after the other.
inline Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace kestra::testing
