#include "console/ChannelMachine.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "console/ChannelProgress.h"
#include "console/ChipInfoDisplay.h"
#include "console/Formatted.h"
#include "console/StandAlone.h"
#include "link/ByteOrder.h"
#include "link/Frame.h"
#include "link/Packets.h"
#include "ui/Gauge.h"

namespace kestra::console {

namespace {

constexpr uint16_t BlockBytes = 4096;
constexpr uint16_t BlockKB = 4;

using link::IsSuccess;

link::LinkChannel& Link(ConsoleState& st, int ch) { return *st.Link[ch]; }

// What channel ch's running operation sends and decides by.
const ChannelJob& Job(const ConsoleState& st, int ch) { return st.Jobs[ch]; }

void SetGaugeProgress(ConsoleState& st, int ch, int v) {
  if (auto* g = st.ChannelGauge[ch]) g->SetProgress(v);
}

void FillGauge(ConsoleState& st, int ch) {
  if (auto* g = st.ChannelGauge[ch]) g->SetProgress(g->MaxValue());
}

// The common failure end: the code's text while the channel is still busy,
// then the red end.
void FailChannel(ConsoleState& st, int ch, uint8_t Status) {
  ShowChannelResult(st, ch, Status);
  EndChannelProgress(st, ch, true);
}

// The senders of the steps' packets, at the channel's block position.
using Sender = void (*)(ConsoleState&, int);

void SendMainBlock(ConsoleState& st, int ch) {
  Link(st, ch).SendDataBlock(link::CmdDownloadMain, st.BlockCounter[ch], Job(st, ch).ImageBaseAddr);
}
void SendInfoBlock(ConsoleState& st, int ch) { Link(st, ch).SendInfoBlock(st.BlockCounter[ch]); }
void SendProgramBlock(ConsoleState& st, int ch) {
  Link(st, ch).SendProgramBlock(link::CmdProgramBlock, st.BlockCounter[ch],
                                Job(st, ch).ImageBaseAddr, BlockBytes);
}
void SendInfoWriteBlock(ConsoleState& st, int ch) {
  Link(st, ch).SendInfoWrite(st.BlockCounter[ch]);
}
void SendReadMain(ConsoleState& st, int ch) {
  Link(st, ch).SendParamCommand(link::CmdReadMain, st.BlockCounter[ch]);
}
void SendReadInfo(ConsoleState& st, int ch) {
  Link(st, ch).SendParamCommand(link::CmdReadInfo, st.BlockCounter[ch]);
}
template <uint8_t Sub>
void SendChipOperation(ConsoleState& st, int ch) {
  Link(st, ch).SendParamCommand(link::CmdChipOperation, Sub);
}

// How a step opens. Where channel 1 differs, its own value stands beside.
struct Step {
  uint8_t State;
  bool TimedProgress;     // channel 1 sets the timed-progress flag to this
  uint16_t Ticks;         // the watchdog's start
  uint16_t TicksFirst;    // ... on channel 1
  bool ByFlash;           // the gauge counts KB of flash, else watchdog ticks
  const char* Text;       // the step's log line
  const char* TextFirst;  // ... on channel 1 (nullptr: the same)
  Sender Send;            // the step's first packet
};

// clang-format off
constexpr Step MainDownloadStep{StateDownloadMain, false, 300, 300, true, "Download Main Memory Data ......", nullptr, SendMainBlock};
constexpr Step InfoDownloadStep{StateDownloadInfo, false, 300, 300, false, "Download EEP Data ......", "Download Info Data ......", SendInfoBlock};
constexpr Step BlankCheckStep{StateBlankCheck, true, 500, 500, false, "Do Chip blank checking......", nullptr, SendChipOperation<link::SubBlankCheck>};
constexpr Step EraseStep{StateErase, true, 500, 500, false, "Do Chip Erasing......", nullptr, SendChipOperation<link::SubErase>};
constexpr Step ProgramStep{StateProgram, false, 300, 500, true, "Starting Main Flash programming......", nullptr, SendProgramBlock};
constexpr Step InfoWriteStep{StateInfoWrite, false, 300, 300, false, "Write chip Info Data ......", nullptr, SendInfoWriteBlock};
constexpr Step VerifyStep{StateVerify, true, 500, 500, false, "Do Chip data verification......", nullptr, SendChipOperation<link::SubVerifyMain>};
constexpr Step VerifyInfoStep{StateVerifyInfo, true, 500, 500, false, "Do Chip Info Data verification......", nullptr, SendChipOperation<link::SubVerifyInfo>};
constexpr Step ProtectStep{StateProtectWrite, true, 500, 500, false, "Write chip protected data......", nullptr, SendChipOperation<link::SubWriteProtect>};
// clang-format on

// The shared opening of every step: state, the timed-progress flag on
// channel 1 only, progress and watchdog, the step's log line, its packet.
void BeginStep(ConsoleState& st, int ch, const Step& step) {
  const bool first = ch == 0;
  st.ChannelState[ch] = step.State;
  if (first) st.ProgressByTimer = step.TimedProgress;
  StartChannelProgress(st, ch, first ? step.TicksFirst : step.Ticks, step.ByFlash);
  AddChannelLog(st, ch, first && step.TextFirst ? step.TextFirst : step.Text);
  step.Send(st, ch);
}

// After a good block reply: the position moves on by a block and the gauge
// follows it (plus GaugeOffset); true when the next block, below Limit
// (unsigned 16-bit comparison, as the positions are words), has been sent.
bool SendNextBlock(ConsoleState& st, int ch, uint16_t Limit, int GaugeOffset, Sender Send) {
  st.BlockCounter[ch] = static_cast<uint16_t>(st.BlockCounter[ch] + BlockKB);
  const bool more = st.BlockCounter[ch] < Limit;
  SetGaugeProgress(st, ch, st.BlockCounter[ch] + GaugeOffset);
  if (more) Send(st, ch);
  return more;
}

// A step's line; then the automatic sequence goes on with Next, any other
// command ends there (as a failure when Failed).
void SaysThenGoesOn(ConsoleState& st, int ch, const char* Text, Sender Next, bool Failed = false) {
  AddChannelLog(st, ch, Text);
  if (st.AutoMode[ch])
    Next(st, ch);
  else
    EndChannelProgress(st, ch, Failed);
}

// A download into the programmer's own store has ended: the programmer
// restarts with it.
void EndDownload(ConsoleState& st, int ch, const char* Text) {
  EndChannelProgress(st, ch, false);
  AddChannelLog(st, ch, Text);
  SendRest(st, ch, link::CmdRestart);
}

uint16_t InfoLimitKB(const ConsoleState& st, int ch) {
  return static_cast<uint16_t>(Job(st, ch).s.InfoMemSize / 1024);
}

// Copies a read-out block into a buffer, clipped to the buffer: a chip
// start address or block position near the buffer's end never writes past it.
void StoreBlock(const uint8_t* Src, uint8_t* Dst, std::size_t DstSize, std::size_t Offset) {
  if (Offset >= DstSize) return;
  std::memcpy(Dst + Offset, Src, std::min<std::size_t>(BlockBytes, DstSize - Offset));
}

// True when channel ch's decoded reply holds Count bytes from First ahead of
// its check; a handler reads no byte of PacketBuf beyond them.
bool ReplyHolds(ConsoleState& st, int ch, std::size_t First, std::size_t Count) {
  return link::ReplyHolds(st.Buffers[ch]->PacketLen, First, Count);
}

// A read-out block: its 4096 data bytes from [8] on.
constexpr std::size_t BlockDataAt = 8;

// The bytes a read-out gathers before they go to a buffer of BufferSize bytes
// at Base: its whole blocks (at least one), no more than the buffer holds from
// Base on.
std::size_t ReadOutSize(const ConsoleState& st, int ch, uint32_t Base, std::size_t BufferSize) {
  if (Base >= BufferSize) return 0;
  const std::size_t blocks =
      std::max<std::size_t>((st.TransferSizeKB[ch] + BlockKB - 1) / BlockKB, 1);
  return std::min<std::size_t>(blocks * BlockBytes, BufferSize - Base);
}

// Keeps channel ch's read-out block aside at Offset of the Size bytes the
// read-out gathers; its first block starts the gathering afresh.
void GatherBlock(ConsoleState& st, int ch, std::size_t Size, std::size_t Offset) {
  std::vector<uint8_t>& blocks = st.ReadOutBytes;
  if (st.BlockCounter[ch] == 0 || blocks.size() != Size) blocks.assign(Size, 0xFF);
  StoreBlock(st.PacketBuf(ch) + BlockDataAt, blocks.data(), blocks.size(), Offset);
}

// The whole read-out has come: it replaces Dst's bytes from Base on, and the
// gathered bytes are released.
void HandOverReadOut(ConsoleState& st, DataImage& Dst, uint32_t Base) {
  std::vector<uint8_t>& blocks = st.ReadOutBytes;
  if (!blocks.empty()) std::memcpy(Dst.get() + Base, blocks.data(), blocks.size());
  std::vector<uint8_t>().swap(blocks);
}

// True when channel ch's decoded reply identifies a programmer of the model;
// text, when given, receives the whole identification text.
bool IsIdentReply(ConsoleState& st, int ch, std::string* text = nullptr) {
  return link::IdentifiesAs(st.PacketBuf(ch), st.Buffers[ch]->PacketLen, DeviceModelPrefix, text);
}

std::string ChannelText(const char* before, int ch, const char* after) {
  return before + std::to_string(ch + 1) + after;
}

// The statements a command runs on a channel it starts, in the command's
// order, with the channel's job.
void RunFirstStep(ConsoleState& st, int ch) {
  const ChannelJob& job = st.Jobs[ch];
  link::LinkChannel& ln = Link(st, ch);
  switch (job.Op) {
    case Operation::Download:
      st.ResetRx(ch);
      st.ChannelState[ch] = StateDownloadConfig;
      LogInfo(st, ChannelText("Programmer ", ch, " : Start to download data......"));
      StartChannelProgress(st, ch, 500, true);
      // A fresh random key for every channel whitens its configuration packet.
      ln.SendConfigPacket(link::CmdDownloadConfig, static_cast<uint16_t>(st.Random.Random(0xFFFF)),
                          job.Texts);
      return;
    case Operation::Auto:
      st.ResetRx(ch);
      st.AutoMode[ch] = 1;
      LogInfo(st,
              ChannelText("Chip ", ch, " : Start Auto-Programming, do chip blank checking......"));
      return StartBlankCheck(st, ch);
    case Operation::BlankCheck:
    case Operation::Erase:
    case Operation::Program:
    case Operation::Verify:
    case Operation::VerifyInfo: {
      st.ResetRx(ch);
      st.AutoMode[ch] = 0;
      const Sender start = job.Op == Operation::BlankCheck ? StartBlankCheck
                           : job.Op == Operation::Erase    ? StartErase
                           : job.Op == Operation::Program  ? StartProgramMain
                           : job.Op == Operation::Verify   ? StartVerifyMain
                                                           : StartVerifyInfo;
      return start(st, ch);
    }
    case Operation::Protect:
      return StartWriteProtection(st, ch);
    case Operation::WriteInfo:
      return StartWriteInfo(st, ch);
    case Operation::ReadMain:
      st.AutoMode[ch] = 0;
      st.ChannelState[ch] = StateReadMain;
      st.ResetRx(ch);
      st.ReadRetries.fill(ReadSendsPerBlock);
      StartChannelProgress(st, ch, 500, true);
      return SendReadMain(st, ch);
    case Operation::ReadChipId:
    case Operation::ReadChipInfo: {
      const bool id = job.Op == Operation::ReadChipId;
      st.ResetRx(ch);
      st.AutoMode[ch] = 0;
      st.ChannelState[ch] = id ? StateReadChipId : StateReadChipInfo;
      LogInfo(st,
              ChannelText("Chip ", ch,
                          id ? " : Read Chip ID data......" : " : Read Chip Info Memory......"));
      StartChannelProgress(st, ch, 200, false);
      return id ? SendChipOperation<link::SubReadChipId>(st, ch)
                : SendChipOperation<link::SubReadChipInfo>(st, ch);
    }
    case Operation::ReadInfo: {
      st.ChannelState[ch] = StateReadInfo;
      st.ResetRx(ch);
      st.AutoMode[ch] = 0;
      const uint16_t infoSize = job.s.InfoMemSize;
      StartChannelProgress(st, ch, 300, infoSize >= 1024);
      st.TransferSizeKB[ch] = static_cast<uint16_t>((infoSize + 1023u) / 1024u);
      if (ui::TGauge* g = st.ChannelGauge[ch]) g->SetMaxValue(st.TransferSizeKB[ch]);
      return SendReadInfo(st, ch);  // at position 0
    }
  }
}

// The operation waits for the device to identify again: every reply before
// the identification is owed to an operation that ended unanswered.
void BeginIdentify(ConsoleState& st, int ch) {
  st.Gate[ch] = AnswerGate::Identifying;
  st.ResetRx(ch);
  st.ChannelState[ch] = StateReidentify;
  StartChannelProgress(st, ch, 500, false);
  AddChannelLog(st, ch, "Identify the device again......");
  Link(st, ch).SendSimpleCommand(link::CmdSearchDevice, 0);
}

// An identification reply answers no command: it runs the first step that
// waited for it, or, when nothing waits (a late answer to an earlier search),
// it is dropped.
void TakeIdentReply(ConsoleState& st, int ch) {
  if (st.Gate[ch] != AnswerGate::Identifying) return;
  st.Gate[ch] = AnswerGate::Clear;
  RunFirstStep(st, ch);
}

bool ValidChannel(int ch) { return ch >= 0 && ch < ChannelCount; }

}  // namespace

// ---- Starting and ending operations ----

void StartOperation(ConsoleState& st, int ch, const OperationRequest& Request) {
  if (!ValidChannel(ch)) return;
  OpenJob(st, ch, Request);
  if (st.Gate[ch] != AnswerGate::Clear) return BeginIdentify(st, ch);
  RunFirstStep(st, ch);
}

void MarkCommandPending(ConsoleState& st, int ch, uint8_t State) {
  st.ResetRx(ch);
  st.ChannelState[ch] = State;
  st.OpTimeout[ch] = 500;
  st.AutoMode[ch] = 0;
}

void EnterStandAlone(ConsoleState& st, int ch) {
  st.ResetRx(ch);
  st.ChannelState[ch] = StateStandAlone;
  st.DeviceOnline[ch] = 1;
  if (ui::TGauge* g = st.ChannelGauge[ch]) g->SetProgress(0);
}

void SendRest(ConsoleState& st, int ch, uint8_t Code) {
  Link(st, ch).SendRestCommand(Code);
  st.Gate[ch] = AnswerGate::Owed;
}

void StartChannelProgress(ConsoleState& st, int ch, uint16_t Ticks, bool ByFlash) {
  if (!ValidChannel(ch)) return;
  if (!st.Jobs[ch].Open) OpenJob(st, ch, {});
  const uint16_t flashKB = st.Jobs[ch].s.FlashSizeKB;
  st.BlockCounter[ch] = 0;
  st.TransferSizeKB[ch] = flashKB;
  st.ChannelBusy[ch] = 1;
  st.OpTimeout[ch] = Ticks;
  ui::TGauge* gauge = st.ChannelGauge[ch];
  if (!gauge) return;
  // The progress is set before the maximum, so it is held within the
  // maximum the gauge had before.
  if (ByFlash) {
    gauge->SetProgress(3);
    gauge->SetMaxValue(flashKB);
  } else {
    gauge->SetProgress(Ticks / 10);
    gauge->SetMaxValue(Ticks);
  }
  gauge->SetForeColor(ui::GaugeBlue);
}

void EndOperation(ConsoleState& st, int ch, OperationEnd How) {
  if (!ValidChannel(ch)) return;
  const bool failed = How != OperationEnd::Succeeded;
  if (How == OperationEnd::TimedOut) AddChannelLog(st, ch, "Operation Time Out!");
  if (How == OperationEnd::Interrupted) AddChannelLog(st, ch, "Operation interrupted!");
  const uint8_t state = st.ChannelState[ch];
  if (failed && (state == StateReadMain || state == StateReadInfo)) {
    // The image and the info data take a read-out only whole: the blocks that
    // came are dropped.
    std::vector<uint8_t>().swap(st.ReadOutBytes);
    AddChannelLog(st, ch,
                  state == StateReadMain ? "Read out not finished, the image was kept!"
                                         : "Read out not finished, the info data was kept!");
  }
  // An operation that ended before its answer came leaves the answer owed;
  // one that waited for an identification waits no more.
  if (How == OperationEnd::TimedOut || How == OperationEnd::Interrupted ||
      st.Gate[ch] == AnswerGate::Identifying)
    st.Gate[ch] = AnswerGate::Owed;
  CloseJob(st, ch);
  st.OpTimeout[ch] = 0;
  st.ChannelBusy[ch] = 0;
  st.ProgressByTimer = false;
  if (st.Hooks.ShowViewPage) st.Hooks.ShowViewPage(0);
  if (ui::TGauge* gauge = st.ChannelGauge[ch]) {
    gauge->SetForeColor(failed ? ui::GaugeRed : ui::GaugeBlue);
    gauge->SetProgress(gauge->MaxValue());
  }
  st.ChannelState[ch] = StateIdle;
}

void EndChannelProgress(ConsoleState& st, int ch, bool Failed) {
  EndOperation(st, ch, Failed ? OperationEnd::Failed : OperationEnd::Succeeded);
}

void InterruptChannel(ConsoleState& st, int ch) {
  if (st.ChannelBusy[ch]) EndOperation(st, ch, OperationEnd::Interrupted);
}

void ChannelTick(ConsoleState& st, int ch) {
  if (!st.ChannelBusy[ch]) return;
  if (st.OpTimeout[ch] > 0) --st.OpTimeout[ch];
  if (st.ProgressByTimer)
    if (ui::TGauge* g = st.ChannelGauge[ch]) g->SetProgress(g->Progress() + 1);
  if (st.OpTimeout[ch] == 0) EndOperation(st, ch, OperationEnd::TimedOut);
}

void ReleaseChannels(ConsoleState& st) {
  for (int ch = 0; ch < ChannelCount; ++ch) InterruptChannel(st, ch);
}

bool AnyChannelBusy(const ConsoleState& st) {
  return std::any_of(st.ChannelBusy.begin(), st.ChannelBusy.end(), [](uint8_t b) { return b; });
}

// ---- Replies ----

void HandleSearchReply(ConsoleState& st, int ch) {
  // Every search is compared against the model prefix afresh: the full text
  // the check hands back belongs to this device only, so a programmer with
  // another firmware version on a later search is still accepted.
  std::string text;
  if (!IsIdentReply(st, ch, &text)) {
    // A reply still owed to an operation that ended unanswered: dropped.
    if (st.Gate[ch] == AnswerGate::Clear) AddChannelLog(st, ch, "No device was found!");
    return;
  }
  // Found afresh: nothing sent before counts any more.
  st.Gate[ch] = AnswerGate::Clear;
  ++st.DevicesFound;
  st.ChannelNo[ch] = static_cast<uint8_t>(ch);
  st.DeviceOnline[ch] = 1;
  st.ChannelState[ch] = StateIdle;
  st.OpTimeout[ch] = 500;
  if (auto* g = st.ChannelGauge[ch]) g->setEnabled(true);
  if (st.Hooks.SetInfoPanel) st.Hooks.SetInfoPanel(text);
  AddChannelLog(st, ch, "Found Device " + std::to_string(ch + 1) + " : " + text + "!");
}

void DispatchReply(ConsoleState& st, int ch, uint8_t Status) {
  // Decided by content: an identification never answers an operation's step.
  if (IsIdentReply(st, ch)) return TakeIdentReply(st, ch);
  // Owed to an operation that ended unanswered: no later one may take it.
  if (st.Gate[ch] == AnswerGate::Identifying) return;
  switch (st.ChannelState[ch]) {
    case StateDownloadConfig:
      HandleConfigReply(st, ch, Status);
      break;
    case StateDownloadMain:
      HandleMainDownloadReply(st, ch, Status);
      break;
    case StateDownloadInfo:
      HandleInfoDownloadReply(st, ch, Status);
      break;
    case StateBlankCheck:
      HandleBlankCheckReply(st, ch, Status);
      break;
    case StateErase:
      HandleEraseReply(st, ch, Status);
      break;
    case StateProgram:
      HandleProgramReply(st, ch, Status);
      break;
    case StateVerify:
      HandleVerifyReply(st, ch, Status);
      break;
    case StateProtectWrite:
      HandleProtectReply(st, ch, Status);
      break;
    case StateReadMain:
      HandleReadMainReply(st, ch, Status);
      break;
    case StateReadChipId:
      HandleReadChipIdReply(st, ch, Status);
      break;
    case StateReadChipInfo:
      HandleChipInfoReply(st, ch, Status);
      break;
    case StateInfoWrite:
      HandleInfoWriteReply(st, ch, Status);
      break;
    case StateReadInfo:
      HandleReadInfoReply(st, ch, Status);
      break;
    case StateVerifyInfo:
      HandleInfoVerifyReply(st, ch, Status);
      break;
    default:
      HandleProgressPacket(st, ch);
      break;
  }
}

// ---- Starters ----

void StartMainDownload(ConsoleState& st, int ch) { BeginStep(st, ch, MainDownloadStep); }
void StartInfoDownload(ConsoleState& st, int ch) { BeginStep(st, ch, InfoDownloadStep); }
void StartBlankCheck(ConsoleState& st, int ch) { BeginStep(st, ch, BlankCheckStep); }
void StartErase(ConsoleState& st, int ch) { BeginStep(st, ch, EraseStep); }
void StartProgramMain(ConsoleState& st, int ch) { BeginStep(st, ch, ProgramStep); }
void StartWriteInfo(ConsoleState& st, int ch) { BeginStep(st, ch, InfoWriteStep); }
void StartVerifyMain(ConsoleState& st, int ch) { BeginStep(st, ch, VerifyStep); }
void StartVerifyInfo(ConsoleState& st, int ch) { BeginStep(st, ch, VerifyInfoStep); }
void StartWriteProtection(ConsoleState& st, int ch) { BeginStep(st, ch, ProtectStep); }

// ---- Reply handlers ----

void HandleConfigReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  StartMainDownload(st, ch);
}

void HandleMainDownloadReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  if (SendNextBlock(st, ch, st.TransferSizeKB[ch], 1, SendMainBlock)) return;
  if (Job(st, ch).ProgramInfoData) return StartInfoDownload(st, ch);
  EndDownload(st, ch, "Download Success!");
}

void HandleInfoDownloadReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  if (SendNextBlock(st, ch, InfoLimitKB(st, ch), 1, SendInfoBlock)) return;
  EndDownload(st, ch, "Download Info Data Success!");
}

void HandleBlankCheckReply(ConsoleState& st, int ch, uint8_t Status) {
  if (IsSuccess(Status)) return SaysThenGoesOn(st, ch, "Current Chip is blank!", StartProgramMain);
  const char* worded = nullptr;
  if (Status == link::ResNotBlank)
    worded = "Chip is not blank!";
  else if (Status == link::ResReadProtected || Status == link::ResReadProtected2)
    worded = "Chip is Protected!";
  if (!worded) return FailChannel(st, ch, Status);
  SaysThenGoesOn(st, ch, worded, StartErase, true);
}

void HandleEraseReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  SaysThenGoesOn(st, ch, "Chip has been erased!", StartProgramMain);
}

void HandleProgramReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  st.OpTimeout[ch] = 500;
  if (SendNextBlock(st, ch, st.TransferSizeKB[ch], 0, SendProgramBlock)) return;
  const auto endProgramming = [&] {
    EndChannelProgress(st, ch, false);
    AddChannelLog(st, ch, "Programming Success!");
  };
  if (ch == 0) {
    // Channel 1 continues with the info write also after a manual Program.
    if (Job(st, ch).ProgramInfoData)
      StartWriteInfo(st, ch);
    else if (st.AutoMode[ch])
      StartVerifyMain(st, ch);
    else
      endProgramming();
  } else {
    if (!st.AutoMode[ch])
      endProgramming();
    else if (Job(st, ch).ProgramInfoData)
      StartWriteInfo(st, ch);
    else
      StartVerifyMain(st, ch);
  }
}

void HandleInfoWriteReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  if (SendNextBlock(st, ch, InfoLimitKB(st, ch), ch == 0 ? 3 : 0, SendInfoWriteBlock)) return;
  SaysThenGoesOn(st, ch, "Info Data write success!", StartVerifyMain);
}

// The verify replies are judged by their status byte [8], and only when the
// reply passed its check and holds that byte: a verify success sends a chip to
// production, so a reply that proves nothing must never read as one.
void HandleVerifyReply(ConsoleState& st, int ch, uint8_t Status) {
  const uint8_t* reply = st.PacketBuf(ch);
  FillGauge(st, ch);
  if (Status == link::ResPacketChecksum || !ReplyHolds(st, ch, 8, 1))
    return FailChannel(st, ch, link::ResPacketChecksum);
  const uint8_t status = reply[8];
  if (IsSuccess(status)) {
    AddChannelLog(st, ch, "Main Data verify success!");
    if (Job(st, ch).ProtectAfterVerify) {
      StartWriteProtection(st, ch);
    } else {
      if (st.AutoMode[ch]) {
        ++st.OnlineCounter;
        if (st.Hooks.SetStatusPanel)
          st.Hooks.SetStatusPanel(3, "OnLine Counter: " + std::to_string(st.OnlineCounter));
      }
      EndChannelProgress(st, ch, false);
    }
    return;
  }
  if (status == link::ResChipChecksum) {
    AddChannelLog(st, ch,
                  Formatted("Current Buffer Checksum is: 0x%04X, 0x%04X.", Job(st, ch).s.ImageSum,
                            Job(st, ch).s.ImageCrc));
    // The chip's values only when the reply carries them ([10..11] and [14..15]).
    if (ReplyHolds(st, ch, 10, 6)) {
      const uint16_t chipSum = static_cast<uint16_t>(0x10000 - link::Get16(reply + 10));
      AddChannelLog(st, ch,
                    Formatted("Read out Chip Checksum is : 0x%04X, 0x%04X.", chipSum,
                              link::Get16(reply + 14)));
    }
  }
  FailChannel(st, ch, status);
}

void HandleInfoVerifyReply(ConsoleState& st, int ch, uint8_t Status) {
  FillGauge(st, ch);
  if (Status == link::ResPacketChecksum || !ReplyHolds(st, ch, 8, 1))
    return FailChannel(st, ch, link::ResPacketChecksum);
  const uint8_t status = st.PacketBuf(ch)[8];
  if (!IsSuccess(status)) return FailChannel(st, ch, status);
  AddChannelLog(st, ch, "EEP Data verify success!");
  EndChannelProgress(st, ch, false);
}

void HandleProtectReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  AddChannelLog(st, ch, "Chip Protected data write success!");
  SendRest(st, ch, link::CmdRestartAfterProtect);
  EndChannelProgress(st, ch, false);
}

// A read-out reply counts as a block only when the whole block and its check
// lie inside the decoded reply; a success status without them is no data.
uint8_t ReadBlockStatus(ConsoleState& st, int ch, uint8_t Status) {
  if (IsSuccess(Status) && !ReplyHolds(st, ch, BlockDataAt, BlockBytes)) return link::ResDataError;
  return Status;
}

void HandleReadMainReply(ConsoleState& st, int ch, uint8_t Status) {
  Status = ReadBlockStatus(st, ch, Status);
  if (!IsSuccess(Status)) {
    st.ReadRetries[ch] = static_cast<uint8_t>(st.ReadRetries[ch] - 1);
    if (st.ReadRetries[ch] > 0) return SendReadMain(st, ch);
    return FailChannel(st, ch, Status);
  }
  st.OpTimeout[ch] = 500;
  st.ReadRetries[ch] = ReadSendsPerBlock;
  const uint32_t base = Job(st, ch).ImageBaseAddr & ~uint32_t{0xF};
  GatherBlock(st, ch, ReadOutSize(st, ch, base, link::ImageBufferSize),
              std::size_t{st.BlockCounter[ch]} * 1024u);
  if (SendNextBlock(st, ch, st.TransferSizeKB[ch], 0, SendReadMain)) return;
  // The whole chip has come: only now does it replace the image (after the
  // operation has let go of the image it started with).
  st.FileLoaded = 1;
  AddChannelLog(st, ch, "Data has bee read out!");
  EndChannelProgress(st, ch, false);
  HandOverReadOut(st, st.ImageBuffer, base);
  if (st.Hooks.ShowImageSummary) st.Hooks.ShowImageSummary();
}

void HandleReadInfoReply(ConsoleState& st, int ch, uint8_t Status) {
  Status = ReadBlockStatus(st, ch, Status);
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  // The gathering has the info data's shape: a block goes where the info data
  // take it (positions wrap at 64 KB; what lies beyond the info data is
  // dropped), so a later block at the same place wins as it would there.
  const uint32_t pos = (uint32_t{st.BlockCounter[ch]} * 1024u) % 65536u;
  GatherBlock(st, ch, ReadOutSize(st, ch, 0, link::InfoBufferSize), pos);
  if (SendNextBlock(st, ch, st.TransferSizeKB[ch], 0, SendReadInfo)) return;
  // Every block has come: only now do they replace the info data.
  AddChannelLog(st, ch, "Read Out Info Data!");
  EndChannelProgress(st, ch, false);
  HandOverReadOut(st, st.InfoBuffer, 0);
  if (st.Hooks.ShowInfoData) st.Hooks.ShowInfoData();
}

void HandleReadChipIdReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  EndChannelProgress(st, ch, false);
}

void HandleChipInfoReply(ConsoleState& st, int ch, uint8_t Status) {
  if (!IsSuccess(Status)) return FailChannel(st, ch, Status);
  // A reply too short for the series' display shows nothing it does not hold.
  const char series = Job(st, ch).s.ChipSeries;
  const std::size_t shown = series == '7'   ? ChipSecurityReplyBytes
                            : series == '6' ? ChipInfoMemoryReplyBytes
                                            : 0;
  if (shown > 0 && !ReplyHolds(st, ch, 0, shown)) return FailChannel(st, ch, link::ResDataError);
  EndChannelProgress(st, ch, false);
  if (series == '7')
    ShowChipSecurity(st, ch + 1);
  else if (series == '6')
    ShowChipInfoMemory(st, ch + 1);
}

}  // namespace kestra::console
