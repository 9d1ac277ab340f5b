#include "platform/LocalTime.h"

#include <array>
#include <chrono>
#include <thread>

namespace kestra::platform {
namespace {

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::string Format(const char* format, const std::tm& when) {
  // Locale formats of date and time are short; 256 bytes hold every one the C
  // library ships. strftime returns 0 when the text does not fit (or is
  // empty), which gives an empty text rather than a truncated one.
  std::array<char, 256> text{};
  const std::size_t n = std::strftime(text.data(), text.size(), format, &when);
  return std::string(text.data(), n);
}

}  // namespace

std::string LongTimeText() { return LongTimeText(LocalNow()); }
std::string LongTimeText(const std::tm& when) { return Format("%X", when); }

std::string ShortDateText() { return ShortDateText(LocalNow()); }
std::string ShortDateText(const std::tm& when) { return Format("%x", when); }

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace kestra::platform
