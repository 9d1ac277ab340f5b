// Helpers shared by the image-file benchmarks: the test file and the figures.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestra::bench {

// Writes a deterministic Intel HEX file of `bytes` data bytes from address 0
// in records of `recordLen` bytes, with an 04 record at every 64 KB.
bool WriteHexFile(const std::string& path, uint32_t bytes, uint32_t recordLen);

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline long PeakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace kestra::bench
