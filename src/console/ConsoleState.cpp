#include "console/ConsoleState.h"

namespace kestra::console {

ConsoleState::ConsoleState() : ProtectConfig(new uint8_t[link::ProtectConfigSize]()) {
  s.FlashSizeKBCopy = 8;
  s.PowerStableTime = 5;
  s.ConfigOptionByte = 8;
  s.SnLength = 4;
  const link::PacketSource idle = IdleSource();
  for (int ch = 0; ch < ChannelCount; ++ch) {
    Buffers[ch] = std::make_unique<link::ChannelBuffers>();
    Link[ch] = std::make_unique<link::LinkChannel>(ch + 1, *Buffers[ch], *idle.Settings, idle.Image,
                                                   idle.Info, idle.Protect, Random);
  }
}

// No image and no info data: their bytes are replaced whenever the operator
// writes them while some job holds them (DataImage::get), and only a job's
// snapshot keeps them alive. An idle channel sends no block of them.
link::PacketSource ConsoleState::IdleSource() const {
  return {&s, nullptr, nullptr, ProtectConfig.get(), {}};
}

}  // namespace kestra::console
