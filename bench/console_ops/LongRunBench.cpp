// A long stand-alone production run: four simulated programmers (their own
// process, so the CPU time is the console's alone) report a chip every
// INTERVAL ms each to the real console window offscreen until it has counted
// CHIPS chips. Prints the console's resident memory after the first 2,000
// chips and at the end, the bytes of log files written against the bytes of
// memo text produced, and the console's CPU time per chip over the first and
// the last 2,000 chips (each span holds one production log save), and both
// figures every 20,000 chips on the way.
//
//   console_ops_long_run_bench [CHIPS [INTERVAL_MS]]   (default 100000 4)
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
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
#include <vector>

#include "BenchUtil.h"
#include "DevsimProcess.h"
#include "WaitFor.h"
#include "console/ChipSelect.h"
#include "console/ConsoleState.h"
#include "console/MainWindow.h"
#include "console/Operations.h"
#include "console/StandAlone.h"
#include "ui/Memo.h"
#include "ui/ScriptedDialogs.h"

using namespace kestra;
using namespace kestra::console;
using kestra::bench::CpuSeconds;
using kestra::bench::RssMB;
using kestra::bench::RunUntil;
using kestra::bench::WriteHex;

namespace {

constexpr uint64_t Span = 2000;  // chips per measured span

// The chip's bytes: a pattern of the offset.
std::vector<uint8_t> Image(std::size_t size) {
  std::vector<uint8_t> data(size);
  for (std::size_t at = 0; at < size; ++at)
    data[at] = static_cast<uint8_t>(at - at % 16 + (at % 16) * 7);
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t chips = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const int interval = argc > 2 ? std::atoi(argv[2]) : 4;
  if (chips < 2 * Span || interval < 1) {
    std::fprintf(stderr, "usage: console_ops_long_run_bench [CHIPS (>= 4000) [INTERVAL_MS]]\n");
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QTemporaryDir dir;
  const std::string table = dir.filePath("serial-table").toStdString();
  const QString logs = dir.filePath("logs");
  QDir().mkpath(logs);

  const kestra::bench::DevsimProcess sim(
      table, {"-n", "4", "--standalone-interval", std::to_string(interval)});
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
    st.StartupDir = logs.toStdString();
    if (!RunUntil([&] { return st.DevicesFound == 4; }, 10000)) {
      std::fprintf(stderr, "found %d of 4 devices\n", st.DevicesFound);
      return 1;
    }
    uint64_t textBytes = 0;
    for (const QString& l : w.InfoMemo->Lines()) textBytes += l.toUtf8().size() + 1;
    QObject::connect(w.InfoMemo, &ui::TMemo::LineAdded,
                     [&](const QString& l) { textBytes += l.toUtf8().size() + 1; });

    // A 32 KB job downloaded into the programmers.
    kestra::bench::ChooseChip(st, w, 0, "PAC5223xx", 3);
    const QString hex = dir.filePath("image.hex");
    if (!WriteHex(hex, Image(std::size_t{st.s.FlashSizeKB} * 1024)) || !w.LoadObjectFile(hex)) {
      std::fprintf(stderr, "image not loaded\n");
      return 1;
    }
    w.ops->SpdBtnDownLoadClick();
    const bool downloaded = RunUntil(
        [&] {
          int ok = 0;
          for (const QString& l : w.InfoMemo->Lines()) ok += l.endsWith(" : Download Success!");
          return ok == 4;
        },
        30000);
    if (!downloaded) {
      std::fprintf(stderr, "download failed\n");
      return 1;
    }

    const auto counted = [&] { return uint64_t{st.TotalOkCount} + st.TotalNgCount; };
    const int limitMs = 3600000;
    const double cpu0 = CpuSeconds();
    w.ops->SpdBtnStartPrgClick();
    bool done = RunUntil([&] { return counted() >= Span; }, limitMs);
    const double cpuFirst = (CpuSeconds() - cpu0) / static_cast<double>(counted());
    const double rssFirst = RssMB();
    const uint64_t chipsFirst = counted();
    // The memory and the CPU per chip on the way, every 10 spans.
    std::string rssOnTheWay, cpuOnTheWay;
    for (uint64_t at = 10 * Span; done && at < chips - Span; at += 10 * Span) {
      const double cpuFrom = CpuSeconds();
      const uint64_t from = counted();
      done = RunUntil([&] { return counted() >= at; }, limitMs);
      const char* comma = rssOnTheWay.empty() ? "" : ",";
      char figure[32];
      std::snprintf(figure, sizeof figure, "%s%.1f", comma, RssMB());
      rssOnTheWay += figure;
      std::snprintf(figure, sizeof figure, "%s%.3f", comma,
                    (CpuSeconds() - cpuFrom) * 1000.0 / static_cast<double>(counted() - from));
      cpuOnTheWay += figure;
    }
    done = done && RunUntil([&] { return counted() >= chips - Span; }, limitMs);
    const double cpu1 = CpuSeconds();
    const uint64_t lastFrom = counted();
    done = done && RunUntil([&] { return counted() >= chips; }, limitMs);
    const double cpuLast = (CpuSeconds() - cpu1) / static_cast<double>(counted() - lastFrom);
    const double rssEnd = RssMB();
    if (!done) {
      std::fprintf(stderr, "production stopped at %llu chips\n",
                   static_cast<unsigned long long>(counted()));
      rc = 1;
    }
    w.ops->FormClose();
    uint64_t fileBytes = 0;
    int files = 0;
    for (const QFileInfo& fi : QDir(logs).entryInfoList({"*.log"}, QDir::Files)) {
      fileBytes += static_cast<uint64_t>(fi.size());
      ++files;
    }
    std::printf(
        "chips=%llu interval_ms=%d rss_after_%llu_chips_mb=%.1f rss_end_mb=%.1f "
        "rss_growth_mb=%.1f log_files=%d log_bytes=%llu text_bytes=%llu "
        "log_over_text=%.3f cpu_ms_per_chip_first=%.3f cpu_ms_per_chip_last=%.3f "
        "rss_mb_every_%llu_chips=%s cpu_ms_per_chip_on_the_way=%s\n",
        static_cast<unsigned long long>(counted()), interval,
        static_cast<unsigned long long>(chipsFirst), rssFirst, rssEnd, rssEnd - rssFirst, files,
        static_cast<unsigned long long>(fileBytes), static_cast<unsigned long long>(textBytes),
        textBytes ? static_cast<double>(fileBytes) / static_cast<double>(textBytes) : 0.0,
        cpuFirst * 1000.0, cpuLast * 1000.0, static_cast<unsigned long long>(10 * Span),
        rssOnTheWay.c_str(), cpuOnTheWay.c_str());
  }
  return rc;
}
