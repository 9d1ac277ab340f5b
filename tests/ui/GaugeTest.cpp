#include <gtest/gtest.h>

#include <QImage>
#include <climits>

#include "ui/Gauge.h"

namespace kestra::ui {
namespace {

struct GaugeCase {
  const char* what;
  int oldMax;
  int progress;  // set first, within the old maximum
  int newMax;
  int wantProgress;
  int wantMax;
};

class GaugeOrder : public ::testing::TestWithParam<GaugeCase> {};

TEST_P(GaugeOrder, ProgressSetBeforeMaximumIsHeldWithinTheOldMaximum) {
  const GaugeCase& c = GetParam();
  TGauge g;
  g.SetMaxValue(c.oldMax);
  g.SetProgress(c.progress);
  g.SetMaxValue(c.newMax);
  EXPECT_EQ(g.Progress(), c.wantProgress) << c.what;
  EXPECT_EQ(g.MaxValue(), c.wantMax) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GaugeOrder,
    ::testing::Values(GaugeCase{"500 ticks after max 100", 100, 50, 500, 50, 500},
                      GaugeCase{"500 ticks after max 32", 32, 50, 500, 32, 500},
                      GaugeCase{"flash scale 256 KB", 100, 3, 256, 3, 256},
                      GaugeCase{"above maximum", 100, 150, 100, 100, 100},
                      GaugeCase{"negative progress", 100, -5, 100, 0, 100},
                      GaugeCase{"maximum lowered below progress", 100, 80, 40, 40, 40},
                      GaugeCase{"negative maximum", 100, 80, -1, 0, 0}));

TEST(Gauge, PercentDone) {
  TGauge g;
  g.SetMaxValue(500);
  g.SetProgress(50);
  EXPECT_EQ(g.PercentDone(), 10);
  g.SetMaxValue(0);
  EXPECT_EQ(g.PercentDone(), 0);
  g.SetMaxValue(INT_MAX);
  g.SetProgress(INT_MAX);
  EXPECT_EQ(g.PercentDone(), 100);  // no overflow on large scales
}

TEST(Gauge, PaintsTheBarInItsColourAndGreysWhenDisabled) {
  TGauge g;
  g.resize(100, 20);
  g.SetMaxValue(100);
  g.SetProgress(100);
  auto pixel = [&g] { return g.grab().toImage().pixelColor(5, 5); };
  EXPECT_EQ(pixel(), GaugeBlue);
  g.SetForeColor(GaugeRed);
  EXPECT_EQ(g.ForeColor(), GaugeRed);
  EXPECT_EQ(pixel(), GaugeRed);
  g.setEnabled(false);
  EXPECT_NE(pixel(), GaugeRed);
  g.setEnabled(true);
  g.SetProgress(0);
  EXPECT_NE(pixel(), GaugeRed);  // empty bar shows the background
}

}  // namespace
}  // namespace kestra::ui
