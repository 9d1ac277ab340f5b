// The operation state machine of one channel (ch = 0..3): the starters that
// begin each step, the search-reply check, the dispatcher that picks the reply
// handler by ChannelState and the reply handlers that chain the steps. One
// routine per step, parameterised by the channel; channel 1 (ch = 0) differs
// in the places noted.
#pragma once

#include <cstdint>
#include <functional>

#include "console/ConsoleState.h"

namespace kestra::console {

// Result codes worded by the handlers themselves.
inline constexpr uint8_t ResSuccess = 0x00;
inline constexpr uint8_t ResSuccessAck = 0x06;
inline constexpr uint8_t ResReadProtected = 0x10;
inline constexpr uint8_t ResReadProtected2 = 0x13;
inline constexpr uint8_t ResNotBlank = 0x15;
inline constexpr uint8_t ResChipChecksum = 0x34;

// The model prefix that every programmer's identification text begins with.
inline constexpr const char* DeviceModelPrefix = "KestraGangA4";

// Read-out sends per block before the channel gives up.
inline constexpr uint8_t ReadSendsPerBlock = 6;

// The identification reply of a channel that is still off-line.
void HandleSearchReply(ConsoleState& st, int ch);
// A reply of an on-line channel, with the status CheckRxPacket gave it.
void DispatchReply(ConsoleState& st, int ch, uint8_t Status);

// Channel ch's operation ended before the device answered it (time-out or
// interruption): the answer may still come, so the channel identifies again
// before its next command.
void MarkAnswerOwed(ConsoleState& st, int ch);
// Ends channel ch's running operation as failed, saying it was interrupted.
void InterruptChannel(ConsoleState& st, int ch);
// Runs Start for channel ch at once or, when the channel may still be owed an
// answer, once it has identified again (the channel is busy meanwhile).
void StartWhenIdentified(ConsoleState& st, int ch, std::function<void()> Start);
// True while some channel runs an operation (stand-alone production is none).
bool AnyChannelBusy(const ConsoleState& st);

// Starters.
void StartMainDownload(ConsoleState& st, int ch);
void StartInfoDownload(ConsoleState& st, int ch);
void StartBlankCheck(ConsoleState& st, int ch);
void StartErase(ConsoleState& st, int ch);
void StartProgramMain(ConsoleState& st, int ch);
void StartWriteInfo(ConsoleState& st, int ch);
void StartVerifyMain(ConsoleState& st, int ch);
void StartVerifyInfo(ConsoleState& st, int ch);
void StartWriteProtection(ConsoleState& st, int ch);

// Reply handlers (called by DispatchReply).
void HandleConfigReply(ConsoleState& st, int ch, uint8_t Status);
void HandleMainDownloadReply(ConsoleState& st, int ch, uint8_t Status);
void HandleInfoDownloadReply(ConsoleState& st, int ch, uint8_t Status);
void HandleBlankCheckReply(ConsoleState& st, int ch, uint8_t Status);
void HandleEraseReply(ConsoleState& st, int ch, uint8_t Status);
void HandleProgramReply(ConsoleState& st, int ch, uint8_t Status);
void HandleInfoWriteReply(ConsoleState& st, int ch, uint8_t Status);
void HandleVerifyReply(ConsoleState& st, int ch, uint8_t Status);
void HandleInfoVerifyReply(ConsoleState& st, int ch, uint8_t Status);
void HandleProtectReply(ConsoleState& st, int ch, uint8_t Status);
void HandleReadMainReply(ConsoleState& st, int ch, uint8_t Status);
void HandleReadInfoReply(ConsoleState& st, int ch, uint8_t Status);
void HandleReadChipIdReply(ConsoleState& st, int ch, uint8_t Status);
void HandleChipInfoReply(ConsoleState& st, int ch, uint8_t Status);

}  // namespace kestra::console
