#include "console/ConsoleState.h"

#include <cstring>

namespace kestra::console {

ConsoleState::ConsoleState()
    : ImageBuffer(new uint8_t[link::ImageBufferSize]()),
      InfoBuffer(new uint8_t[link::InfoBufferSize]()),
      ProtectConfig(new uint8_t[link::ProtectConfigSize]()) {
  s.FlashSizeKBCopy = 8;
  s.PowerStableTime = 5;
  s.ConfigOptionByte = 8;
  s.SnLength = 4;
  for (int ch = 0; ch < ChannelCount; ++ch) {
    Buffers[ch] = std::make_unique<link::ChannelBuffers>();
    Link[ch] = std::make_unique<link::LinkChannel>(ch + 1, *Buffers[ch], s, ImageBuffer.get(),
                                                   InfoBuffer.get(), ProtectConfig.get(), Random);
  }
}

bool ConsoleState::RestorePlacedSerial() {
  if (!PlacedSerial.Placed) return false;
  std::memcpy(ImageBuffer.get() + PlacedSerial.Addr, PlacedSerial.Replaced.data(),
              PlacedSerial.Length);
  PlacedSerial = {};
  return true;
}

}  // namespace kestra::console
