// serial_bench: 4 MB each way through one pseudo-terminal pair with the
// console's port settings (MB/s), then the CPU seconds the component uses while
// the port sits open and idle for 5 s.
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <thread>

#include "PtyPair.h"
#include "serial/TComm.h"

using kestra::serial::TComm;
using kestra::serial::test::PtyPair;

namespace {

constexpr size_t TotalBytes = 4u << 20;
constexpr uint16_t BlockSize = 4096;

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop until done() holds (checked after every event burst).
void RunUntil(const std::function<bool()>& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

double MBps(size_t bytes, qint64 ns) { return bytes / (1024.0 * 1024.0) / (ns / 1e9); }

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  PtyPair pty;
  TComm comm;
  kestra::serial::ApplyDeviceLinkSettings(comm, 2);
  comm.CommName = pty.PortName();
  size_t received = 0;
  bool intact = true;
  comm.OnReceiveData = [&](TComm*, const uint8_t* buf, uint16_t len) {
    for (uint16_t i = 0; i < len; ++i) intact &= buf[i] == static_cast<uint8_t>(received + i);
    received += len;
  };
  comm.OpenPort();

  std::vector<uint8_t> data(TotalBytes);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);

  // Device -> component.
  QElapsedTimer t;
  t.start();
  std::thread device([&] { pty.Write(data); });
  RunUntil([&] { return received >= TotalBytes; });
  const qint64 rxNs = t.nsecsElapsed();
  device.join();

  // Component -> device.
  size_t deviceGot = 0;
  bool deviceIntact = true;
  t.restart();
  std::thread sink([&] {
    auto got = pty.Read(TotalBytes, 60000);
    deviceGot = got.size();
    deviceIntact = got == data;
  });
  for (size_t off = 0; off < TotalBytes; off += BlockSize)
    comm.SendData(data.data() + off, BlockSize);
  sink.join();
  const qint64 txNs = t.nsecsElapsed();

  // Idle: the port open, nothing moving.
  QCoreApplication::processEvents();
  const double cpu0 = CpuSeconds();
  QEventLoop idle;
  QTimer::singleShot(5000, &idle, &QEventLoop::quit);
  idle.exec();
  const double idleCpu = CpuSeconds() - cpu0;
  comm.ClosePort();

  std::printf("receive  %.2f MB/s (%zu bytes, %s)\n", MBps(TotalBytes, rxNs), received,
              intact ? "intact" : "CORRUPTED");
  std::printf("send     %.2f MB/s (%zu bytes, %s)\n", MBps(TotalBytes, txNs), deviceGot,
              deviceIntact ? "intact" : "CORRUPTED");
  std::printf("idle cpu %.4f s over 5 s\n", idleCpu);
  return intact && deviceIntact && received == TotalBytes && deviceGot == TotalBytes ? 0 : 1;
}
