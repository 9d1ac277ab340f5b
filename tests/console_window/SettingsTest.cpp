// Start-up, CollectSettings through the real controls, and the option handlers.
#include <QHeaderView>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>

#include "ConsoleFixture.h"
#include "ui/Gauge.h"
#include "ui/HexGrid.h"

namespace kestra::console::testing {
namespace {

using StartupTest = ConsoleFixture;

TEST_F(StartupTest, LeavesTheWholeImageErasedAndTheWindowReady) {
  const uint8_t* image = st().ImageBuffer.get();
  for (uint32_t a = 0; a < link::ImageBufferSize; ++a)
    if (image[a] != 0xFF) FAIL() << "image byte " << a << " not erased";
  EXPECT_EQ(st().InfoBuffer[link::InfoBufferSize - 1], 0xFF);
  EXPECT_EQ(st().ProtectConfig[link::ProtectConfigSize - 1], 0xFF);
  EXPECT_EQ(frm().InfoMemo->Line(0).right(30), "Hello KestraGangA4 User!------");
  EXPECT_EQ(st().InfoMemoRef, frm().InfoMemo);
  EXPECT_FALSE(frm().TabSheetEepVisible());
  EXPECT_EQ(frm().ViewPageCtrl->currentWidget(), frm().TabSheetChip);
  EXPECT_EQ(frm().HexViewer->Cell(1, 0), "  0");
  EXPECT_EQ(frm().EEPView->Cell(16, 0), "  f");
  EXPECT_EQ(frm().windowTitle(), "KestraGangA4 Programmer Wizard");
  EXPECT_EQ(frm().InfoPanel->text(), "Device = ??????");
  EXPECT_EQ(frm().MCUNameEdit->text(), "Please select chip type...");
  EXPECT_EQ(st().s.FlashSizeKBCopy, 8);
  EXPECT_EQ(st().s.SnLength, 4);
  for (int k = 0; k < ChannelCount; ++k) {
    EXPECT_EQ(st().ChannelGauge[k], frm().Gauges[k]);
    EXPECT_FALSE(frm().Gauges[k]->isEnabled());
    EXPECT_EQ(st().CommPorts[k], frm().SerComms[k]);
    EXPECT_EQ(st().ChannelState[k], StateIdle);
  }
  EXPECT_EQ(frm().Timer1->interval(), 10);
  EXPECT_EQ(frm().Timer1->timerType(), Qt::PreciseTimer);
}

// ---- CollectSettings ----

struct SettingsCase {
  const char* name;
  std::function<void(TProgramArmFrm&, ConsoleState&)> setup;
  std::function<void(const ConsoleState&)> check;
};

class CollectSettingsTest : public ConsoleFixture,
                            public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(CollectSettingsTest, FromTheControls) {
  GetParam().setup(frm(), st());
  frm().CollectSettings();
  GetParam().check(st());
}

const SettingsCase SettingsCases[] = {
    {"ApolloClock0Unlocked",
     [](TProgramArmFrm& f, ConsoleState& s) {
       s.s.ChipSeries = '6';
       s.s.ProtectFlags = 0xFF;
       f.ComBoxSpdCLK->setCurrentIndex(0);
     },
     [](const ConsoleState& s) { EXPECT_EQ(s.s.ProtectFlags, 0x04); }},
    {"ApolloLocked",
     [](TProgramArmFrm& f, ConsoleState& s) {
       s.s.ChipSeries = '6';
       f.ComBoxSpdCLK->setCurrentIndex(0);
       f.ChkBoxProt->setChecked(true);
     },
     [](const ConsoleState& s) {
       EXPECT_EQ(s.s.ProtectFlags, 0x85);
       EXPECT_TRUE(s.ProtectAfterVerify);
       EXPECT_EQ(s.ProtectConfig[15], 0x00);
       EXPECT_EQ(s.ProtectConfig[33], 0xFE);
     }},
    {"CarriedApolloBit",
     [](TProgramArmFrm& f, ConsoleState& s) {
       s.s.ChipSeries = '6';
       f.ComBoxSpdCLK->setCurrentIndex(1);
       f.CollectSettings();
       s.s.ChipSeries = '5';
       f.ComBoxSpdCLK->setCurrentIndex(2);
     },
     [](const ConsoleState& s) { EXPECT_EQ(s.s.ProtectFlags, 0x04); }},
    // The voltage, info, mute, byte-order and after-programming controls and
    // the serial-number box are read (what each gives: the core's table).
    {"TheOptionControlsAreRead",
     [](TProgramArmFrm& f, ConsoleState& s) {
       f.SetRadioGpVoltIndex(2);
       f.ChkBoxEep->setChecked(true);
       f.ChkBoxMute->setChecked(true);
       f.SNOrderChk->setChecked(true);
       f.ChkBoxShutPow->setChecked(true);
       f.ChkBoxStrChip->setChecked(false);
       f.CheckBoxRst->setChecked(false);
       s.s.SnValue = 5;
       f.SNEdit->setText("0x12345678");
     },
     [](const ConsoleState& s) {
       EXPECT_EQ(s.s.PowerFlags, 0xD8);
       EXPECT_TRUE(s.ProgramInfoData);
       EXPECT_EQ(s.s.AfterProgFlags, 0x00);
       EXPECT_EQ(s.s.SnEnable, 0);
       EXPECT_EQ(s.s.SnValue, 0u);
       EXPECT_TRUE(s.InfoMemoRef->Lines().last().endsWith("Serial No function is not used!"));
     }},
    {"NothingAfterProgramming",
     [](TProgramArmFrm& f, ConsoleState&) {
       f.ChkBoxShutPow->setChecked(false);
       f.ChkBoxStrChip->setChecked(false);
       f.CheckBoxRst->setChecked(false);
     },
     [](const ConsoleState& s) { EXPECT_EQ(s.s.AfterProgFlags, 0x01); }},
    {"TimesAndClock",
     [](TProgramArmFrm& f, ConsoleState&) {
       f.SpinEditInTm->setValue(510);
       f.SpinEditPwr->setValue(50);
       f.ComBoxSpdCLK->setCurrentIndex(6);
       f.ChkBoxAuDT->setChecked(true);
     },
     [](const ConsoleState& s) {
       EXPECT_EQ(s.s.ChipInTime, 17);
       EXPECT_EQ(s.s.PowerStableTime, 5);
       EXPECT_EQ(s.s.ClockCode, 80);
       EXPECT_EQ(s.s.DetectFlags, 3);
       EXPECT_EQ(s.s.ExtraFlags, 8);
     }},
    {"StepWithThreeDevices", [](TProgramArmFrm&, ConsoleState& s) { s.DevicesFound = 3; },
     [](const ConsoleState& s) {
       EXPECT_EQ(s.s.SnGain, 1);
       EXPECT_EQ(s.s.SnStep, 3);
     }},
    {"StepWithNoDevice", [](TProgramArmFrm&, ConsoleState& s) { s.DevicesFound = 0; },
     [](const ConsoleState& s) { EXPECT_EQ(s.s.SnStep, 0); }},
    {"SerialNumbers4Bytes",
     [](TProgramArmFrm& f, ConsoleState&) {
       f.CheckBoxSN->setChecked(true);
       f.SNEdit->setText("0xFFFFFFFF");
       f.EditSNHW->setText("0x55667788");
       f.AddrEdit->setText("0x1F00");
     },
     [](const ConsoleState& s) {
       EXPECT_EQ(s.s.SnEnable, 15);
       EXPECT_EQ(s.s.SnLength, 4);
       EXPECT_EQ(s.s.SnValue, 0xFFFFFFFFu);
       EXPECT_EQ(s.s.SnAddr, 0x1F00u);
       EXPECT_EQ(s.s.SnHigh, 0xFFFFFFFFu);
       EXPECT_TRUE(s.InfoMemoRef->Lines().last().endsWith(
           "SN Address is 0x001F00,Current SN is 0xFFFFFFFF."));
     }},
    {"SerialNumbers8Bytes",
     [](TProgramArmFrm& f, ConsoleState&) {
       f.CheckBoxSN->setChecked(true);
       f.ChkBoxSNLen->setChecked(true);
       f.SNEdit->setText("1000");
       f.EditSNHW->setText("0x55667788");
     },
     [](const ConsoleState& s) {
       EXPECT_EQ(s.s.SnLength, 8);
       EXPECT_EQ(s.s.SnValue, 1000u);
       EXPECT_EQ(s.s.SnHigh, 0x55667788u);
     }},
};

INSTANTIATE_TEST_SUITE_P(Table, CollectSettingsTest, ::testing::ValuesIn(SettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

using SettingsErrorTest = ConsoleFixture;

TEST_F(SettingsErrorTest, BadTextStopsAtItAndShowsTheErrorBox) {
  st().s.SnAddr = 0x1234;
  st().DevicesFound = 2;
  frm().CheckBoxSN->setChecked(true);
  frm().GainEdit->setText("0x02");
  frm().SNEdit->setText("4294967296");  // beyond 32 bits: not an integer
  frm().AddrEdit->setText("0x100");
  ui::Guard(&frm(), [this] { frm().CollectSettings(); });
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
  EXPECT_EQ(dialogs->boxes[0].text, "'4294967296' is not a valid integer value");
  EXPECT_EQ(st().s.SnStep, 4);        // before the bad text
  EXPECT_EQ(st().s.SnAddr, 0x1234u);  // after it
}

// ---- Option handlers ----

using OptionsTest = ConsoleFixture;

TEST_F(OptionsTest, SerialNumberNotationSwitchesBothEdits) {
  frm().SNEdit->setText("0x000000FF");
  frm().EditSNHW->setText("$80000000");
  frm().ChkBoxSNDP->setChecked(true);
  EXPECT_EQ(frm().SNEdit->text(), "255");
  EXPECT_EQ(frm().EditSNHW->text(), "2147483648");
  frm().ChkBoxSNDP->setChecked(false);
  EXPECT_EQ(frm().SNEdit->text(), "0x000000FF");
  EXPECT_EQ(frm().EditSNHW->text(), "0x80000000");
  EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(OptionsTest, BadSerialTextInTheSwitch) {
  frm().SNEdit->setText("0x10");
  frm().EditSNHW->setText("zz");
  frm().ChkBoxSNDP->setChecked(true);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text, "'zz' is not a valid integer value");
  EXPECT_EQ(frm().SNEdit->text(), "16");  // rewritten before the bad one
  EXPECT_EQ(frm().EditSNHW->text(), "zz");
  EXPECT_TRUE(frm().ChkBoxSNDP->isChecked());
}

TEST_F(OptionsTest, SerialFunctionEnablesItsControls) {
  frm().CheckBoxSN->setChecked(true);
  EXPECT_TRUE(frm().SNEdit->isEnabled());
  EXPECT_TRUE(frm().ChkBoxPCSN->isEnabled());
  EXPECT_FALSE(frm().EditSNHW->isEnabled());
  EXPECT_EQ(st().s.SnEnable, 15);
  EXPECT_TRUE(MemoHas("S/N Function is Enabled!"));
  frm().ChkBoxSNLen->setChecked(true);
  EXPECT_TRUE(frm().EditSNHW->isEnabled());
  frm().CheckBoxSN->setChecked(false);
  EXPECT_TRUE(frm().EditSNHW->isEnabled());
  EXPECT_FALSE(frm().ChkBoxSNLen->isEnabled());
  EXPECT_FALSE(frm().AddrEdit->isEnabled());
  EXPECT_EQ(st().s.SnEnable, 0);
  EXPECT_TRUE(MemoHas("S/N Function is Disabled!"));
}

TEST_F(OptionsTest, AutoDetectAndVoltageLogs) {
  EXPECT_TRUE(frm().SpinEditInTm->isEnabled());
  frm().ChkBoxAuDT->setChecked(true);
  EXPECT_TRUE(MemoHas("Auto-Chip Detection is used!"));
  frm().ChkBoxAuDT->setChecked(false);
  EXPECT_TRUE(MemoHas("Auto-Chip Detection is not used!"));
  EXPECT_FALSE(frm().SpinEditInTm->isEnabled());
  EXPECT_FALSE(frm().SpinEditOuTim->isEnabled());
  frm().SetRadioGpVoltIndex(1);
  EXPECT_TRUE(MemoHas("5V Vout is selected!"));
  frm().SetRadioGpVoltIndex(0);
  EXPECT_TRUE(MemoHas("3V3 Vout is selected!"));
}

TEST_F(OptionsTest, UntickingTheLockShowsTheAdviceEachTime) {
  for (int i = 0; i < 2; ++i) {
    frm().ChkBoxProt->setChecked(true);
    frm().ChkBoxProt->setChecked(false);
  }
  EXPECT_EQ(dialogs->boxes.size(), 2u);
}

TEST_F(OptionsTest, ClearInformationEmptiesTheLog) {
  frm().ClearInformation1->trigger();
  EXPECT_EQ(frm().InfoMemo->Count(), 0);
}

}  // namespace
}  // namespace kestra::console::testing

namespace kestra::console::testing {
namespace {

using KeyTest = ConsoleFixture;

// Space or Enter on a focused tool-bar button runs Auto (which refuses without a file)
// and moves the focus to Panel1; the button under it does not run as well.
TEST_F(KeyTest, SpaceOrEnterOnAFocusedButtonRunsAutoOnly) {
  frm().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&frm()));
  for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return}) {
    SCOPED_TRACE(key);
    dialogs->boxes.clear();
    dialogs->openAnswers.clear();
    frm().SpdBtnOpen->setFocus();
    dialogs->openAnswers.push_back(dir.filePath("never.hex"));
    // As from the keyboard: through the window to the focused control.
    QTest::keyClick(frm().windowHandle(), key);
    EXPECT_TRUE(frm().Panel1->hasFocus());
    EXPECT_EQ(dialogs->openAnswers.size(), 1u);  // Load did not run
    EXPECT_FALSE(frm().SpdBtnOpen->isDown());
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, "Please load object file!");
  }
}

// The Read Chip ID item is hidden for good, yet Ctrl+I runs it (it refuses without a
// chip); the shown items keep their own shortcuts, run once per key.
TEST_F(KeyTest, ShortcutsRunTheirCommandWhetherTheItemIsShownOrNot) {
  frm().show();
  frm().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&frm()));
  ASSERT_FALSE(frm().ReadChipIDInfo1->isVisible());
  struct Case {
    QKeyCombination key;
    const char* box;
  };
  const Case cases[] = {
      {Qt::CTRL | Qt::Key_I, "Please select the chip type!"},
      {QKeyCombination(Qt::Key_F6), "Please select the chip type!"},
      {QKeyCombination(Qt::Key_F4), "Please load object file!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(QKeySequence(c.key).toString().toStdString());
    dialogs->boxes.clear();
    QTest::keyClick(frm().windowHandle(), c.key.key(), c.key.keyboardModifiers());
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].text, c.box);
  }
}

}  // namespace
}  // namespace kestra::console::testing
