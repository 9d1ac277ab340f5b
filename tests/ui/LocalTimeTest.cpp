#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <string>

#include "platform/LocalTime.h"

namespace kestra::platform {
namespace {

// Runs the test body in the C locale's time formats and restores the user's.
class LocalTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* current = std::setlocale(LC_TIME, nullptr);
    saved_ = current ? current : "C";
    std::setlocale(LC_TIME, "C");
  }
  void TearDown() override { std::setlocale(LC_TIME, saved_.c_str()); }

 private:
  std::string saved_;
};

TEST_F(LocalTimeTest, FormatsTheLocaleTimeAndDate) {
  std::tm when{};
  when.tm_year = 2024 - 1900;
  when.tm_mon = 2;
  when.tm_mday = 5;
  when.tm_hour = 14;
  when.tm_min = 7;
  when.tm_sec = 9;
  EXPECT_EQ(LongTimeText(when), "14:07:09");
  EXPECT_EQ(ShortDateText(when), "03/05/24");
  EXPECT_EQ(LongTimeText().size(), 8u);
  EXPECT_EQ(ShortDateText().size(), 8u);
}

TEST(SleepMs, SleepsAtLeastTheTimeAsked) {
  const auto start = std::chrono::steady_clock::now();
  SleepMs(20);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace kestra::platform
