// Fill times of the views: a 2 MB chip in the hex view (131072 rows, filled
// and shown as the console does after a load) and a long log in the memo.
// Run with QT_QPA_PLATFORM=offscreen where there is no display.
#include <QApplication>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ui/HexGrid.h"
#include "ui/Memo.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  constexpr int kRows = 131072;
  constexpr int kRuns = 5;
  std::vector<uint8_t> image(static_cast<size_t>(kRows) * 16);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);

  kestra::ui::THexGrid grid;
  grid.resize(700, 500);
  grid.show();
  std::vector<double> fill;
  std::vector<double> refill;
  for (int run = 0; run < kRuns; ++run) {
    // First fill of a fresh view, then a rebuild of a full one (a second load).
    for (auto* times : {&fill, &refill}) {
      const auto start = Clock::now();
      grid.ClearRows();
      grid.ReserveRows(kRows);
      for (int r = 0; r < kRows; ++r) {
        grid.AddRow(0xC000u + 16u * static_cast<uint32_t>(r), &image[static_cast<size_t>(r) * 16]);
      }
      QApplication::processEvents();  // rows announced, view laid out and painted
      grid.repaint();
      times->push_back(Ms(Clock::now() - start));
    }
  }
  std::printf("hex view, %d rows fill+show: median %.1f ms, min %.1f ms (%d runs)\n", kRows,
              Median(fill), *std::min_element(fill.begin(), fill.end()), kRuns);
  std::printf("hex view, %d rows rebuild:   median %.1f ms, min %.1f ms (%d runs)\n", kRows,
              Median(refill), *std::min_element(refill.begin(), refill.end()), kRuns);

  const auto start = Clock::now();
  grid.SetRowBytes(grid.RowOfAddress(0xC000u + 16u * (kRows - 1)), image.data());
  grid.SetCell(4, grid.RowOfAddress(0xC000u + 16u * (kRows - 1)), "11");
  std::printf("hex view, refresh of the last row: %.3f ms\n", Ms(Clock::now() - start));

  // The memo in steps, to show that a line costs the same at any length.
  kestra::ui::TMemo memo;
  memo.resize(600, 300);
  memo.show();
  constexpr int kStep = 10000;
  for (int step = 1; step <= 5; ++step) {
    const auto memoStart = Clock::now();
    for (int i = 0; i < kStep; ++i) {
      memo.Add(QStringLiteral("> 12:34:56 Channel 1 : Operation Success! %1").arg(i));
    }
    QApplication::processEvents();
    std::printf("memo, lines %d..%d added and shown: %.1f ms (%.1f us a line)\n",
                (step - 1) * kStep + 1, step * kStep, Ms(Clock::now() - memoStart),
                Ms(Clock::now() - memoStart) * 1000.0 / kStep);
  }
  return 0;
}
