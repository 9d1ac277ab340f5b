// The configuration packet that opens every download to a programmer.
#include <cstring>

#include "link/ByteOrder.h"
#include "link/Packets.h"

namespace kestra::link {

namespace {

constexpr uint16_t ConfigPayloadLen = 0x0600;
constexpr uint16_t ConfigPacketLen = 8 + ConfigPayloadLen + 2;  // 1546
constexpr uint8_t WhiteLow = 0x5B;
constexpr uint8_t WhiteHigh = 0x7E;

void FillRandom(uint8_t* p, std::size_t First, std::size_t Last, RandomSource& random) {
  for (std::size_t k = First; k <= Last; ++k) p[k] = static_cast<uint8_t>(random.Random(255));
}

// The check of [8..Last-4] at [Last-3..Last-2], then the plain 16-bit byte sum of
// [8..Last-2] at [Last-1..Last].
void StoreCheckPair(uint8_t* p, uint32_t Last) {
  Put16(p + Last - 3, PacketCheck16(p, 8, Last - 4));
  Put16(p + Last - 1, static_cast<uint16_t>(0u - PacketSum16(p, 8, Last - 2)));
}

}  // namespace

void LinkChannel::SendConfigPacket(uint8_t Code, uint16_t Param, const ConfigTexts& Texts) {
  uint8_t* p = buf_.PacketBuf;
  const PacketSettings& s = S();
  // Bytes the layout leaves unset or reserved are sent as zero.
  std::memset(p, 0, ConfigPacketLen);

  PutHeader(p, Code, Param, s, ConfigPayloadLen);
  std::memcpy(p + 8, "KQRV", 4);
  FillParamBlock(12);
  FillRandom(p, 76, 91, random_);

  p[92] = s.SnEnable;
  p[93] = s.SnLength;
  Put16(p + 94, s.SnStep);
  Put32(p + 96, s.SnAddr);
  Put32(p + 100, s.SnValue + static_cast<uint32_t>(n_ - 1) * s.SnGain);
  Put32(p + 104, s.SnHigh);
  p[109] = s.ConfigOptionByte;
  FillRandom(p, 114, 245, random_);
  StoreCheckPair(p, 263);

  PutTextField(Texts.MCUName, 264, 16);
  PutTextField(Texts.Product, 280, 16);
  PutTextField(Texts.Ver, 296, 16);
  PutTextField(Texts.Date, 312, 16);
  FillRandom(p, 328, 515, random_);
  StoreCheckPair(p, 519);

  const uint8_t keyLow = static_cast<uint8_t>(Param) ^ WhiteLow;
  const uint8_t keyHigh = static_cast<uint8_t>(Param >> 8) ^ WhiteHigh;
  for (std::size_t i = 0; i < ConfigPayloadLen / 2; ++i) {
    p[8 + 2 * i] ^= keyLow;
    p[9 + 2 * i] ^= keyHigh;
  }
  Put16(p + 1544, PacketCheck16(p, 0, 1543));
  SendPacket(ConfigPacketLen);
}

}  // namespace kestra::link
