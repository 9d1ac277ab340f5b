// The automatic sequence (blank check, program, verify) of a 512 KB image on
// N simulated programmers paced at 1,000,000 baud 8N2, through the real
// console window offscreen. Prints the wall time of the sequence, the line-rate
// bound (bytes on the wire of the busiest channel x 11 bits / 1,000,000 baud)
// and the console's own CPU time during the sequence.
//
//   console_ops_auto_bench DEVICES   (1..4)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

using kestra::testing::WaitFor;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool WriteHex(const QString& path, const std::vector<uint8_t>& data) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  auto record = [&](uint16_t addr, uint8_t type, const uint8_t* p, int n) {
    char line[64];
    int len = std::snprintf(line, sizeof line, ":%02X%04X%02X", n, addr, type);
    uint8_t sum = static_cast<uint8_t>(n + (addr >> 8) + addr + type);
    for (int i = 0; i < n; ++i) {
      len += std::snprintf(line + len, sizeof line - len, "%02X", p[i]);
      sum = static_cast<uint8_t>(sum + p[i]);
    }
    std::snprintf(line + len, sizeof line - len, "%02X\r\n", static_cast<uint8_t>(-sum));
    f.write(line);
  };
  for (std::size_t off = 0; off < data.size(); off += 16) {
    if (off % 0x10000 == 0) {
      const uint8_t upper[2] = {static_cast<uint8_t>(off >> 24), static_cast<uint8_t>(off >> 16)};
      record(0, 4, upper, 2);
    }
    record(static_cast<uint16_t>(off), 0, data.data() + off, 16);
  }
  record(0, 1, nullptr, 0);
  return true;
}

// The framed length of the packet the last sender left in a channel's buffer.
std::size_t FramedLength(link::ChannelBuffers& b) {
  const uint16_t n = static_cast<uint16_t>(b.PacketBuf[6] | (b.PacketBuf[7] << 8));
  return link::EncodeFrame(b.PacketBuf, b.TxFrame, static_cast<uint16_t>(8 + n + 2));
}

// Bytes the console sends for one channel's sequence, rebuilt with the same
// senders on a scratch channel that has no port.
std::size_t SentBytes(const ConsoleState& st) {
  auto buffers = std::make_unique<link::ChannelBuffers>();
  link::RandomSource random;
  link::LinkChannel ch(1, *buffers, st.s, st.ImageBuffer.get(), st.InfoBuffer.get(),
                       st.ProtectConfig.get(), random);
  std::size_t total = 0;
  ch.SendParamCommand(link::CmdChipOperation, link::SubBlankCheck);
  total += FramedLength(*buffers);
  for (uint32_t kb = 0; kb < st.s.FlashSizeKB; kb += 4) {
    ch.SendProgramBlock(link::CmdProgramBlock, static_cast<uint16_t>(kb), st.ImageBaseAddr, 4096);
    total += FramedLength(*buffers);
  }
  ch.SendParamCommand(link::CmdChipOperation, link::SubVerifyMain);
  total += FramedLength(*buffers);
  return total;
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

  const pid_t sim = fork();
  if (sim == 0) {
    const int quiet = open("/dev/null", O_WRONLY);
    if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
    const std::string n = std::to_string(devices);
    execl(KESTRA_DEVSIM_PATH, "kestra-devsim", "-n", n.c_str(), "--table", table.c_str(), "--paced",
          "--flash-us-per-kb", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  auto stopSim = [&] {
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
  };
  if (!WaitFor([&] { return QFile(QString::fromStdString(table)).size() > 0; }, 10000)) {
    std::fprintf(stderr, "simulator did not start\n");
    stopSim();
    return 1;
  }
  setenv("KESTRA_SERIAL_TABLE", table.c_str(), 1);
  ui::SetDialogs(std::make_unique<ui::ScriptedDialogs>());

  int rc = 0;
  {
    ConsoleState st;
    TProgramArmFrm w(st);
    w.FormShow();
    if (!WaitFor([&] { return st.DevicesFound == devices; }, 10000)) {
      std::fprintf(stderr, "found %d of %d devices\n", st.DevicesFound, devices);
      stopSim();
      return 1;
    }
    // An APOLLO512 chip: 512 KB of flash.
    PendingChip p;
    p.Index = 1;
    p.Series = '6';
    ApplyChipRule(2, "APOLLO512-KBR", p);
    CommitChip(st, p, "APOLLO512-KBR");
    w.MCUNameEdit->setText("APOLLO512-KBR");
    std::vector<uint8_t> image(std::size_t{st.s.FlashSizeKB} * 1024);
    for (std::size_t i = 0; i < image.size(); ++i)
      image[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    const QString hex = dir.filePath("image.hex");
    if (!WriteHex(hex, image) || !w.LoadObjectFile(hex)) {
      std::fprintf(stderr, "image not loaded\n");
      stopSim();
      return 1;
    }

    // Count what arrives on each channel on its way to the console.
    std::vector<std::size_t> received(ChannelCount, 0);
    for (int k = 0; k < devices; ++k) {
      serial::TComm& comm = w.SerComm(k);
      auto forward = comm.OnReceiveData;
      comm.OnReceiveData = [&received, k, forward](serial::TComm* c, const uint8_t* b, uint16_t n) {
        received[k] += n;
        forward(c, b, n);
      };
    }

    const double cpu0 = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    w.ops->AutoSpdBtnClick();
    const bool done = WaitFor(
        [&] {
          if (st.OnlineCounter < devices) return false;
          for (int k = 0; k < devices; ++k)
            if (st.ChannelBusy[k]) return false;
          return true;
        },
        600000);
    const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    const double cpu = CpuSeconds() - cpu0;
    if (!done) {
      std::fprintf(stderr, "sequence did not finish: counter %d\n", st.OnlineCounter);
      rc = 1;
    }
    const std::size_t sent = SentBytes(st);
    std::size_t busiest = 0;
    for (int k = 0; k < devices; ++k) busiest = std::max(busiest, sent + received[k]);
    const double bound = static_cast<double>(busiest) * BitsPerByte / Baud;
    std::printf(
        "devices=%d image_kb=%u wall_s=%.3f line_bound_s=%.3f wall_over_bound=%.3f "
        "console_cpu_s=%.3f bytes_on_wire_per_channel=%zu\n",
        devices, st.s.FlashSizeKB, seconds, bound, seconds / bound, cpu, busiest);
  }
  stopSim();
  return rc;
}
