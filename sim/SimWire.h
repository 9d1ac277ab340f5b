// The device side of the wire format: its own frame reader and writer and its
// own copy of the two checks, kept apart from the host's link layer so that a
// fault there shows up here instead of cancelling out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestra::sim {

inline constexpr uint8_t WireEnd = 0xC0;
inline constexpr uint8_t WireEsc = 0xDB;
inline constexpr uint8_t WireEscEnd = 0xDC;
inline constexpr uint8_t WireEscEsc = 0xDD;
inline constexpr std::size_t HostTrailerLen = 5;  // five 0xFF after every host frame
// Largest packet a host sends: header, ParamBlock, 4096 data bytes, check.
inline constexpr std::size_t MaxHostPacket = 4170;

// The link check: c = (c >> 1) ^ b ^ (0x4A12 when c was odd), from 0.
uint16_t Check16(const uint8_t* data, std::size_t len);
// The plain 16-bit byte sum (carry dropped).
uint16_t ByteSum16(const uint8_t* data, std::size_t len);

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// Device-to-host framing: FrameEnd, escaped bytes, FrameEnd (no trailer).
std::vector<uint8_t> FrameReply(const std::vector<uint8_t>& packet);

// Builds a reply packet: [0] code, [1..2] param, [3..5] zero, [6..7] payload
// length, the payload and the link check over all of it.
std::vector<uint8_t> BuildReply(uint8_t code, uint16_t param, const std::vector<uint8_t>& payload);
// Recomputes the check at the end of a packet (after its bytes were changed).
void SealPacket(std::vector<uint8_t>& packet);

// Streaming decoder of host frames. Bytes arrive in any pieces; every complete
// frame is handed to the packet callback, every breach of the framing rules
// (bad escape, oversize frame, bytes between frames other than the trailer) to
// the violation callback.
class FrameReader {
 public:
  using PacketFn = std::function<void(std::vector<uint8_t>&& packet)>;
  using ViolationFn = std::function<void(std::string&& text)>;

  FrameReader(PacketFn onPacket, ViolationFn onViolation);
  void Feed(const uint8_t* data, std::size_t len);
  // Forget a partial frame (the line was re-opened).
  void Reset();
  // Number of bytes of the current frame received so far (0 between frames).
  std::size_t PendingBytes() const { return inFrame_ ? frameBytes_ : 0; }

 private:
  void Byte(uint8_t b);
  void EndOfFrame();

  PacketFn onPacket_;
  ViolationFn onViolation_;
  std::vector<uint8_t> pkt_;
  bool inFrame_ = false;
  bool esc_ = false;
  bool dropping_ = false;  // oversize or bad escape: skip to the next FrameEnd
  bool seenFrame_ = false;
  std::size_t trailer_ = 0;  // 0xFF bytes seen since the last frame
  std::size_t stray_ = 0;    // other bytes seen since the last frame
  std::size_t frameBytes_ = 0;
};

}  // namespace kestra::sim
