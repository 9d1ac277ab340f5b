// The real console window, offscreen, on simulated programmers served on
// pseudo-terminals: the serial device table of the farm lists them, and the
// window finds them at start-up as it would find real devices.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "WaitFor.h"
#include "console/ChipSelect.h"
#include "console/ConsoleState.h"
#include "console/MainWindow.h"
#include "console/Operations.h"
#include "serial/TComm.h"
#include "sim/SimFarm.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"
#include "ui/ScriptedDialogs.h"
#include "ui/SortedComboBox.h"

namespace kestra::console::testing {

// Runs the event loop until cond holds or ms pass.
inline bool WaitFor(const std::function<bool()>& cond, int ms = 30000) {
  return kestra::testing::WaitFor(cond, ms);
}

// An Intel HEX file of the bytes at address 0.
inline void WriteIntelHex(const QString& path, const std::vector<uint8_t>& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  auto record = [&](uint16_t addr, uint8_t type, const uint8_t* p, int n) {
    uint8_t sum = static_cast<uint8_t>(n + (addr >> 8) + (addr & 0xFF) + type);
    QByteArray line = QByteArray(":") + QByteArray::number(n, 16).rightJustified(2, '0') +
                      QByteArray::number(addr, 16).rightJustified(4, '0') +
                      QByteArray::number(type, 16).rightJustified(2, '0');
    for (int i = 0; i < n; ++i) {
      line += QByteArray::number(p[i], 16).rightJustified(2, '0');
      sum = static_cast<uint8_t>(sum + p[i]);
    }
    line += QByteArray::number(static_cast<uint8_t>(-sum), 16).rightJustified(2, '0');
    f.write(line.toUpper() + "\r\n");
  };
  for (std::size_t off = 0; off < data.size(); off += 16) {
    if (off % 0x10000 == 0) {
      const uint8_t upper[2] = {static_cast<uint8_t>(off >> 24), static_cast<uint8_t>(off >> 16)};
      record(0, 0x04, upper, 2);
    }
    record(static_cast<uint16_t>(off), 0x00, data.data() + off,
           static_cast<int>(std::min<std::size_t>(16, data.size() - off)));
  }
  record(0, 0x01, nullptr, 0);
}

inline std::vector<uint8_t> Pattern(std::size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

// True when got begins with want (a chip's memory begins with the image).
inline bool SameStart(const std::vector<uint8_t>& want, const std::vector<uint8_t>& got) {
  return got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin());
}

class ConsoleFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    auto d = std::make_unique<ui::ScriptedDialogs>();
    dialogs = d.get();
    previous = ui::SetDialogs(std::move(d));
    ASSERT_TRUE(dir.isValid());
  }
  void TearDown() override {
    w.reset();
    farm.reset();
    ui::SetDialogs(std::move(previous));
  }

  // Starts the farm and the window; waits for every listed device (at most 4).
  void Start(int devices, sim::SimOptions options = {}) {
    farm = std::make_unique<sim::SimFarm>(devices, dir.filePath("serial-table").toStdString(),
                                          options);
    farm->ExportTable();
    w = std::make_unique<TProgramArmFrm>(st);
    w->FormShow();
    st.StartupDir = dir.path().toStdString();
    const int expected = std::min(devices, ChannelCount);
    ASSERT_TRUE(WaitFor([&] { return st.DevicesFound == expected; }))
        << "found " << int(st.DevicesFound) << Dump();
  }

  // The window on an empty device table: no channel has a port, so a test
  // plays the device by feeding the receive path itself.
  void StartWithoutDevices() {
    const QString table = dir.filePath("empty-serial-table");
    QFile f(table);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    ::setenv("KESTRA_SERIAL_TABLE", table.toLocal8Bit().constData(), 1);
    w = std::make_unique<TProgramArmFrm>(st);
    w->FormShow();
    st.StartupDir = dir.path().toStdString();
  }

  // The device on channel k: the port list is sorted by name ("pts/10"
  // before "pts/9"), so channel k need not be the farm's device k.
  sim::SimDevice& Dev(int k) {
    sim::SimDevice* d = farm->DeviceByPort(w->SerComm(k).CommName);
    EXPECT_NE(d, nullptr) << "no device on channel " << k;
    return d ? *d : farm->Device(k);
  }

  // As the chip selection dialog's OK does: seriesIndex 0 Active-Semi, 1 EPSON, 2 Apollo.
  void SelectChip(int seriesIndex, const std::string& name, uint8_t index) {
    PendingChip p;
    p.Index = index;
    p.Series = ChipSeriesList[seriesIndex].Series;
    ApplyChipRule(seriesIndex, name, p);
    CommitChip(st, p, name);
    w->MCUNameEdit->setText(QString::fromStdString(name));
  }

  // Loads an image of the chip's size through the window's own load path.
  std::vector<uint8_t> LoadImage(unsigned seed) {
    std::vector<uint8_t> image = Pattern(std::size_t{st.s.FlashSizeKB} * 1024, seed);
    const QString path = dir.filePath("image.hex");
    WriteIntelHex(path, image);
    EXPECT_TRUE(w->LoadObjectFile(path));
    return image;
  }

  // The memo and the boxes shown, for failure messages.
  std::string Dump() const {
    std::string d = "\n";
    for (const auto& l : Lines()) d += l + "\n";
    for (const auto& b : dialogs->boxes) d += "box: " + b.text.toStdString() + "\n";
    for (int k = 0; k < ChannelCount; ++k)
      d += "channel " + std::to_string(k + 1) + ": state " + std::to_string(st.ChannelState[k]) +
           " busy " + std::to_string(st.ChannelBusy[k]) + " timeout " +
           std::to_string(st.OpTimeout[k]) + " block " + std::to_string(st.BlockCounter[k]) + "\n";
    if (farm)
      for (int i = 0; i < farm->Count(); ++i) {
        const sim::SimDevice& dv = farm->Device(i);
        d += "device " + dv.PortName() + ": packets " + std::to_string(dv.TotalPackets()) +
             " program " + std::to_string(dv.PacketCount(0x95)) + " violations " +
             std::to_string(dv.ViolationCount()) + "\n";
        for (const auto& v : dv.Violations()) d += "  " + v + "\n";
      }
    return d;
  }

  bool AllIdle(int n = ChannelCount) const {
    for (int k = 0; k < n; ++k)
      if (st.ChannelBusy[k]) return false;
    return true;
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const QString& q : w->InfoMemo->Lines()) {
      std::string l = q.toStdString();
      if (l.rfind("> ", 0) == 0) {
        const auto sp = l.find(' ', 2);
        if (sp != std::string::npos) l = l.substr(sp + 1);
      }
      out.push_back(l);
    }
    return out;
  }
  int Find(const std::string& line, int from = 0) const {
    const auto l = Lines();
    for (std::size_t i = static_cast<std::size_t>(from); i < l.size(); ++i)
      if (l[i] == line) return static_cast<int>(i);
    return -1;
  }
  bool Has(const std::string& line) const { return Find(line) >= 0; }
  int CountOf(const std::string& line) const {
    const auto l = Lines();
    return static_cast<int>(std::count(l.begin(), l.end(), line));
  }
  bool WaitLine(const std::string& line, int ms = 30000) {
    return WaitFor([&] { return Has(line); }, ms);
  }

  QTemporaryDir dir;
  ui::ScriptedDialogs* dialogs = nullptr;
  std::unique_ptr<ui::DialogService> previous;
  std::unique_ptr<sim::SimFarm> farm;
  ConsoleState st;
  std::unique_ptr<TProgramArmFrm> w;
};

}  // namespace kestra::console::testing
