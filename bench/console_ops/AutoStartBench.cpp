// The start of an on-line batch: the time from pressing Auto to the fourth
// channel's first packet at its programmer, on a 2 MB AMA3B2KK-KBR image with
// on-line serial numbers on, through the real console window offscreen. The
// four simulated programmers run in this process, so the arrival is the
// device's own packet count: after the press the benchmark spins until every
// device has counted its blank check. The devices answer every blank check
// with a flash error, so each round ends at once and the next one starts from
// idle channels that owe nothing. Prints each round, then the median, the
// fastest and the slowest round in microseconds.
//
//   console_ops_auto_start_bench [ROUNDS]   (default 25, after 3 rounds not counted)
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "WaitFor.h"
#include "console/ChipSelect.h"
#include "console/ConsoleState.h"
#include "console/MainWindow.h"
#include "serial/TComm.h"
#include "sim/SimFarm.h"
#include "ui/ScriptedDialogs.h"

using namespace kestra;
using namespace kestra::console;

namespace {

constexpr int Devices = 4;
constexpr int WarmUpRounds = 3;
constexpr const char* Chip = "AMA3B2KK-KBR";  // 2 MB from address 0
constexpr uint8_t ChipIndex = 10;

using kestra::testing::WaitFor;
using Clock = std::chrono::steady_clock;

// The fewest blank checks a device has counted.
int FewestBlankChecks(sim::SimDevice* const (&devices)[Devices]) {
  int fewest = devices[0]->ChipOpCount(sim::DevSubBlankCheck);
  for (sim::SimDevice* d : devices)
    fewest = std::min(fewest, d->ChipOpCount(sim::DevSubBlankCheck));
  return fewest;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 25;
  if (rounds < 1) {
    std::fprintf(stderr, "usage: console_ops_auto_start_bench [ROUNDS]\n");
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QTemporaryDir dir;
  sim::SimFarm farm(Devices, dir.filePath("serial-table").toStdString());
  farm.ExportTable();
  ui::SetDialogs(std::make_unique<ui::ScriptedDialogs>());

  ConsoleState st;
  TProgramArmFrm w(st);
  w.FormShow();
  if (!WaitFor([&] { return st.DevicesFound == Devices; }, 10000)) {
    std::fprintf(stderr, "found %d of %d devices\n", st.DevicesFound, Devices);
    return 1;
  }
  sim::SimDevice* devices[Devices];
  for (int k = 0; k < Devices; ++k) {
    devices[k] = farm.DeviceByPort(w.SerComm(k).CommName);
    if (!devices[k]) {
      std::fprintf(stderr, "no device on channel %d\n", k + 1);
      return 1;
    }
    sim::CommandFault fail;
    fail.status = sim::DevFlashError;
    devices[k]->SetCommandFault(sim::DevCmdChipOp, sim::DevSubBlankCheck, fail);
  }

  kestra::bench::ChooseChip(st, w, 2, Chip, ChipIndex);
  // A raw image of the whole chip, loaded at the chip's start (0).
  const QString bin = dir.filePath("image.bin");
  {
    QByteArray image(static_cast<qsizetype>(st.s.FlashSizeKB) * 1024, '\0');
    for (qsizetype i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + (i >> 9));
    QFile f(bin);
    if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size()) {
      std::fprintf(stderr, "image not written\n");
      return 1;
    }
  }
  if (!w.LoadObjectFile(bin)) {
    std::fprintf(stderr, "image not loaded\n");
    return 1;
  }
  w.CheckBoxSN->setChecked(true);
  w.ChkBoxPCSN->setChecked(true);
  w.AddrEdit->setText("0x00001000");
  w.SNEdit->setText("0x11223344");

  std::vector<double> us;
  for (int round = 0; round < WarmUpRounds + rounds; ++round) {
    const int before = FewestBlankChecks(devices);
    const Clock::time_point pressed = Clock::now();
    w.AutoSpdBtn->click();
    const Clock::time_point limit = pressed + std::chrono::seconds(10);
    while (FewestBlankChecks(devices) == before) {
      if (Clock::now() > limit) {
        std::fprintf(stderr, "round %d: a channel's first packet did not arrive\n", round);
        return 1;
      }
    }
    const double elapsed =
        std::chrono::duration<double, std::micro>(Clock::now() - pressed).count();
    if (round >= WarmUpRounds) {
      us.push_back(elapsed);
      std::printf("round=%d first_packet_of_fourth_channel_us=%.1f\n", round - WarmUpRounds,
                  elapsed);
    }
    if (!WaitFor(
            [&] {
              return std::none_of(st.ChannelBusy.begin(), st.ChannelBusy.end(),
                                  [](uint8_t b) { return b != 0; });
            },
            10000)) {
      std::fprintf(stderr, "round %d: the channels did not end\n", round);
      return 1;
    }
  }
  std::vector<double> sorted = us;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t n = sorted.size();
  const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
  std::printf("chip=%s image_kb=%u devices=%d rounds=%zu median_us=%.1f min_us=%.1f max_us=%.1f\n",
              Chip, st.s.FlashSizeKB, Devices, n, median, sorted.front(), sorted.back());
  return farm.ViolationCount() == 0 ? 0 : 1;
}
