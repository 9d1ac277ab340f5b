// Host side for simulator tests that talk to a device's pty directly, without
// the product's link layer: packet builders, framing and a blocking reader.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimWire.h"

namespace kestra::simtest {

using Bytes = std::vector<uint8_t>;

struct Chip {
  uint8_t series = '6', family = 1, index = 2;
  uint16_t flashKB = 16, infoSize = 2048;
  uint16_t imageCrc = 0, imageSum = 0, infoCrc = 0, infoSum = 0;
};

inline Bytes ParamBlock(const Chip& c) {
  Bytes pb(64, 0);
  pb[1] = c.series, pb[2] = c.family, pb[3] = c.index;
  pb[4] = 0x12;
  sim::Put16(&pb[6], 0x3456);
  sim::Put16(&pb[10], c.flashKB);
  sim::Put16(&pb[12], c.infoSize);
  sim::Put16(&pb[32], c.imageCrc);
  sim::Put16(&pb[34], c.imageSum);
  sim::Put16(&pb[36], c.infoCrc);
  sim::Put16(&pb[38], c.infoSum);
  pb[51] = 2;
  return pb;
}

// Header, payload and check; chip bytes [3..5] from c.
inline Bytes Packet(uint8_t code, uint16_t param, const Bytes& payload, const Chip& c = {}) {
  Bytes p(8 + payload.size() + 2, 0);
  p[0] = code;
  sim::Put16(&p[1], param);
  p[3] = c.series, p[4] = c.family, p[5] = c.index;
  sim::Put16(&p[6], static_cast<uint16_t>(payload.size()));
  if (!payload.empty()) std::memcpy(&p[8], payload.data(), payload.size());
  sim::SealPacket(p);
  return p;
}

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes ChipOp(uint8_t sub, const Chip& c, const Bytes& extra = {}) {
  return Packet(0x93, sub, Concat(ParamBlock(c), extra), c);
}

inline Bytes RestPacket(uint8_t code) {
  Bytes p = {code, 'R', 'E', 'S', 'T', 0xA8, 2, 0, 0, 0, 0, 0};
  sim::SealPacket(p);
  return p;
}

// The configuration packet, whitened with key.
inline Bytes ConfigPacket(const Chip& c, uint16_t key) {
  Bytes u(1546, 0);
  u[0] = 0x53;
  sim::Put16(&u[1], key);
  u[3] = c.series, u[4] = c.family, u[5] = c.index;
  sim::Put16(&u[6], 1536);
  std::memcpy(&u[8], "KQRV", 4);
  Bytes pb = ParamBlock(c);
  std::memcpy(&u[12], pb.data(), 64);
  for (int i = 76; i < 92; ++i) u[i] = static_cast<uint8_t>(i);
  for (int i = 114; i < 246; ++i) u[i] = static_cast<uint8_t>(i);
  sim::Put16(&u[260], sim::Check16(&u[8], 252));
  sim::Put16(&u[262], sim::ByteSum16(&u[8], 254));
  std::memcpy(&u[264], "APOLLO512", 9);
  for (int i = 328; i < 516; ++i) u[i] = static_cast<uint8_t>(i * 7 % 255);
  sim::Put16(&u[516], sim::Check16(&u[8], 508));
  sim::Put16(&u[518], sim::ByteSum16(&u[8], 510));
  for (int i = 0; i < 1536; ++i) u[8 + i] ^= (i % 2 == 0) ? (key & 0xFF) ^ 0x5B : (key >> 8) ^ 0x7E;
  sim::SealPacket(u);
  return u;
}

// Host framing: FrameEnd, escaped packet, FrameEnd, five 0xFF.
inline Bytes HostFrame(const Bytes& p) {
  Bytes f = sim::FrameReply(p);
  f.insert(f.end(), 5, 0xFF);
  return f;
}

// One open host end of a device's pty.
class HostPort {
 public:
  explicit HostPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0) {
      termios t{};
      ::tcgetattr(fd_, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~HostPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
  bool Open() const { return fd_ >= 0; }

  bool Write(const Bytes& b) {
    std::size_t off = 0;
    while (off < b.size()) {
      ssize_t w = ::write(fd_, b.data() + off, b.size() - off);
      if (w > 0) {
        off += static_cast<std::size_t>(w);
      } else {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 10000) <= 0) return false;
      }
    }
    return true;
  }
  bool Send(const Bytes& packet) { return Write(HostFrame(packet)); }

  // Next decoded device frame (packet bytes), skipping bytes outside frames.
  std::optional<Bytes> Receive(int timeoutMs = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (auto f = Extract()) return f;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left));
      if (r <= 0) return std::nullopt;
      if (p.revents & (POLLHUP | POLLERR)) {
        hungUp_ = true;
        if (!(p.revents & POLLIN)) return std::nullopt;
      }
      uint8_t buf[8192];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) {
        hungUp_ = hungUp_ || n == 0 || (errno != EAGAIN && errno != EINTR);
        if (hungUp_) return std::nullopt;
        continue;
      }
      ++chunks_;
      raw_.insert(raw_.end(), buf, buf + n);
    }
  }
  // Sends a packet and returns the reply.
  std::optional<Bytes> Transact(const Bytes& packet, int timeoutMs = 10000) {
    if (!Send(packet)) return std::nullopt;
    return Receive(timeoutMs);
  }
  // The next chunk of raw bytes, as the line delivers it.
  std::optional<Bytes> ReadChunk(int timeoutMs = 10000, std::size_t most = 2048) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN)) return std::nullopt;
    uint8_t buf[8192];
    const ssize_t n = ::read(fd_, buf, std::min(most, sizeof buf));
    if (n <= 0) return std::nullopt;
    return Bytes(buf, buf + n);
  }
  bool HungUp() const { return hungUp_; }
  int Chunks() const { return chunks_; }
  std::size_t StrayBytes() const { return stray_; }

 private:
  std::optional<Bytes> Extract() {
    std::size_t i = 0;
    while (i < raw_.size() && raw_[i] != sim::WireEnd) ++i, ++stray_;
    if (i == raw_.size()) {
      raw_.clear();
      return std::nullopt;
    }
    std::size_t j = i + 1;
    while (j < raw_.size() && raw_[j] != sim::WireEnd) ++j;
    if (j == raw_.size()) {
      raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(i));
      return std::nullopt;
    }
    Bytes out;
    for (std::size_t k = i + 1; k < j; ++k) {
      if (raw_[k] == sim::WireEsc && k + 1 < j) {
        out.push_back(raw_[++k] == sim::WireEscEnd ? sim::WireEnd : sim::WireEsc);
      } else {
        out.push_back(raw_[k]);
      }
    }
    raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(j + 1));
    return out;
  }

  int fd_ = -1;
  Bytes raw_;
  bool hungUp_ = false;
  int chunks_ = 0;
  std::size_t stray_ = 0;
};

// True when a reply's PacketCheck16 and length field agree with its size.
inline bool ReplyValid(const Bytes& r) {
  return r.size() >= 10 && sim::Get16(&r[6]) + 10u == r.size() &&
         sim::Check16(r.data(), r.size() - 2) == sim::Get16(&r[r.size() - 2]);
}

}  // namespace kestra::simtest
