// The console's own receive routine over arbitrary chunk sequences, on a
// console state without a display: the chunks reach every channel in every
// operation, begun by the machine's own starters as the commands begin them,
// and off-line, where replies go to the search check; so the receive path,
// the answer gate, the progress monitor and every reply handler see them.
//
// Input: a sequence of records, each
//   [c] [f] [length, 15 bits little-endian, taken modulo 4097; the top bit:
//   the device owes an answer first (a REST went out, or a running operation
//   times out), so the operation waits for it to identify again] [bytes]
// (fewer bytes at the end of the input).
//   c bits 0-1: the channel; bit 2: set the channel up and begin an operation
//     first, with the rest of c and f (otherwise the chunk simply follows the
//     channel's earlier ones); bit 3: the channel is on-line; bits 4-5: the
//     chip series ('6', '7', '3' or none); bit 6: on-line serial numbers; bit
//     7: info data programmed.
//   f bits 0-3: what to begin (the table Begins); bits 4-6: the flash and info
//     sizes (and chip start address); bit 7: protection after verify.
// A chunk longer than the reader's largest is allowed: the routine takes it in
// pieces. A channel that still runs an operation when another is to begin
// times out first, as its watchdog would end it.
//
// Whatever came before, every channel must be back in step:
// - at the next good frame: each channel gets two good final progress
//   packets, one chunk each, and the second must be counted by the monitor
//   (the first may be lost to a frame left open that decodes with its opening
//   FrameEnd as the closing one);
// - for the next command: Auto on a 4 KB chip, started by the machine's
//   starter, completes once the device answers (the identification if the
//   channel asks for one, then blank check, program and verify), counting one
//   good chip.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "ReplyBytes.h"
#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "console/ConsoleState.h"
#include "console/ReceivePath.h"

using namespace kestra;
using namespace kestra::console;

namespace {

constexpr std::size_t MaxRecord = 4096;

// What a record can begin: the operations of the commands, Auto with on-line
// serial numbers, nothing, and stand-alone production.
enum class Begin : uint8_t { Operation, AutoWithSerial, Nothing, StandAlone };
struct BeginRow {
  Begin what;
  Operation op;
};
constexpr BeginRow Begins[16] = {
    {Begin::Operation, Operation::Download},   {Begin::Operation, Operation::Auto},
    {Begin::Operation, Operation::BlankCheck}, {Begin::Operation, Operation::Erase},
    {Begin::Operation, Operation::Program},    {Begin::Operation, Operation::Verify},
    {Begin::Operation, Operation::Protect},    {Begin::Operation, Operation::ReadMain},
    {Begin::Operation, Operation::ReadChipId}, {Begin::Operation, Operation::ReadChipInfo},
    {Begin::Operation, Operation::WriteInfo},  {Begin::Operation, Operation::ReadInfo},
    {Begin::Operation, Operation::VerifyInfo}, {Begin::AutoWithSerial, Operation::Auto},
    {Begin::Nothing, Operation::BlankCheck},   {Begin::StandAlone, Operation::BlankCheck},
};

constexpr uint16_t FlashKB[8] = {0, 2, 4, 32, 128, 512, 2048, 3072};
constexpr uint16_t InfoSize[8] = {0, 500, 1024, 2048, 8192, 16384, 32768, 65535};
constexpr char Series[4] = {'6', '7', '3', 0};

// A final progress packet of a good chip, framed as a device sends it.
constexpr uint8_t GoodChip[] = {0xC0, 0xFD, 0xF0, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0D, 0xC0};

// Ends a running operation as its watchdog would.
void TimeOut(ConsoleState& st, int k) {
  while (st.ChannelBusy[k]) {
    st.OpTimeout[k] = 1;
    ChannelTick(st, k);
  }
}

void Setup(ConsoleState& st, int k, uint8_t c, uint8_t f, bool owed) {
  if ((c & 0x04) == 0) return;
  TimeOut(st, k);
  st.DeviceOnline[k] = (c & 0x08) != 0;
  auto& s = st.s;
  s.ChipSeries = Series[(c >> 4) & 3];
  st.ProgramInfoData = (c & 0x80) != 0;
  st.ProtectAfterVerify = (f & 0x80) != 0;
  s.FlashSizeKB = FlashKB[(f >> 4) & 7];
  s.InfoMemSize = InfoSize[(f >> 4) & 7];
  s.ChipStartAddr = st.ImageBaseAddr = (f & 0x10) ? 0x2FF003 : 0;
  st.ChipEndAddr = s.ChipStartAddr + s.FlashSizeKB * 1024u - 1u;
  s.SnValue = 0x11223344;
  s.SnGain = 1;
  s.SnAddr = s.ChipStartAddr;
  s.SnLength = (c & 0x40) ? 8 : 4;
  if (owed) SendRest(st, k, link::CmdRestart);
  const BeginRow& row = Begins[f & 0x0F];
  switch (row.what) {
    case Begin::Operation:
      return StartOperation(st, k, OperationRequest(row.op));
    case Begin::AutoWithSerial:
      return StartOperation(st, k, OperationRequest(Operation::Auto, true));
    case Begin::Nothing:
      return;
    case Begin::StandAlone:
      EnterStandAlone(st, k);
      return SendRest(st, k, link::CmdRestart);
  }
}

using kestra::testing::Framed;
using kestra::testing::IdentReply;
using kestra::testing::ReplyPacket;

void Feed(ConsoleState& st, int k, const std::vector<uint8_t>& bytes) {
  ChannelReceiveData(st, k, bytes.data(), bytes.size());
}

// The next command after whatever came: Auto on a 4 KB chip (one block)
// completes once the device answers, and counts one good chip.
void NextCommandCompletes(ConsoleState& st, int k) {
  TimeOut(st, k);
  st.DeviceOnline[k] = 1;
  st.s.FlashSizeKB = 4;
  st.s.ChipStartAddr = st.ImageBaseAddr = 0;
  st.ChipEndAddr = 0xFFF;
  st.ProgramInfoData = false;
  st.ProtectAfterVerify = false;
  const int32_t counted = st.OnlineCounter;
  StartOperation(st, k, OperationRequest(Operation::Auto));
  if (st.ChannelState[k] == StateReidentify) Feed(st, k, Framed(IdentReply("KestraGangA4 V2.3")));
  if (st.ChannelState[k] != StateBlankCheck) __builtin_trap();
  Feed(st, k, Framed(ReplyPacket(0x93, 0x05, {0x00})));
  if (st.ChannelState[k] != StateProgram) __builtin_trap();
  Feed(st, k, Framed(ReplyPacket(0x95, 0, {0x00})));
  if (st.ChannelState[k] != StateVerify) __builtin_trap();
  Feed(st, k, Framed(ReplyPacket(0x93, 0x55, std::vector<uint8_t>(16, 0))));
  if (st.ChannelBusy[k] || st.OnlineCounter != counted + 1 || st.Gate[k] != AnswerGate::Clear)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const auto st = std::make_unique<ConsoleState>();
  for (int k = 0; k < ChannelCount; ++k) {
    TimeOut(*st, k);
    st->ResetRx(k);
    st->Buffers[k]->PacketLen = 0;
    st->ChannelState[k] = StateIdle;
    st->DeviceOnline[k] = 0;
    st->AutoMode[k] = 0;
    st->Gate[k] = AnswerGate::Clear;
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
    NextCommandCompletes(*st, k);
  }
  return 0;
}
