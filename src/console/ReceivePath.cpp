#include "console/ReceivePath.h"

#include <QScopedValueRollback>
#include <algorithm>
#include <cstring>
#include <exception>

#include "console/ChannelMachine.h"
#include "console/StandAlone.h"
#include "link/Frame.h"
#include "link/Packets.h"
#include "ui/Dialogs.h"

namespace kestra::console {

namespace {

constexpr uint8_t ProgressPacketCode = 0xFD;

// One chunk of at most RxChunkMax bytes: kept bytes and the chunk always fit.
void ReceiveChunk(ConsoleState& st, int k, const uint8_t* Buffer, uint16_t BufferLength) {
  link::ChannelBuffers& b = *st.Buffers[k];
  // More pending bytes than a frame can still need: they are dropped.
  if (b.RxCount > link::RxKeepLimit) link::DropPendingRx(b);
  std::memcpy(b.RxBuf + b.RxCount, Buffer, BufferLength);
  b.RxCount = static_cast<uint16_t>(b.RxCount + BufferLength);

  link::LinkChannel& ln = *st.Link[k];
  // Every frame of the chunk is taken, whatever its handler does: a handler
  // that fails is reported once the chunk has been taken, and no frame is
  // handled twice or left behind.
  std::exception_ptr failure;
  uint16_t pos = 0;
  uint16_t kept = 0;
  for (;;) {
    kept = pos;
    uint16_t len = 0;
    if (!ln.ExtractRxFrame(pos, len)) break;
    uint16_t outLen = 0;
    if (ln.DecodeRxFrame(outLen, len) != 0) {
      link::GiveBackClosingFrameEnd(pos);
      continue;
    }
    try {
      if (b.PacketBuf[0] == ProgressPacketCode) {
        HandleProgressPacket(st, k);
      } else {
        const uint8_t status = ln.CheckRxPacket(outLen);
        if (st.DeviceOnline[k])
          DispatchReply(st, k, status);
        else
          HandleSearchReply(st, k);
      }
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  // The bytes from the start of the last, unfinished frame stay for the next
  // chunk (the extraction has already taken dropped runs out of the buffer).
  const uint16_t remaining = kept < b.RxCount ? static_cast<uint16_t>(b.RxCount - kept) : 0;
  if (remaining) std::memmove(b.RxBuf, b.RxBuf + kept, remaining);
  b.RxCount = remaining;
  if (failure) std::rethrow_exception(failure);
}

// The reader hands over at most RxChunkMax bytes at a time; more are taken in
// pieces of that size, so no byte is lost. The first handler failure is kept
// for the caller, once every piece has been taken.
void TakeBytes(ConsoleState& st, int k, const uint8_t* Buffer, std::size_t BufferLength,
               std::exception_ptr& failure) {
  while (BufferLength > 0) {
    const std::size_t n = std::min(BufferLength, link::RxChunkMax);
    try {
      ReceiveChunk(st, k, Buffer, static_cast<uint16_t>(n));
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    Buffer += n;
    BufferLength -= n;
  }
}

}  // namespace

void ChannelReceiveData(ConsoleState& st, int k, const uint8_t* Buffer, std::size_t BufferLength) {
  st.OpTimeout[k] = 1000;
  if (st.RxRunning[k]) {
    // The routine is already at work on this channel further up: it takes
    // these bytes when it has handled the ones it has.
    st.RxArrived[k].insert(st.RxArrived[k].end(), Buffer, Buffer + BufferLength);
    return;
  }
  // A box asked for meanwhile opens once every byte has been handled.
  ui::WithBoxesAfter([&] {
    const QScopedValueRollback<bool> running(st.RxRunning[k], true);
    std::exception_ptr failure;
    TakeBytes(st, k, Buffer, BufferLength, failure);
    while (!st.RxArrived[k].empty()) {
      std::vector<uint8_t> arrived;
      arrived.swap(st.RxArrived[k]);
      TakeBytes(st, k, arrived.data(), arrived.size(), failure);
    }
    if (failure) std::rethrow_exception(failure);
  });
}

}  // namespace kestra::console
