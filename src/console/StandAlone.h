// Stand-alone production monitor: the progress packets that programmers send
// while they program chips on their own, the good/failed counters, the totals
// line after every chip and the production log saved every 2000 chips.
#pragma once

#include <cstdint>
#include <string>

#include "console/ConsoleState.h"

namespace kestra::console {

// Final steps between two production log files.
inline constexpr uint32_t ProductionLogEvery = 2000;

// The 8-byte progress packet in channel ch's PacketBuf.
void HandleProgressPacket(ConsoleState& st, int ch);
// The totals line; every 2000th call also saves the production log: the memo
// lines written since the previous production log (the first: since start-up).
void LogProductionTotals(ConsoleState& st);

// The log file name rule shared by the exit and the production log: Prefix
// ("\EPS_" or "\RarORi_") + short date + "_" + long time, every '-', '/' and
// ':' from the 7th character on replaced by '_'.
std::string LogFileName(const std::string& Prefix, const std::string& Date,
                        const std::string& Time);
// The file path of such a name: the leading backslash is the folder separator
// of the original platform, so on this one the name's "\" becomes "/" and the
// file lands inside StartupDir.
std::string LogFilePath(const std::string& StartupDir, const std::string& Name);
// Saves the memo lines that no log file holds yet at Path; false (with an
// error box and a log line saying so) when it cannot: the lines then stay
// unsaved and go to the next log file.
bool SaveMemoLog(ConsoleState& st, const std::string& Path);

}  // namespace kestra::console
