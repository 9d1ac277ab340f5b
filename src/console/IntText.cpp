#include "console/IntText.h"

namespace kestra::console {

namespace {

[[noreturn]] void Fail(const std::string& s) {
  throw EConvertError("'" + s + "' is not a valid integer value");
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the text as a Bits-wide two's complement number: the hexadecimal bit
// pattern fits Bits bits, the decimal magnitude at most 2^(Bits-1) - 1 (2^(Bits-1)
// with a minus sign).
template <int Bits>
uint64_t ParseInteger(const std::string& s) {
  const uint64_t mask = Bits == 64 ? ~uint64_t{0} : (uint64_t{1} << Bits) - 1;
  const uint64_t decMax = mask >> 1;
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';

  bool hex = false;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == s.size()) Fail(s);

  uint64_t value = 0;
  for (; i < s.size(); ++i) {
    if (hex) {
      const int d = HexDigit(s[i]);
      if (d < 0 || value > (mask >> 4)) Fail(s);
      value = (value << 4) | static_cast<uint64_t>(d);
    } else {
      if (s[i] < '0' || s[i] > '9') Fail(s);
      const uint64_t d = static_cast<uint64_t>(s[i] - '0');
      const uint64_t limit = decMax + (negative ? 1 : 0);
      if (value > (limit - d) / 10) Fail(s);
      value = value * 10 + d;
    }
  }
  if (negative) value = (0 - value) & mask;
  return value;
}

}  // namespace

int32_t StrToInt(const std::string& s) {
  return static_cast<int32_t>(static_cast<uint32_t>(ParseInteger<32>(s)));
}

uint32_t StrToCardinal(const std::string& s) {
  try {
    return static_cast<uint32_t>(StrToInt(s));
  } catch (const EConvertError&) {
  }
  // Beyond StrToInt only the decimal texts 2147483648..4294967295 remain.
  const int64_t v = StrToInt64(s);
  const bool decimal = s.find_first_not_of(" +0123456789") == std::string::npos;
  if (!decimal || v > int64_t{UINT32_MAX}) Fail(s);
  return static_cast<uint32_t>(v);
}

int64_t StrToInt64(const std::string& s) { return static_cast<int64_t>(ParseInteger<64>(s)); }

}  // namespace kestra::console
