#include "sim/SimWire.h"

#include <utility>

namespace kestra::sim {

uint16_t Check16(const uint8_t* data, std::size_t len) {
  uint16_t c = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const bool odd = (c & 1) != 0;
    c = static_cast<uint16_t>((c >> 1) ^ data[i] ^ (odd ? 0x4A12 : 0));
  }
  return c;
}

uint16_t ByteSum16(const uint8_t* data, std::size_t len) {
  uint32_t s = 0;
  for (std::size_t i = 0; i < len; ++i) s += data[i];
  return static_cast<uint16_t>(s);
}

std::vector<uint8_t> FrameReply(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> out;
  out.reserve(packet.size() * 2 + 2);
  out.push_back(WireEnd);
  for (uint8_t b : packet) {
    if (b == WireEnd) {
      out.push_back(WireEsc);
      out.push_back(WireEscEnd);
    } else if (b == WireEsc) {
      out.push_back(WireEsc);
      out.push_back(WireEscEsc);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(WireEnd);
  return out;
}

std::vector<uint8_t> BuildReply(uint8_t code, uint16_t param, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> p(8 + payload.size() + 2, 0);
  p[0] = code;
  Put16(&p[1], param);
  Put16(&p[6], static_cast<uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), p.begin() + 8);
  SealPacket(p);
  return p;
}

void SealPacket(std::vector<uint8_t>& packet) {
  if (packet.size() < 2) return;
  Put16(&packet[packet.size() - 2], Check16(packet.data(), packet.size() - 2));
}

FrameReader::FrameReader(PacketFn onPacket, ViolationFn onViolation)
    : onPacket_(std::move(onPacket)), onViolation_(std::move(onViolation)) {
  pkt_.reserve(MaxHostPacket);
}

void FrameReader::Reset() {
  inFrame_ = esc_ = dropping_ = seenFrame_ = false;
  trailer_ = stray_ = frameBytes_ = 0;
  pkt_.clear();
}

void FrameReader::Feed(const uint8_t* data, std::size_t len) {
  for (std::size_t i = 0; i < len; ++i) Byte(data[i]);
}

void FrameReader::Byte(uint8_t b) {
  if (!inFrame_) {
    if (b == WireEnd) {
      // Between two frames the host sends exactly its trailer.
      if (seenFrame_ && (trailer_ != HostTrailerLen || stray_ != 0))
        onViolation_("frame trailer: " + std::to_string(trailer_) + " bytes 0xFF and " +
                     std::to_string(stray_) + " other bytes between frames");
      inFrame_ = true;
      esc_ = dropping_ = false;
      frameBytes_ = 1;
      pkt_.clear();
    } else if (b == 0xFF) {
      ++trailer_;
    } else {
      ++stray_;
    }
    return;
  }
  ++frameBytes_;
  if (b == WireEnd) {
    if (pkt_.empty() && !esc_ && !dropping_) return;  // doubled opening FrameEnd
    EndOfFrame();
    return;
  }
  if (dropping_) return;
  if (esc_) {
    esc_ = false;
    if (b == WireEscEnd) {
      b = WireEnd;
    } else if (b == WireEscEsc) {
      b = WireEsc;
    } else {
      onViolation_("bad escape: 0xDB followed by " + std::to_string(b));
      dropping_ = true;
      return;
    }
  } else if (b == WireEsc) {
    esc_ = true;
    return;
  }
  if (pkt_.size() >= MaxHostPacket) {
    onViolation_("frame longer than " + std::to_string(MaxHostPacket) + " packet bytes");
    dropping_ = true;
    return;
  }
  pkt_.push_back(b);
}

void FrameReader::EndOfFrame() {
  inFrame_ = false;
  seenFrame_ = true;
  trailer_ = stray_ = 0;
  frameBytes_ = 0;
  if (dropping_) return;
  if (esc_) {
    onViolation_("frame ends inside an escape");
    return;
  }
  std::vector<uint8_t> pkt;
  pkt.swap(pkt_);
  pkt_.reserve(MaxHostPacket);
  onPacket_(std::move(pkt));
}

}  // namespace kestra::sim
