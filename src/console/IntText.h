// Integer texts of the edit fields: decimal, or hexadecimal after 0x, 0X, x, X
// or '$'; leading blanks and a sign allowed. A bad text raises EConvertError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestra::console {

// The run-time library's conversion error: "'<text>' is not a valid integer value".
class EConvertError : public std::runtime_error {
 public:
  explicit EConvertError(const std::string& msg) : std::runtime_error(msg) {}
};

// Signed 32-bit: decimal up to 2147483647 (down to -2147483648), hexadecimal up
// to 8 digits, 0x80000000..0xFFFFFFFF giving those bit patterns.
int32_t StrToInt(const std::string& s);

// A 32-bit value as the serial-number edits hold it: every text StrToInt
// takes, and decimal up to 4294967295 as well (the decimal display of any
// 32-bit serial number).
uint32_t StrToCardinal(const std::string& s);

// Signed 64-bit with the same notation: decimal within the int64 range,
// hexadecimal up to 16 digits.
int64_t StrToInt64(const std::string& s);

}  // namespace kestra::console
