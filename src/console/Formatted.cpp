#include "console/Formatted.h"

#include <cstdarg>
#include <cstdio>

namespace kestra::console {

std::string Formatted(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<std::size_t>(n));
    std::vsnprintf(text.data(), text.size() + 1, fmt, again);
  }
  va_end(again);
  return text;
}

std::string HexBytes(const uint8_t* p, int count) {
  std::string out;
  out.reserve(static_cast<std::size_t>(count > 0 ? count : 0) * 3);
  for (int i = 0; i < count; ++i) out += Formatted("%02X ", p[i]);
  return out;
}

}  // namespace kestra::console
