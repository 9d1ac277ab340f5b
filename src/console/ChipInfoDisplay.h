// The chip information a programmer read from its chip, written into the log
// memo as hexadecimal text: the Apollo information memory and the
// Active-Semi security area.
#pragma once

#include <cstddef>

#include "console/ConsoleState.h"

namespace kestra::console {

// Reply bytes [0 .. n-1] that each display reads: the Apollo information
// memory ends at [263], the Active-Semi security level byte is [2121].
inline constexpr std::size_t ChipInfoMemoryReplyBytes = 8 + 256;
inline constexpr std::size_t ChipSecurityReplyBytes = 8 + 0x841 + 1;

// Channel: 1..4; the reply is in that channel's PacketBuf.
void ShowChipInfoMemory(ConsoleState& st, int Channel);
void ShowChipSecurity(ConsoleState& st, int Channel);

}  // namespace kestra::console
