// Channel progress, result texts and log lines on a bare state (no window).
#include <gtest/gtest.h>

#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"

namespace kestra::console {
namespace {

class ChannelProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    st.InfoMemoRef = &memo;
    for (int k = 0; k < ChannelCount; ++k) st.ChannelGauge[k] = &gauges[k];
    st.Hooks.Beep = [this] { ++beeps; };
    st.Hooks.ShowViewPage = [this](int i) { page = i; };
  }
  QString LastLine() const { return memo.Count() ? memo.Line(memo.Count() - 1) : QString(); }

  ConsoleState st;
  ui::TMemo memo;
  ui::TGauge gauges[ChannelCount];
  int beeps = 0;
  int page = -1;
};

TEST_F(ChannelProgressTest, ResultTextsByChannel) {
  struct Case {
    int ch;
    uint8_t code;
    const char* text;
  } cases[] = {
      {0, 0x00, "Operation Success!"},
      {3, 0x06, "Operation Success!"},
      {1, 0x13, "Chip read protected"},
      {2, 0x25, "Unknow command!"},
      {0, 0x60, "Interfact Error!"},
      {0, 0x4B, "Operation error! Error Code = 0x4B"},
      {1, 0x4B, "Operation error! Error Code =  0x4B"},
      {2, 0x15, "Operation error! Error Code =  0x15"},
      {3, 0x0A, "Operation error! Error Code =  0x0A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ChannelResultText(c.ch, c.code), c.text);
    st.ChannelState[c.ch] = StateBlankCheck;
    ShowChannelResult(st, c.ch, c.code);
    EXPECT_TRUE(LastLine().endsWith(QString(" Channel %1 : ").arg(c.ch + 1) + c.text))
        << LastLine().toStdString();
  }
  EXPECT_EQ(beeps, 2);
}

TEST_F(ChannelProgressTest, IdleChannelBeepsButLogsNothing) {
  ShowChannelResult(st, 2, 0x06);
  EXPECT_EQ(memo.Count(), 0);
  EXPECT_EQ(beeps, 1);
  st.ChannelState[2] = StateDownloadConfig;  // state 0 is not idle
  ShowChannelResult(st, 2, 0x31);
  EXPECT_TRUE(LastLine().endsWith("Channel 3 : Data verify error!"));
}

TEST_F(ChannelProgressTest, LogLinesCarryTimeAndChannelNumber) {
  AddChannelLog(st, 0, "hello");
  EXPECT_TRUE(LastLine().startsWith("> "));
  EXPECT_TRUE(LastLine().endsWith(" Channel 1 : hello"));
  LogInfo(st, "plain");
  EXPECT_TRUE(LastLine().startsWith("> "));
  EXPECT_TRUE(LastLine().endsWith(" plain"));
  EXPECT_FALSE(LastLine().contains("Channel"));
}

TEST_F(ChannelProgressTest, StartHoldsProgressWithinThePreviousMaximum) {
  struct Case {
    int oldMax;
    uint16_t ticks;
    bool byFlash;
    uint16_t flashKB;
    int progress, max;
  } cases[] = {
      {100, 500, false, 32, 50, 500},
      {32, 500, false, 32, 32, 500},
      {500, 300, true, 256, 3, 256},
  };
  for (const auto& c : cases) {
    gauges[1].SetMaxValue(c.oldMax);
    gauges[1].SetProgress(0);
    gauges[1].SetForeColor(ui::GaugeRed);
    st.s.FlashSizeKB = c.flashKB;
    st.BlockCounter[1] = 7;
    StartChannelProgress(st, 1, c.ticks, c.byFlash);
    EXPECT_EQ(gauges[1].Progress(), c.progress);
    EXPECT_EQ(gauges[1].MaxValue(), c.max);
    EXPECT_EQ(gauges[1].ForeColor(), ui::GaugeBlue);
    EXPECT_EQ(st.ChannelBusy[1], 1);
    EXPECT_EQ(st.OpTimeout[1], c.ticks);
    EXPECT_EQ(st.BlockCounter[1], 0);
    EXPECT_EQ(st.TransferSizeKB[1], c.flashKB);
    EndChannelProgress(st, 1, false);  // each row is an operation of its own
  }
}

TEST_F(ChannelProgressTest, EndFillsTheGaugeAndIdlesTheChannel) {
  st.ProgressByTimer = true;  // as another channel's operation may have set it
  st.ChannelState[0] = StateVerify;
  StartChannelProgress(st, 0, 500, false);
  EndChannelProgress(st, 0, true);
  EXPECT_EQ(gauges[0].ForeColor(), ui::GaugeRed);
  EXPECT_EQ(gauges[0].Progress(), gauges[0].MaxValue());
  EXPECT_EQ(st.ChannelState[0], StateIdle);
  EXPECT_EQ(st.ChannelBusy[0], 0);
  EXPECT_EQ(st.OpTimeout[0], 0);
  EXPECT_FALSE(st.ProgressByTimer);
  EXPECT_EQ(page, 0);
  EndChannelProgress(st, 0, false);
  EXPECT_EQ(gauges[0].ForeColor(), ui::GaugeBlue);
}

TEST(ChannelProgressBare, NoGaugeNoMemoNoHooks) {
  ConsoleState st;
  st.ChannelState[0] = StateErase;
  StartChannelProgress(st, 0, 500, true);
  ShowChannelResult(st, 0, 0x00);
  AddChannelLog(st, 0, "x");
  EndChannelProgress(st, 0, true);
  EXPECT_EQ(st.ChannelState[0], StateIdle);
}

}  // namespace
}  // namespace kestra::console
