// The frame layer as the console's receive path drives it, over arbitrary
// chunk sequences: each chunk is appended to the channel's receive buffer
// (whose pending bytes are dropped first when they are more than RxKeepLimit),
// frames are cut out, decoded and checked, and the unframed tail is kept for
// the next chunk.
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

void Receive(ChannelBuffers& ch, const uint8_t* data, std::size_t n) {
  if (ch.RxCount > KeepLimit) DropPendingRx(ch);
  std::memcpy(ch.RxBuf + ch.RxCount, data, n);
  ch.RxCount = static_cast<uint16_t>(ch.RxCount + n);

  uint16_t pos = 0;
  uint16_t kept = 0;  // start of the bytes not yet framed
  uint16_t len = 0;
  while (ExtractRxFrame(ch, pos, len)) {
    kept = pos;
    uint16_t outLen = 0;
    if (len > RxFrameSize) __builtin_trap();
    if (DecodeFrame(ch.RxFrame, ch.PacketBuf, PacketBufSize, outLen, len) != 0) continue;
    if (outLen < 8 || outLen > PacketBufSize) __builtin_trap();
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
  ch->ResetRx();
  std::size_t i = 0;
  while (i + 2 <= size) {
    std::size_t n = (data[i] | (data[i + 1] << 8)) % (MaxChunk + 1);
    i += 2;
    if (n > size - i) n = size - i;
    Receive(*ch, data + i, n);
    i += n;
  }
  return 0;
}
