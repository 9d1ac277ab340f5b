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

#include "ReplyBytes.h"
#include "WaitFor.h"
#include "link/Frame.h"

namespace kestra::upgrade::testing {

using kestra::testing::Bytes;
using kestra::testing::Framed;
using kestra::testing::ReplyPacket;

// Runs the event loop until cond holds or ms pass.
inline bool WaitFor(const std::function<bool()>& cond, int ms = 10000) {
  return kestra::testing::WaitFor(cond, ms);
}

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

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

// An identification reply carrying text from byte 28, as the programmer
// sends it (72 payload bytes).
inline Bytes IdentPacket(const char* text) { return kestra::testing::IdentReply(text, 72); }

}  // namespace kestra::upgrade::testing
