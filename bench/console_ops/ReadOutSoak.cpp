// A long run of main read-outs of a 2 MB chip on one console state without a
// display: every other read-out stops half-way (six failed sends of a block),
// the rest finish. The console's memory must not grow with the number of
// read-outs: compare the peak of a short and a long run (/usr/bin/time -v), e.g.
//   /usr/bin/time -v console_ops_readout_soak 10
//   /usr/bin/time -v console_ops_readout_soak 400
// Prints the read-outs run and the bytes held for a read-out at the end.
//
//   console_ops_readout_soak READOUTS
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "console/ConsoleState.h"

using namespace kestra::console;

namespace {

constexpr int Ch = 0;

void Block(ConsoleState& st, uint8_t fill) {
  std::memset(st.PacketBuf(Ch) + 8, fill, 4096);
  st.Buffers[Ch]->PacketLen = 8 + 4096 + 2;
  DispatchReply(st, Ch, kestra::link::ResSuccess);
}

void Failure(ConsoleState& st) {
  st.Buffers[Ch]->PacketLen = 11;
  st.PacketBuf(Ch)[8] = 0x2C;
  DispatchReply(st, Ch, 0x2C);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 100;
  ConsoleState st;
  st.s.FlashSizeKB = 2048;
  st.DeviceOnline[Ch] = 1;
  long finished = 0;
  for (int r = 0; r < runs; ++r) {
    StartOperation(st, Ch, OperationRequest(Operation::ReadMain));
    const bool stop = r % 2 == 0;
    for (int b = 0; st.ChannelState[Ch] == StateReadMain; ++b) {
      if (stop && b == 256) {
        while (st.ChannelState[Ch] == StateReadMain) Failure(st);
      } else {
        Block(st, static_cast<uint8_t>(r + b));
      }
    }
    finished += st.FileLoaded != 0 && !stop;
  }
  std::printf("read-outs %d finished %ld held %zu bytes (capacity %zu)\n", runs, finished,
              st.ReadOutBytes.size(), st.ReadOutBytes.capacity());
  return 0;
}
