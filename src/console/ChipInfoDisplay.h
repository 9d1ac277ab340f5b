// The chip information a programmer read from its chip, written into the log
// memo as hexadecimal text: the Apollo information memory and the
// Active-Semi security area.
#pragma once

#include "console/ConsoleState.h"

namespace kestra::console {

// Channel: 1..4; the reply is in that channel's PacketBuf.
void ShowChipInfoMemory(ConsoleState& st, int Channel);
void ShowChipSecurity(ConsoleState& st, int Channel);

}  // namespace kestra::console
