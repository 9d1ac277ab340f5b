// The automatic sequence (blank check, program, verify) of a 512 KB image on
// N simulated programmers paced at 1,000,000 baud 8N2, through the real
// console window offscreen. Prints the wall time of the sequence, the bytes
// each way on the busiest channel, two bounds and the console's own CPU time
// during the sequence:
//   line-rate bound: the bytes both ways x 11 bits / 1,000,000 baud, with no
//     device time (the simulator runs with 0 us of flash time per KB);
//   designed bound: the line-rate bound plus, for each exchange (a command and
//     its reply; the console sends the next command only after the reply), the
//     console's read-interval time-out, since a read completes only once the
//     line has been quiet that long after the reply.
// The run is timed in the event loop itself, which is quit when the last
// channel ends its operation.
//
//   console_ops_auto_bench DEVICES   (1..4)
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "DevsimProcess.h"
#include "WaitFor.h"
#include "console/ChannelMachine.h"
#include "console/ChipSelect.h"
#include "console/ConsoleState.h"
#include "console/MainWindow.h"
#include "console/Operations.h"
#include "link/Frame.h"
#include "link/Packets.h"
#include "serial/TComm.h"
#include "ui/ScriptedDialogs.h"

using namespace kestra;
using namespace kestra::console;

namespace {

constexpr double BitsPerByte = 11.0;  // start, 8 data, 2 stop
constexpr double Baud = 1000000.0;

using kestra::bench::CpuSeconds;
using kestra::bench::WriteHex;
using kestra::testing::WaitFor;

// The framed length of the packet the last sender left in a channel's buffer.
std::size_t FramedLength(link::ChannelBuffers& b) {
  const uint16_t n = static_cast<uint16_t>(b.PacketBuf[6] | (b.PacketBuf[7] << 8));
  return link::EncodeFrame(b.PacketBuf, b.TxFrame, static_cast<uint16_t>(8 + n + 2));
}

struct Sent {
  std::size_t bytes = 0;
  std::size_t packets = 0;  // one exchange each: the console waits for every reply
};

// What the console sends for one channel's sequence on a blank chip (blank
// check, the program blocks, verify), rebuilt with the same senders on a
// scratch channel that has no port.
Sent SentPackets(const ConsoleState& st) {
  auto buffers = std::make_unique<link::ChannelBuffers>();
  link::RandomSource random;
  link::LinkChannel ch(1, *buffers, st.s, st.ImageBuffer.data(), st.InfoBuffer.data(),
                       st.ProtectConfig.get(), random);
  Sent sent;
  auto count = [&] {
    sent.bytes += FramedLength(*buffers);
    ++sent.packets;
  };
  ch.SendParamCommand(link::CmdChipOperation, link::SubBlankCheck);
  count();
  for (uint32_t kb = 0; kb < st.s.FlashSizeKB; kb += 4) {
    ch.SendProgramBlock(link::CmdProgramBlock, static_cast<uint16_t>(kb), st.ImageBaseAddr, 4096);
    count();
  }
  ch.SendParamCommand(link::CmdChipOperation, link::SubVerifyMain);
  count();
  return sent;
}

}  // namespace

int main(int argc, char** argv) {
  const int devices = argc > 1 ? std::atoi(argv[1]) : 1;
  if (devices < 1 || devices > ChannelCount) {
    std::fprintf(stderr, "usage: console_ops_auto_bench DEVICES (1..4)\n");
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QTemporaryDir dir;
  const std::string table = dir.filePath("serial-table").toStdString();

  const kestra::bench::DevsimProcess sim(
      table, {"-n", std::to_string(devices), "--paced", "--flash-us-per-kb", "0"});
  if (!sim.Started()) {
    std::fprintf(stderr, "simulator did not start\n");
    return 1;
  }
  ui::SetDialogs(std::make_unique<ui::ScriptedDialogs>());

  int rc = 0;
  {
    ConsoleState st;
    TProgramArmFrm w(st);
    w.FormShow();
    if (!WaitFor([&] { return st.DevicesFound == devices; }, 10000)) {
      std::fprintf(stderr, "found %d of %d devices\n", st.DevicesFound, devices);
      return 1;
    }
    // An APOLLO512 chip: 512 KB of flash.
    kestra::bench::ChooseChip(st, w, 2, "APOLLO512-KBR", 1);
    std::vector<uint8_t> image(std::size_t{st.s.FlashSizeKB} * 1024);
    for (std::size_t i = 0; i < image.size(); ++i)
      image[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    const QString hex = dir.filePath("image.hex");
    if (!WriteHex(hex, image) || !w.LoadObjectFile(hex)) {
      std::fprintf(stderr, "image not loaded\n");
      return 1;
    }

    // Count what arrives on each channel on its way to the console, and the
    // reply frames (a device frame opens and closes with the only unescaped
    // 0xC0 bytes it holds).
    std::vector<std::size_t> received(ChannelCount, 0), frameEnds(ChannelCount, 0);
    for (int k = 0; k < devices; ++k) {
      serial::TComm& comm = w.SerComm(k);
      auto forward = comm.OnReceiveData;
      comm.OnReceiveData = [&received, &frameEnds, k, forward](serial::TComm* c, const uint8_t* b,
                                                               uint16_t n) {
        received[k] += n;
        frameEnds[k] += static_cast<std::size_t>(std::count(b, b + n, link::FrameEnd));
        forward(c, b, n);
      };
    }

    // Every channel's operation, good or failed, ends through the window's
    // view-page hook; the loop is quit when the last started channel is idle.
    const auto allIdle = [&] {
      for (int k = 0; k < devices; ++k)
        if (st.ChannelBusy[k]) return false;
      return true;
    };
    QEventLoop loop;
    const auto showPage = st.Hooks.ShowViewPage;
    st.Hooks.ShowViewPage = [&loop, &allIdle, showPage](int page) {
      if (showPage) showPage(page);
      if (allIdle()) loop.quit();
    };
    bool timedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
      timedOut = true;
      loop.quit();
    });

    const double cpu0 = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    limit.start(600000);
    w.ops->AutoSpdBtnClick();
    if (!allIdle()) loop.exec();
    const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    const double cpu = CpuSeconds() - cpu0;
    limit.stop();
    st.Hooks.ShowViewPage = showPage;
    if (timedOut || st.OnlineCounter < devices) {
      std::fprintf(stderr, "sequence did not finish: counter %d%s\n", st.OnlineCounter,
                   timedOut ? " (timed out)" : "");
      rc = 1;
    }
    const Sent sent = SentPackets(st);
    int busiest = 0;
    for (int k = 0; k < devices; ++k) {
      if (received[k] > received[busiest]) busiest = k;
      if (frameEnds[k] != 2 * sent.packets) {
        std::fprintf(stderr, "channel %d: %zu reply frames for %zu commands\n", k + 1,
                     frameEnds[k] / 2, sent.packets);
        rc = 1;
      }
    }
    const std::size_t onWire = sent.bytes + received[busiest];
    const double lineBound = static_cast<double>(onWire) * BitsPerByte / Baud;
    const uint32_t quietMs = w.SerComm(0).ReadIntervalTimeout();
    const double designedBound =
        lineBound + static_cast<double>(sent.packets) * static_cast<double>(quietMs) / 1000.0;
    std::printf(
        "devices=%d image_kb=%u exchanges=%zu bytes_to_device=%zu bytes_from_device=%zu "
        "read_interval_ms=%u wall_s=%.3f line_bound_s=%.3f designed_bound_s=%.3f "
        "wall_over_line=%.3f wall_over_designed=%.3f console_cpu_s=%.3f\n",
        devices, st.s.FlashSizeKB, sent.packets, sent.bytes, received[busiest], quietMs, seconds,
        lineBound, designedBound, seconds / lineBound, seconds / designedBound, cpu);
  }
  return rc;
}
