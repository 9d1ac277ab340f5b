// Command packets of the console, the parameter block and the configuration
// packet, built in a channel's buffers and sent on the channel's port.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/Codes.h"
#include "link/Frame.h"

namespace kestra::serial {
class TComm;
}

namespace kestra::link {

inline constexpr uint32_t ImageBufferSize = 0x300000;  // 3 MB
inline constexpr uint32_t InfoBufferSize = 0x8000;     // 32 KB
inline constexpr uint32_t ProtectConfigSize = 4096;

// The run-time library's pseudo-random generator: one per program, never
// seeded from the clock; Random(R) gives 0..R-1.
class RandomSource {
 public:
  uint32_t Random(uint32_t Range);
  uint32_t RandSeed = 0;
};

// The settings and chip parameters that the packets carry.
struct PacketSettings {
  char ChipSeries = 0;
  uint8_t ChipFamily = 0;
  uint8_t ChipIndex = 0;
  uint8_t ChipSubFamily = 0;
  uint8_t ChipSubFlag = 0;
  uint8_t IsApollo3 = 0;
  uint16_t FlashSizeKB = 0;
  uint16_t SectorSize = 0;
  uint16_t FlashSizeKBCopy = 0;
  uint16_t InfoMemSize = 0;
  uint32_t InfoMemStart = 0;
  uint32_t SeriesBaseAddr = 0;
  uint32_t ChipStartAddr = 0;

  uint8_t PowerFlags = 0;
  uint8_t ProtectFlags = 0;
  uint8_t AfterProgFlags = 0;
  uint8_t ExtraFlags = 0;
  uint8_t DetectFlags = 0;
  uint8_t ChipInTime = 0;
  uint8_t ChipOffTime = 0;
  uint8_t PowerStableTime = 0;
  uint8_t ClockCode = 0;

  uint16_t ImageCrc = 0;
  uint16_t ImageSum = 0;
  uint16_t InfoCrc = 0;
  uint16_t InfoSum = 0;

  uint8_t SnEnable = 0;
  uint8_t SnLength = 0;
  uint16_t SnGain = 0;
  uint16_t SnStep = 0;
  uint32_t SnValue = 0;
  uint32_t SnAddr = 0;
  uint32_t SnHigh = 0;
  uint8_t ConfigOptionByte = 0;
};

// The four text fields of the configuration packet (the main window's edits).
struct ConfigTexts {
  std::string MCUName;
  std::string Product;
  std::string Ver;
  std::string Date;
};

// A channel's own serial number: Length bytes that its main data blocks carry
// from image address Addr on in place of the image's bytes.
struct SerialOverlay {
  uint32_t Addr = 0;
  uint8_t Length = 0;  // 0: none
  std::array<uint8_t, 8> Bytes{};
};

// What a channel's packets carry: the settings and chip parameters, the main
// and info data images, the protection data and the channel's serial number.
// Without an image (or info data) no block of it is sent.
struct PacketSource {
  const PacketSettings* Settings = nullptr;
  const uint8_t* Image = nullptr;    // ImageBufferSize bytes, or none
  const uint8_t* Info = nullptr;     // InfoBufferSize bytes, or none
  const uint8_t* Protect = nullptr;  // the 64 bytes of protection data sent
  SerialOverlay Serial;
};

// The link routines of one channel, bound to that channel's buffers and port,
// to what its packets carry and to the program's generator.
class LinkChannel {
 public:
  // n: channel number 1..4. image: ImageBufferSize bytes, info: InfoBufferSize
  // (either may be null: none), protect: ProtectConfigSize. The port may be
  // changed later with SetPort, what the packets carry with SetSource.
  LinkChannel(int n, ChannelBuffers& buffers, const PacketSettings& settings, const uint8_t* image,
              const uint8_t* info, const uint8_t* protect, RandomSource& random);

  void SetSource(const PacketSource& source) { src_ = source; }
  const PacketSource& Source() const { return src_; }
  void SetPort(serial::TComm* port) { port_ = port; }
  serial::TComm* Port() const { return port_; }
  int Number() const { return n_; }
  ChannelBuffers& Buffers() { return buf_; }

  void FillParamBlock(uint16_t Offset);
  void PutTextField(const std::string& Text, uint16_t Offset, uint16_t Width);

  // A block sender whose source has no image (SendDataBlock, SendProgramBlock)
  // or no info data (SendInfoBlock, SendInfoWrite) builds and sends nothing
  // and returns false.
  bool SendSimpleCommand(uint8_t Code, uint16_t Param);
  bool SendDataBlock(uint8_t Code, uint16_t Param, uint32_t Addr);
  bool SendInfoBlock(uint16_t Param);
  bool SendParamCommand(uint8_t Code, uint16_t Param);
  bool SendRestCommand(uint8_t Code);
  bool SendProgramBlock(uint8_t Code, uint16_t Param, uint32_t Addr, uint16_t DataLength);
  bool SendInfoWrite(uint16_t Param);
  void SendConfigPacket(uint8_t Code, uint16_t Param, const ConfigTexts& Texts);

  // Receive side on this channel's buffers.
  bool ExtractRxFrame(uint16_t& Pos, uint16_t& Len) { return link::ExtractRxFrame(buf_, Pos, Len); }
  // Decodes RxFrame (Len bytes) into PacketBuf; PacketLen becomes the length
  // of the packet decoded, 0 when none was.
  uint8_t DecodeRxFrame(uint16_t& OutLen, uint16_t& Len) {
    const uint8_t r = DecodeFrame(buf_.RxFrame, buf_.PacketBuf, PacketBufSize, OutLen, Len);
    buf_.PacketLen = r == 0 ? OutLen : 0;
    return r;
  }
  uint8_t CheckRxPacket(uint16_t Len) const { return link::CheckRxPacket(buf_.PacketBuf, Len); }

 private:
  bool SendPacket(uint16_t PacketLen);  // check already stored; frame and send
  // Count bytes of the main image from Start into Dst, the serial number over them.
  void CopyImage(uint8_t* Dst, uint32_t Start, uint16_t Count) const;
  const PacketSettings& S() const { return *src_.Settings; }

  int n_;
  ChannelBuffers& buf_;
  PacketSource src_;
  RandomSource& random_;
  serial::TComm* port_ = nullptr;
};

}  // namespace kestra::link
