// A long run of the automatic sequence with on-line serial numbers: four
// simulated programmers (their own process, so the CPU time is the console's
// alone) and the real console window offscreen, which presses Auto BATCHES
// times on a 32 KB chip, each chip getting its own serial number. Prints the
// console's resident memory after the first SPAN batches and at the end, and
// its CPU time per batch over the first and the last SPAN batches; checks that
// every chip verified and that "S/N Initial" moved on by four per batch.
//
// With "clear", the log window is cleared after every batch (as "Clear
// Information" does), which leaves out the log lines the console keeps for
// its exit log: what remains is what the operations themselves hold.
//
//   console_ops_auto_soak [BATCHES [clear]]   (default 2000; SPAN is a tenth of it)
#include <sys/resource.h>

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "BenchUtil.h"
#include "DevsimProcess.h"
#include "console/ChannelMachine.h"
#include "console/ChipSelect.h"
#include "console/ConsoleState.h"
#include "console/IntText.h"
#include "console/MainWindow.h"
#include "console/Operations.h"
#include "ui/Memo.h"
#include "ui/ScriptedDialogs.h"

using namespace kestra;
using namespace kestra::console;
using kestra::bench::CpuSeconds;
using kestra::bench::RssMB;
using kestra::bench::RunUntil;
using kestra::bench::WriteHex;

namespace {

// The chip's bytes: a pattern of the offset.
std::vector<uint8_t> Image(std::size_t size) {
  std::vector<uint8_t> data(size);
  for (std::size_t at = 0; at < size; ++at)
    data[at] = static_cast<uint8_t>((at - at % 16) * 3 + (at % 16) * 11);
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  const int batches = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int span = batches / 10;
  const bool clearLog = argc > 2 && std::string(argv[2]) == "clear";
  if (span < 1) {
    std::fprintf(stderr, "usage: console_ops_auto_soak [BATCHES (>= 10)]\n");
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QTemporaryDir dir;
  const std::string table = dir.filePath("serial-table").toStdString();
  const kestra::bench::DevsimProcess sim(table, {"-n", "4"});
  if (!sim.Started()) {
    std::fprintf(stderr, "simulator did not start\n");
    return 1;
  }
  ui::SetDialogs(std::make_unique<ui::ScriptedDialogs>());

  ConsoleState st;
  TProgramArmFrm w(st);
  w.FormShow();
  st.StartupDir = dir.path().toStdString();
  if (!RunUntil([&] { return st.DevicesFound == 4; }, 10000)) {
    std::fprintf(stderr, "found %d of 4 devices\n", st.DevicesFound);
    return 1;
  }
  kestra::bench::ChooseChip(st, w, 0, "PAC5223xx", 3);
  const QString hex = dir.filePath("image.hex");
  if (!WriteHex(hex, Image(std::size_t{st.s.FlashSizeKB} * 1024)) || !w.LoadObjectFile(hex)) {
    std::fprintf(stderr, "image not loaded\n");
    return 1;
  }
  w.CheckBoxSN->setChecked(true);
  w.ChkBoxPCSN->setChecked(true);
  w.AddrEdit->setText("0x00007000");
  w.SNEdit->setText("0x00000001");
  const uint32_t firstSerial = 1;

  double cpuFirst = 0, cpuLast = 0, rssFirst = 0, cpuFrom = 0;
  const double cpu0 = CpuSeconds();
  int done = 0;
  for (; done < batches; ++done) {
    if (done == span) {
      cpuFirst = (CpuSeconds() - cpu0) / span;
      rssFirst = RssMB();
    }
    if (done == batches - span) cpuFrom = CpuSeconds();
    w.ops->AutoSpdBtnClick();
    const int32_t want = 4 * (done + 1);
    if (!RunUntil([&] { return !AnyChannelBusy(st) && st.OnlineCounter == want; }, 30000, 1)) {
      std::fprintf(stderr, "batch %d did not verify all four chips (counter %d)\n", done + 1,
                   st.OnlineCounter);
      return 1;
    }
    if (clearLog) w.ClearInformation1Click();
  }
  cpuLast = (CpuSeconds() - cpuFrom) / span;
  const double rssEnd = RssMB();
  const uint32_t serialNow = StrToCardinal(w.SNEdit->text().toStdString());
  const bool serialsOk = serialNow == firstSerial + 4u * static_cast<uint32_t>(batches);
  std::printf(
      "batches=%d chips=%d rss_after_%d_batches_mb=%.1f rss_end_mb=%.1f rss_growth_mb=%.1f "
      "cpu_ms_per_batch_first=%.3f cpu_ms_per_batch_last=%.3f serial_edit_ok=%d\n",
      done, st.OnlineCounter, span, rssFirst, rssEnd, rssEnd - rssFirst, cpuFirst * 1000.0,
      cpuLast * 1000.0, serialsOk ? 1 : 0);
  return serialsOk ? 0 : 1;
}
