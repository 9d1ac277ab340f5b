// Copying the option control values into the console's settings.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "console/ConsoleState.h"
#include "console/IntText.h"
#include "console/SettingsCore.h"

using namespace kestra::console;

namespace {

struct Outcome {
  std::vector<std::string> log;
  bool convertError = false;
};

Outcome Collect(ConsoleState& st, const SettingsInputs& in) {
  Outcome r;
  try {
    CollectSettingsCore(st, in, [&](const std::string& s) { r.log.push_back(s); });
  } catch (const EConvertError&) {
    r.convertError = true;
  }
  return r;
}

struct Case {
  const char* name;
  std::function<void(ConsoleState&)> before;  // state left by earlier runs
  std::function<void(SettingsInputs&)> controls;
  std::function<void(const ConsoleState&, const Outcome&)> check;
};

void NoSetup(ConsoleState&) {}

class CollectSettingsTable : public ::testing::TestWithParam<Case> {};

TEST_P(CollectSettingsTable, Case) {
  const Case& c = GetParam();
  ConsoleState st;
  c.before(st);
  SettingsInputs in;
  c.controls(in);
  const Outcome r = Collect(st, in);
  c.check(st, r);
}

const Case Cases[] = {
    {"ClockZeroApolloUnprotected",
     [](ConsoleState& st) {
       st.s.ChipSeries = '6';
       st.s.ProtectFlags = 0xFF;
     },
     [](SettingsInputs& in) { in.ComBoxSpdCLK = 0; },
     [](const ConsoleState& st, const Outcome&) {
       EXPECT_EQ(st.s.ProtectFlags, 0x04);
       EXPECT_FALSE(st.ProtectAfterVerify);
     }},
    {"ClockZeroApolloProtected",
     [](ConsoleState& st) {
       st.s.ChipSeries = '6';
       std::fill(st.ProtectConfig.get(), st.ProtectConfig.get() + 64, 0xFF);
     },
     [](SettingsInputs& in) { in.ChkBoxProt = true; },
     [](const ConsoleState& st, const Outcome&) {
       EXPECT_EQ(st.s.ProtectFlags, 0x85);
       EXPECT_TRUE(st.ProtectAfterVerify);
       for (int k = 0; k < 16; ++k) EXPECT_EQ(st.ProtectConfig[k], 0x00) << k;
       EXPECT_EQ(st.ProtectConfig[16], 0xFF);
       EXPECT_EQ(st.ProtectConfig[33], 0xFE);
       EXPECT_EQ(st.ProtectConfig[34], 0xFF);
     }},
    {"ApolloBitCarriedOverToOtherChip",
     [](ConsoleState& st) {
       st.s.ChipSeries = '5';
       st.s.ProtectFlags = 0x85;  // left by an Apollo run with protection
     },
     [](SettingsInputs& in) { in.ComBoxSpdCLK = 3; },
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.ProtectFlags, 0x04); }},
    {"ApolloBitClearedByClockZero",
     [](ConsoleState& st) {
       st.s.ChipSeries = '5';
       st.s.ProtectFlags = 0x04;
     },
     [](SettingsInputs& in) { in.ComBoxSpdCLK = 0; },
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.ProtectFlags, 0x00); }},
    {"Voltage5V", NoSetup, [](SettingsInputs& in) { in.RadioGpVolt = 1; },
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.PowerFlags, 0x04); }},
    {"Voltage1V8", NoSetup, [](SettingsInputs& in) { in.RadioGpVolt = 2; },
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.PowerFlags, 0x10); }},
    {"VoltageNoItem", [](ConsoleState& st) { st.s.PowerFlags = 0xFF; },
     [](SettingsInputs& in) { in.RadioGpVolt = -1; },
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.PowerFlags, 0x04); }},
    {"InfoMuteBigEndian", [](ConsoleState& st) { st.s.PowerFlags = 0x37; },
     [](SettingsInputs& in) {
       in.ChkBoxEep = true;
       in.ChkBoxMute = true;
       in.SNOrderChk = true;
     },
     [](const ConsoleState& st, const Outcome&) {
       EXPECT_EQ(st.s.PowerFlags, 0xC8);
       EXPECT_TRUE(st.ProgramInfoData);
     }},
    {"ShutPowerOnly", NoSetup, [](SettingsInputs& in) { in.ChkBoxShutPow = true; },
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.AfterProgFlags, 0x00); }},
    {"AfterProgAllUnticked", [](ConsoleState& st) { st.s.AfterProgFlags = 0x07; },
     [](SettingsInputs&) {},
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.AfterProgFlags, 0x01); }},
    {"AfterProgUpperBitsKept", [](ConsoleState& st) { st.s.AfterProgFlags = 0xA0; },
     [](SettingsInputs& in) {
       in.ChkBoxStrChip = true;
       in.CheckBoxRst = true;
     },
     [](const ConsoleState& st, const Outcome&) { EXPECT_EQ(st.s.AfterProgFlags, 0xA7); }},
    {"TimesClockDetectExtra", NoSetup,
     [](SettingsInputs& in) {
       in.SpinEditPwr = 50;
       in.SpinEditInTm = 510;
       in.SpinEditOuTim = 2000;
       in.ComBoxSpdCLK = 4;
       in.ChkBoxAuDT = true;
     },
     [](const ConsoleState& st, const Outcome&) {
       EXPECT_EQ(st.s.PowerStableTime, 5);
       EXPECT_EQ(st.s.ChipInTime, 17);
       EXPECT_EQ(st.s.ChipOffTime, 66);
       EXPECT_EQ(st.s.ClockCode, 40);
       EXPECT_EQ(st.s.DetectFlags, 3);
       EXPECT_EQ(st.s.ExtraFlags, 8);
       EXPECT_EQ(st.s.SnLength, 4);
     }},
    {"SnStepThreeDevices", [](ConsoleState& st) { st.DevicesFound = 3; }, [](SettingsInputs&) {},
     [](const ConsoleState& st, const Outcome&) {
       EXPECT_EQ(st.s.SnGain, 1);
       EXPECT_EQ(st.s.SnStep, 3);
     }},
    {"SnStepNoDevice", [](ConsoleState& st) { st.s.SnStep = 9; },
     [](SettingsInputs& in) { in.GainEdit = "0x20"; },
     [](const ConsoleState& st, const Outcome&) {
       EXPECT_EQ(st.s.SnGain, 0x20);
       EXPECT_EQ(st.s.SnStep, 0);
     }},
    {"GainKeepsLow16Bits", [](ConsoleState& st) { st.DevicesFound = 4; },
     [](SettingsInputs& in) { in.GainEdit = "$12345"; },
     [](const ConsoleState& st, const Outcome&) {
       EXPECT_EQ(st.s.SnGain, 0x2345);
       EXPECT_EQ(st.s.SnStep, static_cast<uint16_t>(0x2345 * 4));
     }},
    {"SerialNumbersOff",
     [](ConsoleState& st) {
       st.s.SnEnable = 15;
       st.s.SnValue = 77;
     },
     [](SettingsInputs& in) {
       in.CheckBoxSN = false;
       in.SNEdit = "not a number";  // not read while serial numbers are off
     },
     [](const ConsoleState& st, const Outcome& r) {
       EXPECT_FALSE(r.convertError);
       EXPECT_EQ(st.s.SnEnable, 0);
       EXPECT_EQ(st.s.SnValue, 0u);
       EXPECT_EQ(st.s.SnAddr, 0xFFFFFFFFu);
       EXPECT_EQ(st.s.SnHigh, 0xFFFFFFFFu);
       EXPECT_EQ(r.log, std::vector<std::string>{"Serial No function is not used!"});
     }},
    {"SerialNumbersOnFourBytes", NoSetup,
     [](SettingsInputs& in) {
       in.CheckBoxSN = true;
       in.SNEdit = "0xFFFFFFFF";
       in.AddrEdit = "0x0000FFF0";
       in.EditSNHW = "junk";  // not read with 4-byte serial numbers
     },
     [](const ConsoleState& st, const Outcome& r) {
       EXPECT_FALSE(r.convertError);
       EXPECT_EQ(st.s.SnEnable, 15);
       EXPECT_EQ(st.s.SnValue, 0xFFFFFFFFu);
       EXPECT_EQ(st.s.SnAddr, 0xFFF0u);
       EXPECT_EQ(st.s.SnHigh, 0xFFFFFFFFu);
       EXPECT_EQ(r.log,
                 (std::vector<std::string>{"Serial No function is used : ",
                                           "SN Address is 0x00FFF0,Current SN is 0xFFFFFFFF."}));
     }},
    {"SerialNumbersOnEightBytes", NoSetup,
     [](SettingsInputs& in) {
       in.CheckBoxSN = true;
       in.ChkBoxSNLen = true;
       in.SNEdit = "171";
       in.AddrEdit = "$1ABCDEF0";
       in.EditSNHW = "0x0000BEEF";
     },
     [](const ConsoleState& st, const Outcome& r) {
       EXPECT_EQ(st.s.SnLength, 8);
       EXPECT_EQ(st.s.SnValue, 171u);
       EXPECT_EQ(st.s.SnHigh, 0xBEEFu);
       ASSERT_EQ(r.log.size(), 2u);
       EXPECT_EQ(r.log[1], "SN Address is 0x1ABCDEF0,Current SN is 0x000000AB.");
     }},
    {"DecimalBeyond32BitsRaisesAndLaterSettingsKeepOldValues",
     [](ConsoleState& st) {
       st.DevicesFound = 2;
       st.s.SnEnable = 0;
       st.s.SnValue = 11;
       st.s.SnAddr = 22;
       st.s.SnHigh = 33;
     },
     [](SettingsInputs& in) {
       in.CheckBoxSN = true;
       in.ChkBoxSNLen = true;
       in.RadioGpVolt = 2;
       in.GainEdit = "5";
       in.SNEdit = "4294967296";
       in.AddrEdit = "0x100";
       in.EditSNHW = "0x1";
     },
     [](const ConsoleState& st, const Outcome& r) {
       EXPECT_TRUE(r.convertError);
       EXPECT_EQ(st.s.PowerFlags, 0x10);  // converted before the failing text
       EXPECT_EQ(st.s.SnGain, 5);
       EXPECT_EQ(st.s.SnStep, 10);
       EXPECT_EQ(st.s.SnEnable, 15);
       EXPECT_EQ(st.s.SnValue, 11u);  // the failing one and those after it
       EXPECT_EQ(st.s.SnAddr, 22u);
       EXPECT_EQ(st.s.SnHigh, 33u);
       EXPECT_TRUE(r.log.empty());
     }},
    {"BadGainStopsBeforeSerialNumbers",
     [](ConsoleState& st) {
       st.s.SnGain = 7;
       st.s.SnStep = 14;
       st.s.SnEnable = 15;
       st.s.SnAddr = 5;
     },
     [](SettingsInputs& in) {
       in.GainEdit = "";
       in.ChkBoxSNLen = true;
     },
     [](const ConsoleState& st, const Outcome& r) {
       EXPECT_TRUE(r.convertError);
       EXPECT_EQ(st.s.SnLength, 8);
       EXPECT_EQ(st.s.SnGain, 7);
       EXPECT_EQ(st.s.SnStep, 14);
       EXPECT_EQ(st.s.SnEnable, 15);
       EXPECT_EQ(st.s.SnAddr, 5u);
     }},
};

INSTANTIATE_TEST_SUITE_P(Settings, CollectSettingsTable, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CollectSettings, ClockCodeTable) {
  const std::pair<int, uint8_t> table[] = {{0, 1},  {1, 10}, {2, 20},  {3, 30}, {4, 40},
                                           {5, 50}, {6, 80}, {-1, 80}, {7, 80}};
  for (const auto& [index, code] : table) {
    ConsoleState st;
    SettingsInputs in;
    in.ComBoxSpdCLK = index;
    Collect(st, in);
    EXPECT_EQ(st.s.ClockCode, code) << index;
  }
}

}  // namespace
