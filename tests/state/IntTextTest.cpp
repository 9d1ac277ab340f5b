// Integer texts of the edit fields.
#include <gtest/gtest.h>

#include <optional>

#include "console/IntText.h"

using kestra::console::EConvertError;
using kestra::console::StrToInt;
using kestra::console::StrToInt64;

namespace {

template <class F>
auto Convert(F f, const std::string& s) -> std::optional<decltype(f(s))> {
  try {
    return f(s);
  } catch (const EConvertError&) {
    return std::nullopt;
  }
}

}  // namespace

TEST(StrToInt, Table) {
  struct Case {
    std::string text;
    std::optional<int32_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"12", 12},
      {"0x01", 1},
      {"0XfF", 255},
      {"$FF", 255},
      {"x10", 16},
      {"X10", 16},
      {" -5", -5},
      {"  +7", 7},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"0xFFFFFFFF", -1},
      {"0x80000000", INT32_MIN},
      {"0x000000001", 1},  // leading zeros do not count
      {"-$10", -16},
      {"4294967295", std::nullopt},  // 0xFFFFFFFF in decimal
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"0x100000000", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"0x", std::nullopt},
      {"$", std::nullopt},
      {"12a", std::nullopt},
      {"5 ", std::nullopt},
      {"0xG1", std::nullopt},
      {"\t5", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(Convert(StrToInt, c.text), c.value) << "'" << c.text << "'";
}

TEST(StrToInt, ErrorMessageCarriesTheText) {
  try {
    StrToInt("12a");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12a' is not a valid integer value");
  }
}

TEST(StrToInt64, Table) {
  struct Case {
    std::string text;
    std::optional<int64_t> value;
  };
  const Case cases[] = {
      {"4294967295", 4294967295LL},
      {"0xFFFFFFFF", 0xFFFFFFFFLL},
      {"x1234", 0x1234},
      {"$FFFFFFFFFFFFFFFF", -1},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"0x10000000000000000", std::nullopt},
      {"", std::nullopt},
      {"0x12G", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Convert(StrToInt64, c.text), c.value) << "'" << c.text << "'";
}
