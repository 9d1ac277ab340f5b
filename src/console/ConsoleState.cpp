#include "console/ConsoleState.h"

namespace kestra::console {

ConsoleState::ConsoleState() : ProtectConfig(new uint8_t[link::ProtectConfigSize]()) {
  s.FlashSizeKBCopy = 8;
  s.PowerStableTime = 5;
  s.ConfigOptionByte = 8;
  s.SnLength = 4;
  for (int ch = 0; ch < ChannelCount; ++ch) {
    Buffers[ch] = std::make_unique<link::ChannelBuffers>();
    Link[ch] = std::make_unique<link::LinkChannel>(ch + 1, *Buffers[ch], s, ImageBuffer.data(),
                                                   InfoBuffer.data(), ProtectConfig.get(), Random);
  }
}

link::PacketSource ConsoleState::IdleSource() const {
  return {&s, ImageBuffer.data(), InfoBuffer.data(), ProtectConfig.get(), {}};
}

}  // namespace kestra::console
