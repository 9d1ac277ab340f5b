#include "console/ChannelJob.h"

#include <algorithm>

#include "companion/KestraRHB.h"
#include "console/ChannelProgress.h"
#include "console/Formatted.h"

namespace kestra::console {

namespace {

constexpr uint8_t PowerInfoData = 0x08;
constexpr uint8_t PowerBigEndianSerial = 0x40;

std::string SerialText(const link::PacketSettings& s, uint32_t value) {
  if (s.SnLength == 8)
    return Formatted("Serial No 0x%08X%08X placed at 0x%06X.", s.SnHigh, value, s.SnAddr);
  return Formatted("Serial No 0x%08X placed at 0x%06X.", value, s.SnAddr);
}

}  // namespace

link::SerialOverlay ChannelSerial(const link::PacketSettings& s, int ch) {
  const uint32_t value = s.SnValue + static_cast<uint32_t>(ch) * s.SnGain;
  uint8_t bytes[8];
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    bytes[4 + i] = static_cast<uint8_t>(s.SnHigh >> (8 * i));
  }
  link::SerialOverlay sn;
  sn.Addr = s.SnAddr;
  sn.Length = s.SnLength == 8 ? 8 : 4;
  const bool bigEndian = (s.PowerFlags & PowerBigEndianSerial) != 0;
  for (int k = 0; k < sn.Length; ++k) sn.Bytes[k] = bigEndian ? bytes[sn.Length - 1 - k] : bytes[k];
  return sn;
}

void OpenJob(ConsoleState& st, int ch, const OperationRequest& Request) {
  ChannelJob& j = st.Jobs[ch];
  j.Open = true;
  j.Op = Request.Op;
  j.s = st.s;
  // Info data goes only where there is info memory, whatever the box says.
  j.ProgramInfoData = st.ProgramInfoData && st.s.InfoMemSize != 0;
  if (st.s.InfoMemSize == 0) j.s.PowerFlags &= static_cast<uint8_t>(~PowerInfoData);
  j.ProtectAfterVerify = st.ProtectAfterVerify;
  j.ImageBaseAddr = st.ImageBaseAddr;
  j.Image = st.ImageBuffer.Keep();
  j.Info = st.InfoBuffer.Keep();
  std::copy_n(st.ProtectConfig.get(), j.Protect.size(), j.Protect.begin());
  j.Serial = Request.PlaceSerial ? ChannelSerial(j.s, ch) : link::SerialOverlay{};
  j.Texts = Request.Texts;
  if (j.Serial.Length > 0) {
    // The chip holds the image with this serial number: so do its checksums.
    const uint8_t* image = j.Image->data();
    const uint32_t first = j.s.ChipStartAddr, last = st.ChipEndAddr;
    j.s.ImageSum = static_cast<uint16_t>(
        rhb::PatchBinaryCheckSum(j.s.ImageSum, image, first, last, j.Serial.Addr,
                                 j.Serial.Bytes.data(), j.Serial.Length, link::ImageBufferSize));
    j.s.ImageCrc = static_cast<uint16_t>(
        rhb::PatchTolvexCheckSum(j.s.ImageCrc, image, first, last, j.Serial.Addr,
                                 j.Serial.Bytes.data(), j.Serial.Length, link::ImageBufferSize));
    AddChannelLog(st, ch, SerialText(j.s, j.s.SnValue + static_cast<uint32_t>(ch) * j.s.SnGain));
  }
  st.Link[ch]->SetSource({&j.s, j.Image->data(), j.Info->data(), j.Protect.data(), j.Serial});
}

void CloseJob(ConsoleState& st, int ch) {
  ChannelJob& j = st.Jobs[ch];
  j.Open = false;
  j.Image.reset();
  j.Info.reset();
  j.Serial = {};
  st.Link[ch]->SetSource(st.IdleSource());
}

}  // namespace kestra::console
