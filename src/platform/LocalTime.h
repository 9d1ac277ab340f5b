// Local date and time texts in the user's locale formats, and the blocking
// sleep. The program's main selects the user's locale (setlocale(LC_ALL, ""))
// before any of these is used.
#pragma once

#include <ctime>
#include <string>

namespace kestra::platform {

// The time of day in the locale's long time format (strftime "%X").
std::string LongTimeText();
std::string LongTimeText(const std::tm& when);

// The date in the locale's short date format (strftime "%x").
std::string ShortDateText();
std::string ShortDateText(const std::tm& when);

// Blocks the calling thread for the given number of milliseconds.
void SleepMs(unsigned ms);

}  // namespace kestra::platform
