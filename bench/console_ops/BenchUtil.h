// What the console benchmarks share: the process's CPU time and resident
// memory, an Intel HEX file of given bytes, an event loop run until a
// condition holds, and the chip chosen as the chip selection's OK chooses it.
#pragma once

#include <sys/resource.h>

#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "console/ChipSelect.h"
#include "console/ConsoleState.h"
#include "console/MainWindow.h"

namespace kestra::bench {

inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline double RssMB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      double kb = 0;
      status >> kb;
      return kb / 1024.0;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

// An Intel HEX file of data from address 0 (16-byte records).
inline bool WriteHex(const QString& path, const std::vector<uint8_t>& data) {
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

// Runs the event loop until cond holds or ms pass, checking every pollMs
// without spinning; cond's last value.
inline bool RunUntil(const std::function<bool()>& cond, int ms, int pollMs = 20) {
  QEventLoop loop;
  QTimer poll, limit;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (cond()) loop.quit();
  });
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
  poll.start(pollMs);
  limit.start(ms);
  if (!cond()) loop.exec();
  return cond();
}

// Chooses the chip as the chip selection's OK does: series 0 Active-Semi,
// 1 EPSON, 2 Apollo; index, the chip's place in its list.
inline void ChooseChip(console::ConsoleState& st, console::TProgramArmFrm& w, int series,
                       const char* name, uint8_t index) {
  console::PendingChip p;
  p.Index = index;
  p.Series = console::ChipSeriesList[series].Series;
  console::ApplyChipRule(series, name, p);
  console::CommitChip(st, p, name);
  w.MCUNameEdit->setText(QString::fromUtf8(name));
}

}  // namespace kestra::bench
