// The frame layer as the console's receive path drives it, over arbitrary
// chunk sequences: each chunk is appended to the channel's receive buffer
// (whose pending bytes are dropped first when they are more than RxKeepLimit),
// frames are cut out, decoded (a frame that does not decode gives back its
// closing FrameEnd) and checked, and the unframed tail is kept for the next
// chunk.
//
// Whatever came before, the receiver must be back in step at the next good
// frame: after the input two good replies follow (as two chunks, or as one
// when the input's length is odd), and the second must be received, decoded
// from its own frame. Only the first may be lost, to a frame left open by the
// input that decodes with the first reply's opening FrameEnd as its closing
// one.
//
// Input: a sequence of chunks, each a 2-byte little-endian length (taken
// modulo 2049) followed by that many bytes (fewer at the end of the input).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "link/Frame.h"

using namespace kestra::link;

namespace {

constexpr uint16_t KeepLimit = RxKeepLimit;
constexpr std::size_t MaxChunk = 2048;

// The two replies fed after the input: status replies that differ in their
// parameter, framed as a device sends them (no trailer).
struct GoodReply {
  uint8_t packet[12] = {0x93, 0, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x06, 0x00};
  uint8_t frame[2 * sizeof packet + 7] = {};
  uint16_t frameLen = 0;
  explicit GoodReply(uint8_t param) {
    packet[1] = param;
    const uint16_t c = PacketCheck16(packet, 0, sizeof packet - 3);
    packet[sizeof packet - 2] = static_cast<uint8_t>(c);
    packet[sizeof packet - 1] = static_cast<uint8_t>(c >> 8);
    frameLen = static_cast<uint16_t>(EncodeFrame(packet, frame, sizeof packet) - FrameTrailerLen);
  }
};

// Receives a chunk. With last given, counts in received each packet equal to
// *last that a frame ending on the last byte received so far decodes to.
void Receive(ChannelBuffers& ch, const uint8_t* data, std::size_t n,
             const GoodReply* last = nullptr, int* received = nullptr) {
  if (ch.RxCount > KeepLimit) DropPendingRx(ch);
  std::memcpy(ch.RxBuf + ch.RxCount, data, n);
  ch.RxCount = static_cast<uint16_t>(ch.RxCount + n);

  uint16_t pos = 0;
  uint16_t kept = 0;  // start of the bytes not yet framed
  uint16_t len = 0;
  for (;;) {
    kept = pos;
    if (!ExtractRxFrame(ch, pos, len)) break;
    uint16_t outLen = 0;
    if (len > RxFrameSize) __builtin_trap();
    if (DecodeFrame(ch.RxFrame, ch.PacketBuf, PacketBufSize, outLen, len) != 0) {
      GiveBackClosingFrameEnd(pos);
      continue;
    }
    if (outLen < 8 || outLen > PacketBufSize) __builtin_trap();
    if (last != nullptr && pos == ch.RxCount && outLen == sizeof last->packet &&
        std::memcmp(ch.PacketBuf, last->packet, outLen) == 0)
      ++*received;
    if (ch.PacketBuf[0] == 0xFD) continue;  // a progress report
    const uint8_t status = CheckRxPacket(ch.PacketBuf, outLen);
    char expected[256] = "KestraGangA4";
    const int ident = CheckDeviceIdent(ch.PacketBuf, outLen, expected, sizeof expected, 20);
    if (ident == 0 && std::strncmp(expected, "KestraGangA4", 12) != 0) __builtin_trap();
    (void)status;
  }
  if (pos != ch.RxCount && ch.RxCount <= RxBufSize) __builtin_trap();
  std::memmove(ch.RxBuf, ch.RxBuf + kept, ch.RxCount - kept);
  ch.RxCount = static_cast<uint16_t>(ch.RxCount - kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const auto ch = std::make_unique<ChannelBuffers>();
  static const GoodReply replies[2] = {GoodReply(1), GoodReply(2)};
  static uint8_t both[2 * sizeof replies[0].frame];
  ch->ResetRx();
  std::size_t i = 0;
  while (i + 2 <= size) {
    std::size_t n = (data[i] | (data[i + 1] << 8)) % (MaxChunk + 1);
    i += 2;
    if (n > size - i) n = size - i;
    Receive(*ch, data + i, n);
    i += n;
  }
  const GoodReply& a = replies[0];
  const GoodReply& b = replies[1];
  int received = 0;
  if (size % 2 == 1) {
    std::memcpy(both, a.frame, a.frameLen);
    std::memcpy(both + a.frameLen, b.frame, b.frameLen);
    Receive(*ch, both, a.frameLen + b.frameLen, &b, &received);
  } else {
    Receive(*ch, a.frame, a.frameLen);
    Receive(*ch, b.frame, b.frameLen, &b, &received);
  }
  if (received != 1) __builtin_trap();
  return 0;
}
