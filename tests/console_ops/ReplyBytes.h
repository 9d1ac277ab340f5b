// Replies as a programmer puts them on the line, for tests that feed a
// channel's receive path themselves.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "link/Frame.h"

namespace kestra::console::testing {

using Bytes = std::vector<uint8_t>;

// A reply packet: header with length field n (default: the payload's), the
// payload, its check.
inline Bytes Packet(uint8_t code, uint16_t param, const Bytes& payload, int n = -1) {
  const uint16_t len = static_cast<uint16_t>(n < 0 ? payload.size() : n);
  Bytes p = {code, static_cast<uint8_t>(param), static_cast<uint8_t>(param >> 8), 0, 0,
             0,    static_cast<uint8_t>(len),   static_cast<uint8_t>(len >> 8)};
  p.insert(p.end(), payload.begin(), payload.end());
  const uint16_t c = link::PacketCheck16(p.data(), 0, static_cast<uint32_t>(p.size() - 1));
  p.push_back(static_cast<uint8_t>(c));
  p.push_back(static_cast<uint8_t>(c >> 8));
  return p;
}

// An identification reply: the magic, then the text from payload byte 20 on
// (cut to the payload).
inline Bytes IdentReply(const std::string& text, std::size_t payloadBytes = 80) {
  Bytes payload(payloadBytes, 0);
  std::memcpy(payload.data() + 20, text.data(), std::min(text.size(), payloadBytes - 20));
  Bytes r = Packet(0x3D, 0, payload);
  const uint8_t magic[] = {0xA3, 0xA5, 0x53, 0x35};
  std::memcpy(r.data(), magic, sizeof magic);
  const uint16_t c = link::PacketCheck16(r.data(), 0, static_cast<uint32_t>(r.size() - 3));
  r[r.size() - 2] = static_cast<uint8_t>(c);
  r[r.size() - 1] = static_cast<uint8_t>(c >> 8);
  return r;
}

// A stand-alone progress packet (its bytes sum to 0).
inline Bytes ProgressPacket(uint8_t step, uint8_t result) {
  Bytes q = {0xFD, step, result, 0, 0, 0, 0, 0};
  unsigned sum = 0;
  for (int i = 0; i < 7; ++i) sum += q[i];
  q[7] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
  return q;
}

inline Bytes Framed(const Bytes& packet) {
  Bytes f(2 * packet.size() + 7);
  f.resize(link::EncodeFrame(packet.data(), f.data(), static_cast<uint16_t>(packet.size())));
  return f;
}

}  // namespace kestra::console::testing
