// Result texts and log lines of the channels, written once for all channels
// (ch = 0..3). The beginning and end of an operation are the channel
// machine's.
#pragma once

#include <cstdint>
#include <string>

#include "console/ConsoleState.h"

namespace kestra::console {

// "> " + local long time + " " + Msg.
void LogInfo(ConsoleState& st, const std::string& Msg);
// A line added to the memo as it stands (no time prefix).
void AddMemoLine(ConsoleState& st, const std::string& Line);
// "> " + time + " Channel " + (ChannelNo[ch] + 1) + " : " + Msg.
void AddChannelLog(ConsoleState& st, int ch, const std::string& Msg);

// Logs the code's text for the channel unless it is idle; beeps for 0 and 6.
void ShowChannelResult(ConsoleState& st, int ch, uint8_t Code);
// The result text of a code as channel ch words it.
std::string ChannelResultText(int ch, uint8_t Code);

}  // namespace kestra::console
