// The life of one channel's operations (ch = 0..3), from the command that
// starts one to its end: the operations the commands start, each with the job
// it sends (fixed when it starts), the answer gate (a channel that may still be
// owed an answer has its device identify again first), the steps that chain an
// operation and the reply handlers that drive them, the 10 ms watchdog tick,
// and the one end of every operation. One routine per step, parameterised by
// the channel; channel 1 (ch = 0) differs in the places noted.
#pragma once

#include <cstdint>

#include "console/ChannelJob.h"
#include "console/ConsoleState.h"

namespace kestra::console {

// The model prefix that every programmer's identification text begins with.
inline constexpr const char* DeviceModelPrefix = "KestraGangA4";

// Read-out sends per block before the channel gives up.
inline constexpr uint8_t ReadSendsPerBlock = 6;

// ---- Starting an operation ----

// Starts an operation on channel ch (idle and on-line), with the job fixed
// from the settings, images and checksums as they are now: its first step
// runs at once or, while the channel may still be owed an answer, once the
// device has identified again (the channel is busy meanwhile).
void StartOperation(ConsoleState& st, int ch, const OperationRequest& Request);
// Protect and Write Info store their pending value on every channel that runs
// nothing, ahead of the starts (a channel without a device keeps it).
void MarkCommandPending(ConsoleState& st, int ch, uint8_t State);
// Channel ch enters stand-alone production (its port is opened afterwards).
void EnterStandAlone(ConsoleState& st, int ch);
// Sends a REST on channel ch: its answer, if any, comes after the operation,
// so the channel owes it.
void SendRest(ConsoleState& st, int ch, uint8_t Code);

// ---- Replies ----

// The identification reply of a channel that is still off-line.
void HandleSearchReply(ConsoleState& st, int ch);
// A reply of an on-line channel, with the status CheckRxPacket gave it.
void DispatchReply(ConsoleState& st, int ch, uint8_t Status);

// ---- Progress and the end of an operation ----

// Arms the watchdog and the gauge of a step; on a channel that runs nothing
// it begins an operation with the settings as they are.
void StartChannelProgress(ConsoleState& st, int ch, uint16_t Ticks, bool ByFlash);

enum class OperationEnd { Succeeded, Failed, TimedOut, Interrupted };
// The one end of every operation: its line (time-out, interruption), the
// channel back to idle with a full gauge (red unless it succeeded), the job
// dropped; a time-out or an interruption leaves the channel owing an answer.
void EndOperation(ConsoleState& st, int ch, OperationEnd How);
void EndChannelProgress(ConsoleState& st, int ch, bool Failed);
// Ends channel ch's running operation as interrupted (nothing when idle).
void InterruptChannel(ConsoleState& st, int ch);
// The 10 ms tick of channel ch: watchdog, timed progress, time-out.
void ChannelTick(ConsoleState& st, int ch);
// The window goes: every running operation ends and nothing waits any more.
void ReleaseChannels(ConsoleState& st);
// True while some channel runs an operation (stand-alone production is none).
bool AnyChannelBusy(const ConsoleState& st);

// ---- Steps (each begins the step of its name; the handlers chain them) ----

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
