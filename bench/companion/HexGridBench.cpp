// Loads the 2 MB Intel HEX file and fills a hex grid with the 131072 rows of a
// 2048 KB chip range the way the console's main data view is filled, then
// formats every cell once (address "0x%0.8X", 16 bytes "%0.2X", text column).
//   rhb_grid_bench FILE
#include <QApplication>
#include <cstdio>
#include <memory>

#include "BenchCommon.h"
#include "companion/KestraRHB.h"
#include "ui/HexGrid.h"

using namespace kestra::rhb;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.hex\n", argv[0]);
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  constexpr std::size_t ImageSize = 0x300000;
  constexpr uint32_t First = 0, Last = 2048 * 1024 - 1;
  const auto image = std::make_unique<uint8_t[]>(ImageSize);

  const auto t0 = std::chrono::steady_clock::now();
  InitialDataBuffer16M(image.get(), 0x2FFFF, 0xFF, ImageSize);
  uint32_t start = 0, end = 0;
  RhbError err;
  if (ExeOpenFile_HEX_RoutAndRT(argv[1], image.get(), &start, &end, ImageSize, &err) != RhbOk) {
    std::fprintf(stderr, "line %u: %s\n", err.line, err.message);
    return 1;
  }
  const double loadSecs = kestra::bench::Seconds(t0);

  kestra::ui::THexGrid grid;
  grid.resize(800, 600);
  grid.show();
  const auto t1 = std::chrono::steady_clock::now();
  const uint32_t length = Last - First + 1;
  const int rows = static_cast<int>(length / 16 + (length % 16 != 0));
  grid.ClearRows();
  grid.ReserveRows(rows);
  for (int i = 0; i < rows; ++i) {
    const uint32_t addr = (First / 16 + static_cast<uint32_t>(i)) * 16;
    grid.AddRow(addr, image.get() + addr);
  }
  QApplication::processEvents();
  const double fillSecs = kestra::bench::Seconds(t1);

  const auto t2 = std::chrono::steady_clock::now();
  std::size_t chars = 0;
  for (int r = 1; r < grid.RowCount(); ++r)
    for (int c = 0; c < kestra::ui::THexGrid::ColumnCount; ++c) chars += grid.Cell(c, r).size();
  const double formatSecs = kestra::bench::Seconds(t2);

  std::printf(
      "load %.1f ms; grid fill %d rows %.1f ms; format all cells %.1f ms (%zu chars); peak %ld "
      "KiB\n",
      loadSecs * 1e3, grid.RowCount() - 1, fillSecs * 1e3, formatSecs * 1e3, chars,
      kestra::bench::PeakKiB());
  return 0;
}
