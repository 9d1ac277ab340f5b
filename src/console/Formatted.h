// The console's text formatting: printf-style formats into a string of any
// length (hexadecimal digits upper-case, as the formats say), and rows of
// bytes in hexadecimal.
#pragma once

#include <cstdint>
#include <string>

namespace kestra::console {

std::string Formatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Count bytes from p, each as two upper-case hexadecimal digits and a blank.
std::string HexBytes(const uint8_t* p, int count);

}  // namespace kestra::console
