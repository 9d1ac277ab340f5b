#include "BenchCommon.h"

#include <memory>

namespace kestra::bench {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

void PutRecord(std::FILE* f, uint8_t type, uint16_t offset, const uint8_t* data, uint32_t n) {
  static constexpr char Digits[] = "0123456789ABCDEF";
  char line[1 + 2 * (5 + 255) + 2];
  std::size_t k = 0;
  uint8_t sum = 0;
  auto put = [&](uint8_t b) {
    line[k++] = Digits[b >> 4];
    line[k++] = Digits[b & 0xF];
    sum = static_cast<uint8_t>(sum + b);
  };
  line[k++] = ':';
  put(static_cast<uint8_t>(n));
  put(static_cast<uint8_t>(offset >> 8));
  put(static_cast<uint8_t>(offset));
  put(type);
  for (uint32_t i = 0; i < n; ++i) put(data[i]);
  put(static_cast<uint8_t>(0x100 - sum));
  line[k++] = '\n';
  std::fwrite(line, 1, k, f);
}

}  // namespace

bool WriteHexFile(const std::string& path, uint32_t bytes, uint32_t recordLen) {
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
  if (!f || recordLen == 0 || recordLen > 255) return false;
  uint32_t state = 0x12345678;  // xorshift32: the same file on every run
  uint8_t data[255];
  for (uint32_t addr = 0; addr < bytes; addr += recordLen) {
    if ((addr & 0xFFFF) == 0) {
      const uint8_t upper[2] = {static_cast<uint8_t>(addr >> 24), static_cast<uint8_t>(addr >> 16)};
      PutRecord(f.get(), 0x04, 0, upper, 2);
    }
    const uint32_t n = bytes - addr < recordLen ? bytes - addr : recordLen;
    for (uint32_t i = 0; i < n; ++i) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      data[i] = static_cast<uint8_t>(state);
    }
    PutRecord(f.get(), 0x00, static_cast<uint16_t>(addr), data, n);
  }
  PutRecord(f.get(), 0x01, 0, nullptr, 0);
  return std::fflush(f.get()) == 0 && !std::ferror(f.get());
}

}  // namespace kestra::bench
