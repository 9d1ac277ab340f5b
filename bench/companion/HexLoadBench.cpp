// Loads an Intel HEX file into a 3 MB image the way the console does.
//   rhb_hex_bench gen FILE [RECORD_LEN]   write the 2 MB test file (default 32-byte records)
//   rhb_hex_bench load FILE               preset the image, load FILE
//   rhb_hex_bench convert FILE OUT.bin    load FILE, save 2048 KB as raw binary
// Prints the load time and the peak resident memory.
#include <cstdio>
#include <cstring>
#include <memory>

#include "BenchCommon.h"
#include "companion/KestraRHB.h"

using namespace kestra::rhb;

namespace {
constexpr std::size_t ImageSize = 0x300000;
constexpr uint32_t ChipBytes = 2048 * 1024;
}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "gen") == 0) {
    const uint32_t rec = argc >= 4 ? static_cast<uint32_t>(std::atoi(argv[3])) : 32;
    if (!kestra::bench::WriteHexFile(argv[2], ChipBytes, rec)) {
      std::fprintf(stderr, "cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  const bool convert = argc >= 4 && std::strcmp(argv[1], "convert") == 0;
  if (!convert && !(argc >= 3 && std::strcmp(argv[1], "load") == 0)) {
    std::fprintf(stderr, "usage: %s gen FILE [LEN] | load FILE | convert FILE OUT\n", argv[0]);
    return 2;
  }
  const auto image = std::make_unique<uint8_t[]>(ImageSize);
  const auto t0 = std::chrono::steady_clock::now();
  InitialDataBuffer16M(image.get(), 0x2FFFF, 0xFF, ImageSize);
  uint32_t start = 0, end = 0;
  RhbError err;
  int32_t rc = ExeOpenFile_HEX_RoutAndRT(argv[2], image.get(), &start, &end, ImageSize, &err);
  if (rc == RhbOk && convert)
    rc = DoSaveToBinaryFile(argv[3], image.get(), 0, end, ImageSize, &err);
  const double secs = kestra::bench::Seconds(t0);
  if (rc != RhbOk) {
    std::fprintf(stderr, "line %u: %s (%s)\n", err.line, err.message, RhbResultText(rc));
    return 1;
  }
  std::printf("%s 0x%06X..0x%06X: %.1f ms, crc 0x%04X, peak %ld KiB\n",
              convert ? "convert" : "load", start, end, secs * 1e3,
              GetTolvexCheckSum(image.get(), 0, ChipBytes - 1, ImageSize),
              kestra::bench::PeakKiB());
  return 0;
}
