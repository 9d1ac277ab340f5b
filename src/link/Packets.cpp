#include "link/Packets.h"

#include <cstring>

#include "link/ByteOrder.h"
#include "serial/TComm.h"

namespace kestra::link {

namespace {

constexpr uint16_t BlockSize = 4096;
constexpr uint16_t ParamBlockSize = 64;
constexpr uint16_t ProtectSliceSize = 64;

// Copies Count bytes of Src[Start..] into Dst; bytes past the end of Src (whose
// size is SrcSize) read as 0xFF, the erased-flash value.
void CopyClamped(uint8_t* Dst, const uint8_t* Src, std::size_t SrcSize, std::size_t Start,
                 std::size_t Count) {
  std::size_t inside = 0;
  if (Start < SrcSize) inside = SrcSize - Start < Count ? SrcSize - Start : Count;
  if (inside > 0) std::memcpy(Dst, Src + Start, inside);
  if (inside < Count) std::memset(Dst + inside, 0xFF, Count - inside);
}

}  // namespace

uint32_t RandomSource::Random(uint32_t Range) {
  RandSeed = RandSeed * 0x08088405u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(RandSeed) * Range) >> 32);
}

LinkChannel::LinkChannel(int n, ChannelBuffers& buffers, const PacketSettings& settings,
                         const uint8_t* image, const uint8_t* info, const uint8_t* protect,
                         RandomSource& random)
    : n_(n), buf_(buffers), src_{&settings, image, info, protect, {}}, random_(random) {}

void LinkChannel::CopyImage(uint8_t* Dst, uint32_t Start, uint16_t Count) const {
  CopyClamped(Dst, src_.Image, ImageBufferSize, Start, Count);
  const SerialOverlay& sn = src_.Serial;
  for (uint32_t k = 0; k < sn.Length; ++k) {
    const uint64_t at = uint64_t{sn.Addr} + k;
    if (at >= Start && at < uint64_t{Start} + Count) Dst[at - Start] = sn.Bytes[k];
  }
}

void LinkChannel::FillParamBlock(uint16_t Offset) {
  if (Offset > PacketBufSize - ParamBlockSize) return;
  uint8_t* b = buf_.PacketBuf + Offset;
  const PacketSettings& s = S();
  std::memset(b, 0, ParamBlockSize);
  b[1] = static_cast<uint8_t>(s.ChipSeries);
  b[2] = s.ChipFamily;
  b[3] = s.ChipIndex;
  b[4] = static_cast<uint8_t>(random_.Random(255));
  b[5] = s.DetectFlags;
  Put16(b + 6, static_cast<uint16_t>(random_.Random(0xFFFF)));
  Put16(b + 10, s.FlashSizeKB);
  Put16(b + 12, s.InfoMemSize);
  Put16(b + 14, s.SectorSize);
  b[16] = s.PowerFlags;
  b[17] = s.ProtectFlags;
  b[18] = s.AfterProgFlags;
  b[19] = s.ExtraFlags;
  b[22] = s.ChipSubFamily;
  b[23] = s.ChipSubFlag;
  Put16(b + 24, s.FlashSizeKBCopy);
  Put32(b + 26, s.ChipStartAddr);
  Put16(b + 32, s.ImageCrc);
  Put16(b + 34, s.ImageSum);
  Put16(b + 36, s.InfoCrc);
  Put16(b + 38, s.InfoSum);
  b[48] = s.ChipInTime;
  b[49] = s.ChipOffTime;
  b[50] = s.PowerStableTime;
  b[51] = 2;
  b[52] = s.ClockCode;
  b[53] = s.IsApollo3;
  Put32(b + 54, s.InfoMemStart);
  Put32(b + 58, s.SeriesBaseAddr);
}

void LinkChannel::PutTextField(const std::string& Text, uint16_t Offset, uint16_t Width) {
  if (Width == 0 || Offset > PacketBufSize || Width > PacketBufSize - Offset) return;
  uint8_t* f = buf_.PacketBuf + Offset;
  std::memset(f, 0, Width);
  std::size_t len = Text.find('\0');
  if (len == std::string::npos) len = Text.size();
  if (len == 0) {
    f[0] = '?';
    return;
  }
  std::memcpy(f, Text.data(), len < Width ? len : Width);
}

bool LinkChannel::SendPacket(uint16_t PacketLen) {
  buf_.PacketLen = 0;  // PacketBuf now holds this packet, no reply
  const uint16_t framed = EncodeFrame(buf_.PacketBuf, buf_.TxFrame, PacketLen);
  return port_ != nullptr && port_->SendData(buf_.TxFrame, framed);
}

namespace {
// Stores the check of the N-byte payload packet and returns the packet length.
uint16_t StoreCheck(uint8_t* p, uint16_t N) {
  const uint16_t end = static_cast<uint16_t>(8 + N);
  Put16(p + end, PacketCheck16(p, 0, end - 1u));
  return static_cast<uint16_t>(end + 2);
}
}  // namespace

bool LinkChannel::SendSimpleCommand(uint8_t Code, uint16_t Param) {
  PutHeader(buf_.PacketBuf, Code, Param, S(), 0);
  return SendPacket(StoreCheck(buf_.PacketBuf, 0));
}

bool LinkChannel::SendDataBlock(uint8_t Code, uint16_t Param, uint32_t Addr) {
  if (!src_.Image) return false;
  uint8_t* p = buf_.PacketBuf;
  PutHeader(p, Code, Param, S(), BlockSize);
  CopyImage(p + 8, (Addr & ~0xFu) + Param * 1024u, BlockSize);
  return SendPacket(StoreCheck(p, BlockSize));
}

bool LinkChannel::SendInfoBlock(uint16_t Param) {
  if (!src_.Info) return false;
  uint8_t* p = buf_.PacketBuf;
  PutHeader(p, CmdDownloadInfo, Param, S(), BlockSize);
  CopyClamped(p + 8, src_.Info, InfoBufferSize, (Param * 1024u) & 0xFFFFu, BlockSize);
  return SendPacket(StoreCheck(p, BlockSize));
}

bool LinkChannel::SendParamCommand(uint8_t Code, uint16_t Param) {
  uint8_t* p = buf_.PacketBuf;
  const bool withProtect = Param == SubWriteProtect;
  const uint16_t n = withProtect ? ParamBlockSize + ProtectSliceSize : ParamBlockSize;
  PutHeader(p, Code, Param, S(), n);
  FillParamBlock(8);
  if (withProtect) std::memcpy(p + 8 + ParamBlockSize, src_.Protect, ProtectSliceSize);
  return SendPacket(StoreCheck(p, n));
}

bool LinkChannel::SendRestCommand(uint8_t Code) {
  uint8_t* p = buf_.PacketBuf;
  p[0] = Code;
  std::memcpy(p + 1, "REST", 4);
  p[5] = 0xA8;
  Put16(p + 6, 2);
  p[8] = 0;
  p[9] = 0;
  return SendPacket(StoreCheck(p, 2));
}

bool LinkChannel::SendProgramBlock(uint8_t Code, uint16_t Param, uint32_t Addr,
                                   uint16_t DataLength) {
  if (!src_.Image) return false;
  // The packet buffer holds at most one 4096-byte block behind the parameter block.
  if (DataLength > BlockSize) DataLength = BlockSize;
  uint8_t* p = buf_.PacketBuf;
  const uint16_t n = static_cast<uint16_t>(ParamBlockSize + DataLength);
  PutHeader(p, Code, Param, S(), n);
  FillParamBlock(8);
  CopyImage(p + 8 + ParamBlockSize, (Addr & ~0xFu) + (Param & 0x0FFFu) * 1024u, DataLength);
  return SendPacket(StoreCheck(p, n));
}

bool LinkChannel::SendInfoWrite(uint16_t Param) {
  if (!src_.Info) return false;
  uint8_t* p = buf_.PacketBuf;
  const uint16_t n = ParamBlockSize + BlockSize;
  PutHeader(p, CmdWriteInfo, Param, S(), n);
  FillParamBlock(8);
  CopyClamped(p + 8 + ParamBlockSize, src_.Info, InfoBufferSize, (Param * 1024u) & 0xFFFFu,
              BlockSize);
  return SendPacket(StoreCheck(p, n));
}

}  // namespace kestra::link
