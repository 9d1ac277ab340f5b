// The console's own receive routine over arbitrary chunk sequences, on a
// console state without a display: the chunks reach every channel in every
// operation state (and off-line, where replies go to the search check), so
// the receive path, the progress monitor and every reply handler see them.
//
// Input: a sequence of records, each
//   [c] [f] [length, 15 bits little-endian, taken modulo 4097; the top bit:
//   the device owes an answer, so the operation waits for it to identify
//   again] [bytes]
// (fewer bytes at the end of the input).
//   c bits 0-1: the channel; bit 2: set the channel up and begin an operation
//     first, with the rest of c and f (otherwise the chunk simply follows the
//     channel's earlier ones); bit 3: the channel is on-line; bits 4-5: the
//     chip series ('6', '7', '3' or none); bit 6: automatic sequence; bit 7:
//     info data programmed.
//   f bits 0-3: the operation state to begin; bits 4-6: the flash and info
//     sizes (and chip start address); bit 7: protection after verify.
// A chunk longer than the reader's largest is allowed: the routine takes it in
// pieces.
//
// Whatever came before, every channel must be back in step at the next good
// frame: after the input each channel gets two good final progress packets,
// one chunk each, and the second must be counted by the monitor (the first
// may be lost to a frame left open that decodes with its opening FrameEnd as
// the closing one).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "console/ConsoleState.h"
#include "console/ReceivePath.h"

using namespace kestra;
using namespace kestra::console;

namespace {

constexpr std::size_t MaxRecord = 4096;

constexpr uint8_t States[16] = {
    StateDownloadConfig, StateDownloadMain, StateDownloadInfo, StateBlankCheck,
    StateErase,          StateProgram,      StateVerify,       StateProtectWrite,
    StateReadMain,       StateReadChipId,   StateReadChipInfo, StateInfoWrite,
    StateReadInfo,       StateVerifyInfo,   StateIdle,         StateStandAlone};

constexpr uint16_t FlashKB[8] = {0, 2, 4, 32, 128, 512, 2048, 3072};
constexpr uint16_t InfoSize[8] = {0, 500, 1024, 2048, 8192, 16384, 32768, 65535};
constexpr char Series[4] = {'6', '7', '3', 0};

// Begins the operation of state on channel k as its starter or command does.
void Begin(ConsoleState& st, int k, uint8_t state) {
  switch (state) {
    case StateDownloadMain:
      return StartMainDownload(st, k);
    case StateDownloadInfo:
      return StartInfoDownload(st, k);
    case StateBlankCheck:
      return StartBlankCheck(st, k);
    case StateErase:
      return StartErase(st, k);
    case StateProgram:
      return StartProgramMain(st, k);
    case StateVerify:
      return StartVerifyMain(st, k);
    case StateProtectWrite:
      return StartWriteProtection(st, k);
    case StateInfoWrite:
      return StartWriteInfo(st, k);
    case StateVerifyInfo:
      return StartVerifyInfo(st, k);
    case StateReadMain:
      st.ReadRetries.fill(ReadSendsPerBlock);
      st.ChannelState[k] = state;
      return StartChannelProgress(st, k, 500, true);
    case StateReadInfo:
      st.ChannelState[k] = state;
      StartChannelProgress(st, k, 300, st.s.InfoMemSize >= 1024);
      st.TransferSizeKB[k] = static_cast<uint16_t>((st.s.InfoMemSize + 1023u) / 1024u);
      return;
    case StateDownloadConfig:
    case StateReadChipId:
    case StateReadChipInfo:
      st.ChannelState[k] = state;
      return StartChannelProgress(st, k, state == StateDownloadConfig ? 500 : 200,
                                  state == StateDownloadConfig);
    default:
      st.ChannelState[k] = state;
      return;
  }
}

// A final progress packet of a good chip, framed as a device sends it.
constexpr uint8_t GoodChip[] = {0xC0, 0xFD, 0xF0, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0D, 0xC0};

void Setup(ConsoleState& st, int k, uint8_t c, uint8_t f, bool owed) {
  if ((c & 0x04) == 0) return;
  st.DeviceOnline[k] = (c & 0x08) != 0;
  st.s.ChipSeries = Series[(c >> 4) & 3];
  st.AutoMode[k] = (c & 0x40) != 0;
  st.ProgramInfoData = (c & 0x80) != 0;
  st.ProtectAfterVerify = (f & 0x80) != 0;
  st.s.FlashSizeKB = FlashKB[(f >> 4) & 7];
  st.s.InfoMemSize = InfoSize[(f >> 4) & 7];
  st.ImageBaseAddr = (f & 0x10) ? 0x2FF003 : 0;
  st.ResetRx(k);
  const uint8_t state = States[f & 0x0F];
  if (owed) MarkAnswerOwed(st, k);
  StartWhenIdentified(st, k, [&st, k, state] { Begin(st, k, state); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const auto st = std::make_unique<ConsoleState>();
  for (int k = 0; k < ChannelCount; ++k) {
    st->ResetRx(k);
    st->Buffers[k]->PacketLen = 0;
    st->ChannelState[k] = StateIdle;
    st->ChannelBusy[k] = 0;
    st->DeviceOnline[k] = 0;
    st->NeedsIdent[k] = 0;
    st->IdentsOwed[k] = 0;
    st->AfterIdent[k] = nullptr;
  }
  st->DevicesFound = 0;
  std::size_t i = 0;
  while (i + 4 <= size) {
    const uint8_t c = data[i], f = data[i + 1];
    std::size_t n = (data[i + 2] | ((data[i + 3] & 0x7F) << 8)) % (MaxRecord + 1);
    const bool owed = (data[i + 3] & 0x80) != 0;
    i += 4;
    if (n > size - i) n = size - i;
    const int k = c & 3;
    Setup(*st, k, c, f, owed);
    ChannelReceiveData(*st, k, data + i, n);
    // Unframed bytes kept between chunks never exceed the receive buffer.
    if (st->RxCount(k) > kestra::link::RxBufSize) __builtin_trap();
    i += n;
  }
  for (int k = 0; k < ChannelCount; ++k) {
    ChannelReceiveData(*st, k, GoodChip, sizeof GoodChip);
    const uint32_t ok = st->ChannelOkCount[k];
    ChannelReceiveData(*st, k, GoodChip, sizeof GoodChip);
    if (st->ChannelOkCount[k] != ok + 1) __builtin_trap();
  }
  return 0;
}
