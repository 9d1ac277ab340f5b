// Helpers of the upgrade tool tests: packets as the device builds them, the
// host frame un-escaped, and the firmware's two check values.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "WaitFor.h"
#include "link/Frame.h"

namespace kestra::upgrade::testing {

using Bytes = std::vector<uint8_t>;

// Runs the event loop until cond holds or ms pass.
inline bool WaitFor(const std::function<bool()>& cond, int ms = 10000) {
  return kestra::testing::WaitFor(cond, ms);
}

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// A device reply: [0] code, [1..2] param, [3..5] zero, [6..7] payload length,
// the payload and the link check.
inline Bytes Reply(uint8_t code, uint16_t param, const Bytes& payload) {
  Bytes p(8 + payload.size(), 0);
  p[0] = code;
  p[1] = static_cast<uint8_t>(param);
  p[2] = static_cast<uint8_t>(param >> 8);
  p[6] = static_cast<uint8_t>(payload.size());
  p[7] = static_cast<uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), p.begin() + 8);
  const uint16_t c = link::PacketCheck16(p.data(), 0, static_cast<uint32_t>(p.size() - 1));
  p.push_back(static_cast<uint8_t>(c));
  p.push_back(static_cast<uint8_t>(c >> 8));
  return p;
}

// Device-to-host framing (no trailer).
inline Bytes Framed(const Bytes& packet) {
  Bytes f = {0xC0};
  for (uint8_t b : packet) {
    if (b == 0xC0) {
      f.push_back(0xDB), f.push_back(0xDC);
    } else if (b == 0xDB) {
      f.push_back(0xDB), f.push_back(0xDD);
    } else {
      f.push_back(b);
    }
  }
  f.push_back(0xC0);
  return f;
}

// The packet inside one host frame (FrameEnd, escaped bytes, FrameEnd, five
// 0xFF); empty when the frame is malformed.
inline Bytes Unframed(const Bytes& frame) {
  Bytes p;
  if (frame.size() < 7 || frame.front() != 0xC0) return {};
  const std::size_t end = frame.size() - 6;
  if (frame[end] != 0xC0) return {};
  for (std::size_t i = end + 1; i < frame.size(); ++i)
    if (frame[i] != 0xFF) return {};
  for (std::size_t i = 1; i < end; ++i) {
    if (frame[i] == 0xC0) return {};
    if (frame[i] != 0xDB) {
      p.push_back(frame[i]);
      continue;
    }
    if (++i >= end) return {};
    if (frame[i] == 0xDC)
      p.push_back(0xC0);
    else if (frame[i] == 0xDD)
      p.push_back(0xDB);
    else
      return {};
  }
  return p;
}

inline uint16_t ByteSum16(const uint8_t* data, std::size_t len) {
  uint16_t s = 0;
  for (std::size_t i = 0; i < len; ++i) s = static_cast<uint16_t>(s + data[i]);
  return s;
}

// The link check recurrence over 16-bit little-endian words.
inline uint16_t WordCheck16(const uint8_t* data, std::size_t len) {
  uint16_t c = 0;
  for (std::size_t i = 0; i + 1 < len; i += 2)
    c = static_cast<uint16_t>((c >> 1) ^ Le16(data + i) ^ ((c & 1) ? 0x4A12 : 0));
  return c;
}

// An identification reply carrying text from byte 28.
inline Bytes IdentPacket(const char* text) {
  constexpr std::size_t PayloadLen = 72;
  const uint8_t magic[4] = {0xA3, 0xA5, 0x53, 0x35};
  Bytes p(8 + PayloadLen, 0);
  for (int i = 0; i < 4; ++i) p[i] = magic[i];
  p[6] = static_cast<uint8_t>(PayloadLen);
  for (std::size_t i = 0; text[i] != 0 && 28 + i < 80; ++i)
    p[28 + i] = static_cast<uint8_t>(text[i]);
  const uint16_t c = link::PacketCheck16(p.data(), 0, static_cast<uint32_t>(p.size() - 1));
  p.push_back(static_cast<uint8_t>(c));
  p.push_back(static_cast<uint8_t>(c >> 8));
  return p;
}

}  // namespace kestra::upgrade::testing
