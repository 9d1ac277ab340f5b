#include "link/Frame.h"

#include <algorithm>
#include <cstring>

namespace kestra::link {

namespace {
constexpr uint32_t MaxCheckIndex = 0xFFFFFF;
constexpr uint8_t IdentMagic[4] = {0xA3, 0xA5, 0x53, 0x35};
constexpr std::size_t IdentLastByte = 80;
}  // namespace

uint16_t EncodeFrame(const uint8_t* Src, uint8_t* Dst, uint16_t N) {
  std::size_t p = 0;
  Dst[p++] = FrameEnd;
  for (uint16_t i = 0; i < N; ++i) {
    const uint8_t b = Src[i];
    if (b == FrameEnd) {
      Dst[p++] = FrameEsc;
      Dst[p++] = FrameEscEnd;
    } else if (b == FrameEsc) {
      Dst[p++] = FrameEsc;
      Dst[p++] = FrameEscEsc;
    } else {
      Dst[p++] = b;
    }
  }
  Dst[p++] = FrameEnd;
  for (std::size_t k = 0; k < FrameTrailerLen; ++k) Dst[p++] = 0xFF;
  return static_cast<uint16_t>(p);
}

UnescapedFrame UnescapeFrame(const uint8_t* Raw, uint16_t RawLen, uint8_t* Pkt,
                             std::size_t PktCap) {
  std::size_t i = 0;
  while (i < RawLen && Raw[i] != FrameEnd) ++i;
  if (i < RawLen) {
    ++i;
    if (i < RawLen && Raw[i] == FrameEnd) ++i;  // a doubled opening counts once
  }
  std::size_t count = 0;
  bool escape = false;
  for (; i < RawLen; ++i) {
    uint8_t b = Raw[i];
    if (b == FrameEnd) {
      const uint16_t consumed = static_cast<uint16_t>(i + 1);
      if (count > PktCap) return {FrameEnding::TooLong, 0, consumed};
      const uint16_t len = static_cast<uint16_t>(count);
      return {count >= 8 ? FrameEnding::Packet : FrameEnding::Short, len, consumed};
    }
    if (escape) {
      escape = false;
      if (b == FrameEscEnd) {
        b = FrameEnd;
      } else if (b == FrameEscEsc) {
        b = FrameEsc;
      } else {
        return {FrameEnding::BadEscape, 0, static_cast<uint16_t>(i + 1)};
      }
    } else if (b == FrameEsc) {
      escape = true;
      continue;
    }
    if (count < PktCap) Pkt[count] = b;
    ++count;
  }
  return {};
}

void DropFront(uint8_t* Raw, uint16_t& RawLen, uint16_t N) {
  if (N >= RawLen) {
    RawLen = 0;
    return;
  }
  std::memmove(Raw, Raw + N, RawLen - N);
  RawLen = static_cast<uint16_t>(RawLen - N);
}

uint8_t DecodeFrame(uint8_t* Raw, uint8_t* Pkt, std::size_t PktCap, uint16_t& OutLen,
                    uint16_t& RawLen) {
  const UnescapedFrame f = UnescapeFrame(Raw, RawLen, Pkt, PktCap);
  if (f.Ending != FrameEnding::Unfinished) DropFront(Raw, RawLen, f.Consumed);
  OutLen = f.Len;
  return f.Ending == FrameEnding::Packet ? 0 : ResDataError;
}

uint16_t PacketCheck16(const uint8_t* Buf, uint32_t First, uint32_t Last) {
  if (First > MaxCheckIndex || Last > MaxCheckIndex || Last < First) return 0;
  uint16_t c = 0;
  for (uint32_t k = First; k <= Last; ++k) {
    const bool odd = (c & 1) != 0;
    c = static_cast<uint16_t>((c >> 1) ^ Buf[k] ^ (odd ? 0x4A12 : 0));
  }
  return c;
}

uint32_t PacketSum16(const uint8_t* Buf, uint32_t First, uint32_t Last) {
  if (First > MaxCheckIndex || Last > MaxCheckIndex) return 0;
  if (Last < First) return 0x10000;
  uint16_t s = 0;
  for (uint32_t k = First; k <= Last; ++k) s = static_cast<uint16_t>(s + Buf[k]);
  return (static_cast<uint32_t>(s) ^ 0xFFFF) + 1;
}

uint8_t CheckRxPacket(const uint8_t* Pkt, uint16_t Len) {
  // The smallest reply (header and check) has 10 bytes; a decoded reply never
  // exceeds the packet buffer.
  if (Len < 10 || Len > PacketBufSize) return ResPacketChecksum;
  const uint16_t computed = PacketCheck16(Pkt, 0, Len - 3u);
  const uint16_t stored = static_cast<uint16_t>(Pkt[Len - 2] | (Pkt[Len - 1] << 8));
  if (computed != stored) return ResPacketChecksum;
  // Byte [8] must be one the device sent ahead of the check: a 10-byte reply
  // holds none, and its byte [8] is the first byte of the check.
  if (!ReplyHolds(Len, 8, 1)) return ResPacketChecksum;
  const uint16_t n = static_cast<uint16_t>(Pkt[6] | (Pkt[7] << 8));
  if (n > 2) return 0;
  // A status reply that says it has no payload carries no status.
  if (n == 0) return ResPacketChecksum;
  return Pkt[8];
}

int CheckDeviceIdent(const uint8_t* Pkt, uint16_t Len, char* Expected, std::size_t ExpectedCap,
                     uint8_t Skip) {
  if (Len < sizeof IdentMagic || std::memcmp(Pkt, IdentMagic, sizeof IdentMagic) != 0)
    return ResBadIdent;

  // At most bytes Skip+8 .. 80 (73 characters and the NUL), and only those of
  // the reply ahead of its check: the buffer beyond holds no part of it.
  char text[IdentLastByte - 8 + 2] = {};
  std::size_t len = 0;
  if (Skip <= 72) {
    const std::size_t end = Len >= 2 ? std::min<std::size_t>(IdentLastByte + 1, Len - 2u) : 0;
    for (std::size_t k = Skip + 8u; k < end; ++k) {
      const uint8_t b = Pkt[k];
      if (b < 0x20 || b >= 0x80) break;
      text[len++] = static_cast<char>(b);
    }
  }
  text[len] = '\0';

  // Compare over the expected prefix, as strncmp with the prefix's length does.
  for (std::size_t k = 0; k < ExpectedCap && Expected[k] != '\0'; ++k) {
    const int diff = static_cast<unsigned char>(text[k]) - static_cast<unsigned char>(Expected[k]);
    if (diff != 0) return diff;
  }
  if (ExpectedCap == 0) return 0;
  const std::size_t keep = len < ExpectedCap - 1 ? len : ExpectedCap - 1;
  std::memcpy(Expected, text, keep);
  Expected[keep] = '\0';
  return 0;
}

bool IdentifiesAs(const uint8_t* Pkt, uint16_t Len, const char* Prefix, std::string* Text) {
  char text[256] = {};
  std::strncpy(text, Prefix, sizeof text - 1);
  if (CheckDeviceIdent(Pkt, Len, text, sizeof text, 20) != 0) return false;
  if (Text != nullptr) *Text = text;
  return true;
}

namespace {
// The index of the first FrameEnd in RxBuf[From..To-1]; To when there is none.
uint16_t NextFrameEnd(const ChannelBuffers& ch, uint16_t From, uint16_t To) {
  if (From >= To) return To;
  const void* at = std::memchr(ch.RxBuf + From, FrameEnd, To - From);
  return at != nullptr ? static_cast<uint16_t>(static_cast<const uint8_t*>(at) - ch.RxBuf) : To;
}

// Removes RxBuf[From..To-1]; the bytes after them move down.
void DropRxBytes(ChannelBuffers& ch, uint16_t From, uint16_t To) {
  std::memmove(ch.RxBuf + From, ch.RxBuf + To, ch.RxCount - To);
  ch.RxCount = static_cast<uint16_t>(ch.RxCount - (To - From));
}
}  // namespace

bool ExtractRxFrame(ChannelBuffers& ch, uint16_t& Pos, uint16_t& Len) {
  if (ch.RxCount > RxBufSize) ch.RxCount = static_cast<uint16_t>(RxBufSize);
  if (Pos > ch.RxCount) Pos = ch.RxCount;
  Len = 0;
  for (;;) {
    // Hunt for the opening FrameEnd: the last of a row of them.
    Pos = NextFrameEnd(ch, Pos, ch.RxCount);
    if (Pos >= ch.RxCount) return false;
    while (Pos + 1 < ch.RxCount && ch.RxBuf[Pos + 1] == FrameEnd) ++Pos;
    const uint16_t start = Pos;
    ch.RxFrame[0] = FrameEnd;
    ++Pos;
    // Copy through the closing FrameEnd, at most a whole RxFrame.
    const uint16_t limit =
        static_cast<uint16_t>(std::min<std::size_t>(ch.RxCount, Pos + (RxFrameSize - 1)));
    const uint16_t close = NextFrameEnd(ch, Pos, limit);
    const uint16_t end = close < limit ? static_cast<uint16_t>(close + 1) : limit;
    std::memcpy(ch.RxFrame + 1, ch.RxBuf + Pos, end - Pos);
    Len = static_cast<uint16_t>(1 + end - Pos);
    Pos = end;
    if (close < limit) return true;
    if (Len < RxFrameSize) return false;  // a partial frame: the rest is still to come
    // Longer than any reply: the run leaves the buffer up to the next
    // FrameEnd, which opens the next frame; the rest of the run, still to
    // come, is passed over by the hunt like any byte outside a frame.
    DropRxBytes(ch, start, NextFrameEnd(ch, Pos, ch.RxCount));
    Pos = start;
    Len = 0;
  }
}

void DropPendingRx(ChannelBuffers& ch) { ch.RxCount = 0; }

}  // namespace kestra::link
