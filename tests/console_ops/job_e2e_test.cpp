// What a chip receives is fixed when its operation starts: the settings, the
// image, the serial number and the info data. The real window offscreen on
// simulated programmers; each table runs the operator's actions while
// operations run or after an on-line batch, and checks what the chips and the
// programmers really received.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <algorithm>
#include <cstdio>

#include "ConsoleFixture.h"
#include "companion/KestraRHB.h"

namespace kestra::console::testing {
namespace {

constexpr int ActiveSemi = 0;
constexpr int Epson = 1;
constexpr int Apollo = 2;

using Button = QToolButton* TProgramArmFrm::*;

uint16_t Word16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Word32(const std::vector<uint8_t>& p, std::size_t at) {
  return static_cast<uint32_t>(p[at] | (p[at + 1] << 8) | (p[at + 2] << 16)) |
         (static_cast<uint32_t>(p[at + 3]) << 24);
}

// A serial number as the chip holds it: the low word (and with 8 bytes the
// high word after it), least significant byte first, or the whole reversed.
std::vector<uint8_t> SerialBytes(uint32_t low, uint32_t high, bool eight, bool bigEndian) {
  std::vector<uint8_t> b;
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(low >> (8 * i)));
  if (eight)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(high >> (8 * i)));
  if (bigEndian) std::reverse(b.begin(), b.end());
  return b;
}

std::vector<uint8_t> WithSerial(std::vector<uint8_t> file, uint32_t at,
                                const std::vector<uint8_t>& serial) {
  std::copy(serial.begin(), serial.end(), file.begin() + at);
  return file;
}

std::string Hex8(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

std::string Ch(int k) { return "Channel " + std::to_string(k + 1) + " : "; }

// The log line of a channel that places its serial number at addr.
std::string PlacedLine(int k, uint32_t low, uint32_t high, bool eight, uint32_t addr) {
  char text[96];
  if (eight)
    std::snprintf(text, sizeof text, "Serial No 0x%08X%08X placed at 0x%06X.", high, low, addr);
  else
    std::snprintf(text, sizeof text, "Serial No 0x%08X placed at 0x%06X.", low, addr);
  return Ch(k) + text;
}

class JobE2E : public ConsoleFixture {
 protected:
  void SerialNumbersOn(const char* addr, const char* value) {
    w->CheckBoxSN->setChecked(true);
    w->ChkBoxPCSN->setChecked(true);
    w->AddrEdit->setText(addr);
    w->SNEdit->setText(value);
  }
  void Press(Button button) { (w.get()->*button)->click(); }

  // Channel k's device answers the program block at this position late.
  void SlowProgramBlock(int k, int position, int ms) {
    sim::CommandFault late;
    late.delayMs = ms;
    Dev(k).SetCommandFault(sim::DevCmdProgram, position, late);
  }

  // Channel k's chip holds bytes from address 0.
  ::testing::AssertionResult ChipHolds(int k, const std::vector<uint8_t>& bytes) {
    return Holds("chip " + std::to_string(k + 1), Dev(k).Flash(), bytes);
  }
  static ::testing::AssertionResult Holds(const std::string& what, const std::vector<uint8_t>& got,
                                          const std::vector<uint8_t>& want) {
    if (got.size() < want.size())
      return ::testing::AssertionFailure() << what << " holds " << got.size() << " bytes";
    const auto diff = std::mismatch(want.begin(), want.end(), got.begin());
    if (diff.first == want.end()) return ::testing::AssertionSuccess();
    const auto at = static_cast<unsigned>(diff.first - want.begin());
    char text[96];
    std::snprintf(text, sizeof text, " differs at 0x%06X: 0x%02X, not 0x%02X", at, *diff.second,
                  *diff.first);
    return ::testing::AssertionFailure() << what << text;
  }

  // The image checksums of bytes as the programmers compare them.
  static std::pair<uint16_t, uint16_t> SumAndCrc(const std::vector<uint8_t>& bytes) {
    const auto last = static_cast<uint32_t>(bytes.size() - 1);
    return {static_cast<uint16_t>(rhb::GetBinaryCheckSum(bytes.data(), 0, last, bytes.size())),
            static_cast<uint16_t>(rhb::GetTolvexCheckSum(bytes.data(), 0, last, bytes.size()))};
  }

  bool AllDevicesIdleAnd(const std::function<bool()>& cond, int ms = 60000) {
    return WaitFor([&] { return AllIdle() && cond(); }, ms);
  }
};

// ---- Settings changed while Auto runs on four channels ----

enum class Pressed { BlankButton, SpaceKey, EnterKey };

struct SettingsDuringRun {
  const char* name;
  Pressed press;
};
void PrintTo(const SettingsDuringRun& r, std::ostream* os) { *os << r.name; }

class SettingsDuringRunTest : public JobE2E,
                              public ::testing::WithParamInterface<SettingsDuringRun> {};

// Auto runs at 3.3 V, clock code 10, without protection. With every channel
// busy the operator sets 5.0 V, 100 kHz and "Protect Chip after Verified",
// then presses a command: it starts nothing, and the running chips finish
// with what Auto started with. (An APOLLO064 chip: the same Apollo settings
// as the 2 MB AMA3B2KK on a 64 KB chip.)
TEST_P(SettingsDuringRunTest, RunningChipsKeepTheSettingsTheyStartedWith) {
  const SettingsDuringRun& r = GetParam();
  Start(4);
  SelectChip(Apollo, "APOLLO064-KBR", 7);
  const auto file = LoadImage(41);
  for (int k = 0; k < 4; ++k) SlowProgramBlock(k, 16, 500);
  Press(&TProgramArmFrm::AutoSpdBtn);
  ASSERT_TRUE(WaitFor([&] {
    for (int k = 0; k < 4; ++k)
      if (Dev(k).PacketCount(sim::DevCmdProgram) < 5) return false;
    return true;
  })) << Dump();
  for (int k = 0; k < 4; ++k) ASSERT_TRUE(st.ChannelBusy[k]) << k << Dump();

  w->SetRadioGpVoltIndex(1);            // 5.0V
  w->ComBoxSpdCLK->setCurrentIndex(6);  // SCLK = 100KHz
  w->ChkBoxProt->setChecked(true);      // Protect Chip after Verified
  switch (r.press) {
    case Pressed::BlankButton:
      Press(&TProgramArmFrm::SpdBtnBlank);
      break;
    case Pressed::SpaceKey:
      QTest::keyClick(w.get(), Qt::Key_Space);
      break;
    case Pressed::EnterKey:
      QTest::keyClick(w.get(), Qt::Key_Return);
      break;
  }
  EXPECT_EQ(CountOf("Please connect the device first!"), 1) << Dump();
  ASSERT_TRUE(AllDevicesIdleAnd([&] {
    for (int k = 0; k < 4; ++k)
      if (Dev(k).ChipOpCount(sim::DevSubVerifyMain) != 1) return false;
    return true;
  })) << Dump();
  EXPECT_EQ(st.OnlineCounter, 4);
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    const auto pb = Dev(k).LastParamBlock();
    ASSERT_TRUE(pb.has_value());
    EXPECT_EQ((*pb)[16], 0x00);  // PowerFlags: 3.3 V
    EXPECT_EQ((*pb)[17], 0x04);  // ProtectFlags: Apollo, no protection
    EXPECT_EQ((*pb)[52], 10);    // ClockCode: 2 MHz
    EXPECT_EQ(Dev(k).ChipOpCount(sim::DevSubBlankCheck), 1);
    EXPECT_EQ(Dev(k).ChipOpCount(sim::DevSubWriteProtect), 0);
    EXPECT_EQ(Dev(k).PacketCount(sim::DevCmdRestartAfterProtect), 0);
    EXPECT_TRUE(ChipHolds(k, file));
  }

  // The next command takes the new settings.
  Press(&TProgramArmFrm::SpdBtnBlank);
  ASSERT_TRUE(AllDevicesIdleAnd([&] { return Dev(0).ChipOpCount(sim::DevSubBlankCheck) == 2; }))
      << Dump();
  const auto pb = Dev(0).LastParamBlock();
  ASSERT_TRUE(pb.has_value());
  EXPECT_EQ((*pb)[16], 0x04);
  EXPECT_EQ((*pb)[17], 0x85);
  EXPECT_EQ((*pb)[52], 80);
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Job, SettingsDuringRunTest,
                         ::testing::Values(SettingsDuringRun{"Blank", Pressed::BlankButton},
                                           SettingsDuringRun{"Space", Pressed::SpaceKey},
                                           SettingsDuringRun{"Enter", Pressed::EnterKey}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Auto or Prog pressed while another channel still programs ----

struct PressedWhileRunning {
  const char* name;
  Button button;  // AutoSpdBtn or SpdBtnProg
  bool serial;    // on-line serial numbers stay on (S/N set to 2), else they are ticked off
};
void PrintTo(const PressedWhileRunning& r, std::ostream* os) { *os << r.name; }

class PressedWhileRunningTest : public JobE2E,
                                public ::testing::WithParamInterface<PressedWhileRunning> {};

// Two devices, 32 KB chips, serial numbers at 0x7000 (in the last block).
// Channel 1 is held at block 4 while channel 2 finishes and gets a new chip;
// then the operator changes the serial numbers and presses a command: channel
// 1's chip still gets the image and serial number it started with and
// verifies; channel 2's new chip gets the new command's.
TEST_P(PressedWhileRunningTest, RunningChannelKeepsItsImageAndSerialNumber) {
  const PressedWhileRunning& r = GetParam();
  const bool autoCmd = r.button == &TProgramArmFrm::AutoSpdBtn;
  Start(2);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto file = LoadImage(42);
  SerialNumbersOn("0x00007000", "0x00000001");
  SlowProgramBlock(0, 16, 1000);
  Press(&TProgramArmFrm::AutoSpdBtn);
  ASSERT_TRUE(WaitFor([&] {
    return st.OnlineCounter == 1 && !st.ChannelBusy[1] &&
           Dev(0).PacketCount(sim::DevCmdProgram) >= 5;
  })) << Dump();
  ASSERT_TRUE(st.ChannelBusy[0]) << Dump();

  Dev(1).SetFlash(std::vector<uint8_t>(32 * 1024, 0xFF));  // the next chip
  if (r.serial)
    w->SNEdit->setText("0x00000002");
  else
    w->CheckBoxSN->setChecked(false);
  Press(r.button);
  ASSERT_TRUE(AllDevicesIdleAnd([&] {
    return st.OnlineCounter == (autoCmd ? 3 : 2) &&
           (autoCmd || Has(Ch(1) + "Programming Success!"));
  })) << Dump();

  EXPECT_TRUE(ChipHolds(0, WithSerial(file, 0x7000, {0x01, 0x00, 0x00, 0x00})));
  EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeBlue);
  // Channel 2 places the serial number after channel 1's: 2 + 1.
  EXPECT_TRUE(ChipHolds(1, r.serial ? WithSerial(file, 0x7000, {0x03, 0x00, 0x00, 0x00}) : file));
  EXPECT_EQ(CountOf(Ch(0) + "Main Data verify success!"), 1) << Dump();
  EXPECT_EQ(CountOf(Ch(1) + "Main Data verify success!"), autoCmd ? 2 : 1) << Dump();
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Job, PressedWhileRunningTest,
    ::testing::Values(PressedWhileRunning{"AutoWithSerial", &TProgramArmFrm::AutoSpdBtn, true},
                      PressedWhileRunning{"AutoWithoutSerial", &TProgramArmFrm::AutoSpdBtn, false},
                      PressedWhileRunning{"ProgWithSerial", &TProgramArmFrm::SpdBtnProg, true},
                      PressedWhileRunning{"ProgWithoutSerial", &TProgramArmFrm::SpdBtnProg, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Two on-line batches on four channels ----

struct OnlineBatches {
  const char* name;
  uint32_t low;
  bool eight;
  bool bigEndian;
};
void PrintTo(const OnlineBatches& r, std::ostream* os) { *os << r.name; }

class OnlineBatchesTest : public JobE2E, public ::testing::WithParamInterface<OnlineBatches> {};

// Every chip of a batch gets its own serial number, the next batch continues
// after the last one, and every chip verifies with its own.
TEST_P(OnlineBatchesTest, EveryChipGetsItsOwnSerialNumber) {
  const OnlineBatches& r = GetParam();
  constexpr uint32_t At = 0x100;
  constexpr uint32_t High = 0x55667788;
  Start(4);
  SelectChip(ActiveSemi, "PAC5210xx", 0);
  const auto file = LoadImage(43);
  SerialNumbersOn("0x00000100", Hex8(r.low).c_str());
  w->ChkBoxSNLen->setChecked(r.eight);
  w->EditSNHW->setText(Hex8(High).c_str());
  w->SNOrderChk->setChecked(r.bigEndian);
  for (uint32_t batch = 0; batch < 2; ++batch) {
    SCOPED_TRACE(batch);
    Press(&TProgramArmFrm::AutoSpdBtn);
    ASSERT_TRUE(AllDevicesIdleAnd([&] { return st.OnlineCounter == int(4 * batch + 4); }))
        << Dump();
    for (int k = 0; k < 4; ++k) {
      SCOPED_TRACE(k);
      const uint32_t low = r.low + 4 * batch + static_cast<uint32_t>(k);
      EXPECT_TRUE(ChipHolds(k, WithSerial(file, At, SerialBytes(low, High, r.eight, r.bigEndian))));
      EXPECT_TRUE(Has(PlacedLine(k, low, High, r.eight, At))) << Dump();
      EXPECT_EQ(CountOf(Ch(k) + "Main Data verify success!"), int(batch + 1));
    }
    EXPECT_EQ(w->SNEdit->text().toStdString(), Hex8(r.low + 4 * batch + 4));
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Job, OnlineBatchesTest,
                         ::testing::Values(OnlineBatches{"FourLittle", 0x11223344, false, false},
                                           OnlineBatches{"FourBig", 0x11223344, false, true},
                                           OnlineBatches{"EightLittle", 0x11223344, true, false},
                                           OnlineBatches{"EightBig", 0x11223344, true, true},
                                           OnlineBatches{"AcrossTheWrap", 0xFFFFFFFE, false,
                                                         false}),
                         [](const auto& info) { return std::string(info.param.name); });

// An Auto that starts no channel places no serial number: "S/N Initial"
// stays, both while every channel runs and once the device is gone.
TEST_F(JobE2E, SerialNumberStaysWhenAutoStartsNoChannel) {
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto file = LoadImage(45);
  SerialNumbersOn("0x00007000", "0x00000005");
  SlowProgramBlock(0, 16, 1000);
  Press(&TProgramArmFrm::AutoSpdBtn);
  ASSERT_TRUE(WaitFor([&] { return Dev(0).PacketCount(sim::DevCmdProgram) >= 5; })) << Dump();
  ASSERT_TRUE(st.ChannelBusy[0]) << Dump();
  EXPECT_EQ(w->SNEdit->text().toStdString(), "0x00000006");

  Press(&TProgramArmFrm::AutoSpdBtn);
  EXPECT_EQ(CountOf("Please connect the device first!"), 1) << Dump();
  EXPECT_EQ(w->SNEdit->text().toStdString(), "0x00000006");
  ASSERT_TRUE(AllDevicesIdleAnd([&] { return st.OnlineCounter == 1; })) << Dump();
  EXPECT_TRUE(ChipHolds(0, WithSerial(file, 0x7000, {0x05, 0x00, 0x00, 0x00})));

  Dev(0).Unplug();
  ASSERT_TRUE(WaitFor([&] { return st.DeviceOnline[0] == 0; })) << Dump();
  Press(&TProgramArmFrm::AutoSpdBtn);
  EXPECT_EQ(CountOf("Please connect the device first!"), 2) << Dump();
  EXPECT_EQ(w->SNEdit->text().toStdString(), "0x00000006");
}

// ---- Download, Save and Verify after an on-line batch ----

enum class After { DownloadSerialOffThenStart, DownloadSerialOn, SaveFile, Verify };

struct AfterBatch {
  const char* name;
  After action;
};
void PrintTo(const AfterBatch& r, std::ostream* os) { *os << r.name; }

class AfterBatchTest : public JobE2E, public ::testing::WithParamInterface<AfterBatch> {};

// Serial numbers 0x11223344 at 0x1000 on two chips; what follows sees the
// file as loaded: Download sends it (the programmers place their own serial
// numbers when told to), Save writes it, Verify compares the chips with it.
TEST_P(AfterBatchTest, LaterCommandsSeeTheFileAsLoaded) {
  const AfterBatch& r = GetParam();
  constexpr uint32_t At = 0x1000;
  Start(2);
  SelectChip(ActiveSemi, "PAC5210xx", 0);
  const auto file = LoadImage(44);
  SerialNumbersOn("0x00001000", "0x11223344");
  Press(&TProgramArmFrm::AutoSpdBtn);
  ASSERT_TRUE(AllDevicesIdleAnd([&] { return st.OnlineCounter == 2; })) << Dump();
  ASSERT_TRUE(ChipHolds(0, WithSerial(file, At, {0x44, 0x33, 0x22, 0x11})));

  switch (r.action) {
    case After::DownloadSerialOffThenStart:
    case After::DownloadSerialOn: {
      const bool serial = r.action == After::DownloadSerialOn;
      if (!serial) w->CheckBoxSN->setChecked(false);
      Press(&TProgramArmFrm::SpdBtnDownLoad);
      ASSERT_TRUE(AllDevicesIdleAnd([&] {
        return Has(Ch(0) + "Download Success!") && Has(Ch(1) + "Download Success!");
      })) << Dump();
      for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(Holds("job", Dev(k).JobImage(), file));
        const auto cfg = Dev(k).LastConfigPacket();
        ASSERT_GE(cfg.size(), 108u);
        EXPECT_EQ(cfg[92], serial ? 15 : 0);  // SnEnable
        EXPECT_EQ(Word32(cfg, 96), serial ? At : 0xFFFFFFFFu);
        // The batch moved "S/N Initial" on to 0x11223346.
        if (serial) {
          EXPECT_EQ(Word32(cfg, 100), 0x11223346u + static_cast<uint32_t>(k));
        }
      }
      if (serial) break;
      // Stand-alone production programs the downloaded job.
      w->ops->SpdBtnStartPrgClick();
      ASSERT_TRUE(WaitFor([&] { return Dev(0).StandAlone(); })) << Dump();
      Dev(0).RunChipCycle();
      ASSERT_TRUE(WaitFor([&] { return Dev(0).ChipCycles() == 1; })) << Dump();
      EXPECT_TRUE(ChipHolds(0, file));
      break;
    }
    case After::SaveFile: {
      const QString path = dir.filePath("saved.bin");
      dialogs->saveAnswers.push_back(path);
      w->FileSaveBtnClick();
      QFile saved(path);
      ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
      const QByteArray bytes = saved.readAll();
      EXPECT_TRUE(Holds("saved file", std::vector<uint8_t>(bytes.begin(), bytes.end()), file));
      EXPECT_EQ(bytes.size(), static_cast<qsizetype>(file.size()));
      break;
    }
    case After::Verify: {
      Dev(0).SetFlash(file);  // a chip that holds the file, no serial number
      Press(&TProgramArmFrm::SpdBtnVerify);
      ASSERT_TRUE(AllDevicesIdleAnd([&] {
        return Dev(0).ChipOpCount(sim::DevSubVerifyMain) == 2 &&
               Dev(1).ChipOpCount(sim::DevSubVerifyMain) == 2;
      })) << Dump();
      EXPECT_TRUE(Has(Ch(1) + "Chip checksum error!")) << Dump();
      EXPECT_EQ(CountOf(Ch(0) + "Main Data verify success!"), 2) << Dump();
      EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeBlue);
      const auto [sum, crc] = SumAndCrc(file);
      char line[80];
      std::snprintf(line, sizeof line, "Current Buffer Checksum is: 0x%04X, 0x%04X.", sum, crc);
      EXPECT_TRUE(Has(Ch(1) + line)) << Dump();
      for (int k = 0; k < 2; ++k) {
        const auto pb = Dev(k).LastParamBlock();
        ASSERT_TRUE(pb.has_value());
        EXPECT_EQ(Word16(pb->data() + 34), sum);
        EXPECT_EQ(Word16(pb->data() + 32), crc);
      }
      break;
    }
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Job, AfterBatchTest,
    ::testing::Values(AfterBatch{"DownloadSerialOffThenStart", After::DownloadSerialOffThenStart},
                      AfterBatch{"DownloadSerialOn", After::DownloadSerialOn},
                      AfterBatch{"SaveFile", After::SaveFile}, AfterBatch{"Verify", After::Verify}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Info data ticked, then a chip without info memory ----

struct InfoThenNoInfoChip {
  const char* name;
  const char* from;  // an Apollo chip with info memory
  uint8_t fromIndex;
  bool byFile;  // an info data file ticks "Program Info Data", else the operator does
  int toSeries;
  const char* to;  // a chip without info memory
  uint8_t toIndex;
  bool download;  // Download, else Auto
};
void PrintTo(const InfoThenNoInfoChip& r, std::ostream* os) { *os << r.name; }

class InfoThenNoInfoChipTest : public JobE2E,
                               public ::testing::WithParamInterface<InfoThenNoInfoChip> {};

// The box stays ticked (and hidden), but a chip without info memory gets no
// info data: no info write, no info download, PowerFlags without 0x08.
TEST_P(InfoThenNoInfoChipTest, NoInfoDataGoesToAChipWithoutInfoMemory) {
  const InfoThenNoInfoChip& r = GetParam();
  Start(1);
  SelectChip(Apollo, r.from, r.fromIndex);
  if (r.byFile) {
    const QString path = dir.filePath("info.bin");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    const auto info = Pattern(2048, 45);
    f.write(reinterpret_cast<const char*>(info.data()), static_cast<qint64>(info.size()));
    f.close();
    dialogs->openAnswers.push_back(path);
    w->LoadEepData1Click();
  } else {
    w->ChkBoxEep->setChecked(true);
  }
  ASSERT_TRUE(w->ChkBoxEep->isChecked());
  SelectChip(r.toSeries, r.to, r.toIndex);
  ASSERT_EQ(st.s.InfoMemSize, 0);
  EXPECT_TRUE(w->ChkBoxEep->isChecked());
  EXPECT_TRUE(w->ChkBoxEep->isHidden());
  const auto file = LoadImage(46);

  if (r.download) {
    Press(&TProgramArmFrm::SpdBtnDownLoad);
    // Either download ends with a REST.
    ASSERT_TRUE(AllDevicesIdleAnd([&] { return Dev(0).PacketCount(sim::DevCmdRestart) == 1; }))
        << Dump();
    EXPECT_TRUE(Has(Ch(0) + "Download Success!")) << Dump();
    EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdDownloadInfo), 0);
    EXPECT_FALSE(Has(Ch(0) + "Download Info Data Success!"));
    EXPECT_TRUE(Holds("job", Dev(0).JobImage(), file));
    const auto cfg = Dev(0).LastConfigPacket();
    ASSERT_GE(cfg.size(), 76u);
    EXPECT_EQ(cfg[12 + 16] & 0x08, 0);  // PowerFlags of the configuration's ParamBlock
  } else {
    Press(&TProgramArmFrm::AutoSpdBtn);
    ASSERT_TRUE(AllDevicesIdleAnd([&] { return st.OnlineCounter == 1; })) << Dump();
    EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdWriteInfo), 0);
    EXPECT_FALSE(Has(Ch(0) + "Info Data write success!"));
    EXPECT_TRUE(ChipHolds(0, file));
    const auto pb = Dev(0).LastParamBlock();
    ASSERT_TRUE(pb.has_value());
    EXPECT_EQ((*pb)[16] & 0x08, 0);
    EXPECT_EQ(Word16(pb->data() + 12), 0);
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Job, InfoThenNoInfoChipTest,
    ::testing::Values(InfoThenNoInfoChip{"TickedThenEpsonAuto", "AMA3B1KK-KBR", 8, false, Epson,
                                         "S1C31D01xx", 0, false},
                      InfoThenNoInfoChip{"FileThenEpsonDownload", "APOLLO512-KCR", 0, true, Epson,
                                         "S1C31D01xx", 0, true},
                      InfoThenNoInfoChip{"TickedThenActiveSemiDownload", "AMA3B1KK-KBR", 8, false,
                                         ActiveSemi, "PAC5210xx", 0, true},
                      InfoThenNoInfoChip{"FileThenActiveSemiAuto", "APOLLO512-KCR", 0, true,
                                         ActiveSemi, "PAC5210xx", 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Download with a serial number address outside the chip ----

struct DownloadAddress {
  const char* name;
  const char* addr;
  bool eight;
  const char* range;  // the refused range as the box shows it
};
void PrintTo(const DownloadAddress& r, std::ostream* os) { *os << r.name; }

class DownloadAddressTest : public JobE2E, public ::testing::WithParamInterface<DownloadAddress> {};

// PAC5210xx (0..0x7FFF) with serial numbers on: a serial number that would
// not lie wholly inside the chip stops Download before anything is sent; an
// address inside goes to every programmer.
TEST_P(DownloadAddressTest, DownloadSendsOnlyAnAddressInsideTheChip) {
  const DownloadAddress& r = GetParam();
  Start(2);
  SelectChip(ActiveSemi, "PAC5210xx", 0);
  const auto file = LoadImage(47);
  SerialNumbersOn(r.addr, "0x00000001");
  w->ChkBoxSNLen->setChecked(r.eight);
  const int before = Dev(0).TotalPackets() + Dev(1).TotalPackets();
  Press(&TProgramArmFrm::SpdBtnDownLoad);
  ASSERT_EQ(dialogs->boxes.size(), 1u) << Dump();
  const std::string text = dialogs->boxes[0].text.toStdString();
  EXPECT_NE(text.find(std::string(r.range) + " is outside the chip (0x00000000..0x00007FFF)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("nothing was started!"), std::string::npos) << text;
  EXPECT_TRUE(Has(text)) << Dump();
  EXPECT_TRUE(AllIdle());
  EXPECT_FALSE(
      WaitFor([&] { return Dev(0).TotalPackets() + Dev(1).TotalPackets() != before; }, 200));

  w->AddrEdit->setText("0x00007FF0");
  Press(&TProgramArmFrm::SpdBtnDownLoad);
  ASSERT_TRUE(AllDevicesIdleAnd([&] {
    return Has(Ch(0) + "Download Success!") && Has(Ch(1) + "Download Success!");
  })) << Dump();
  EXPECT_EQ(dialogs->boxes.size(), 1u);
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    const auto cfg = Dev(k).LastConfigPacket();
    ASSERT_GE(cfg.size(), 108u);
    EXPECT_EQ(cfg[92], 15);
    EXPECT_EQ(cfg[93], r.eight ? 8 : 4);
    EXPECT_EQ(Word32(cfg, 96), 0x7FF0u);
    EXPECT_TRUE(Holds("job", Dev(k).JobImage(), file));
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Job, DownloadAddressTest,
    ::testing::Values(
        DownloadAddress{"FarAbove", "0x00200000", false, "0x00200000..0x00200003"},
        DownloadAddress{"AllOnes", "0xFFFFFFFF", false, "0xFFFFFFFF..0x100000002"},
        DownloadAddress{"AcrossTheEnd", "0x00007FFE", false, "0x00007FFE..0x00008001"},
        DownloadAddress{"EightAcrossTheEnd", "0x00007FFC", true, "0x00007FFC..0x00008003"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Serial numbers shown in decimal across 0x80000000 ----

struct DecimalSerial {
  const char* name;
  Button button;
  uint32_t low;
  std::optional<uint32_t> high;  // 8-byte serial numbers
  const char* shown;             // "S/N Initial" in decimal
  const char* highShown;         // "S/N H/W" in decimal
  const char* next;              // "S/N Initial" after the command (nullptr: unchanged)
  const char* end;               // the line each channel ends with
};
void PrintTo(const DecimalSerial& r, std::ostream* os) { *os << r.name; }

class DecimalSerialTest : public JobE2E, public ::testing::WithParamInterface<DecimalSerial> {};

// "S/N Decimal Display" shows every 32-bit serial number, and every command
// takes what it shows.
TEST_P(DecimalSerialTest, CommandsTakeTheDecimalSerialNumber) {
  const DecimalSerial& r = GetParam();
  constexpr uint32_t At = 0x100;
  Start(2);
  SelectChip(ActiveSemi, "PAC5210xx", 0);
  const auto file = LoadImage(48);
  SerialNumbersOn("0x00000100", Hex8(r.low).c_str());
  w->ChkBoxSNLen->setChecked(r.high.has_value());
  if (r.high) w->EditSNHW->setText(Hex8(*r.high).c_str());
  w->ChkBoxSNDP->setChecked(true);
  EXPECT_EQ(w->SNEdit->text().toStdString(), r.shown);
  if (r.high) {
    EXPECT_EQ(w->EditSNHW->text().toStdString(), r.highShown);
  }

  Press(r.button);
  ASSERT_TRUE(dialogs->boxes.empty()) << Dump();
  ASSERT_TRUE(AllDevicesIdleAnd([&] { return Has(Ch(0) + r.end) && Has(Ch(1) + r.end); }))
      << Dump();
  const uint32_t high = r.high.value_or(0xFFFFFFFF);
  if (r.button == &TProgramArmFrm::SpdBtnDownLoad) {
    for (int k = 0; k < 2; ++k) {
      SCOPED_TRACE(k);
      const auto cfg = Dev(k).LastConfigPacket();
      ASSERT_GE(cfg.size(), 108u) << Dump();
      EXPECT_EQ(Word32(cfg, 100), r.low + static_cast<uint32_t>(k));
      EXPECT_EQ(Word32(cfg, 104), high);
    }
  } else if (r.button == &TProgramArmFrm::SpdBtnBlank) {
    for (int k = 0; k < 2; ++k) EXPECT_EQ(Dev(k).ChipOpCount(sim::DevSubBlankCheck), 1);
  } else {
    for (int k = 0; k < 2; ++k) {
      SCOPED_TRACE(k);
      const uint32_t low = r.low + static_cast<uint32_t>(k);
      EXPECT_TRUE(
          ChipHolds(k, WithSerial(file, At, SerialBytes(low, high, r.high.has_value(), false))));
    }
  }
  EXPECT_EQ(w->SNEdit->text().toStdString(), r.next ? r.next : r.shown);
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Job, DecimalSerialTest,
    ::testing::Values(
        DecimalSerial{"AutoBelow", &TProgramArmFrm::AutoSpdBtn, 0x7FFFFFFF, std::nullopt,
                      "2147483647", nullptr, "2147483649", "Main Data verify success!"},
        DecimalSerial{"AutoAbove", &TProgramArmFrm::AutoSpdBtn, 0x80000001, std::nullopt,
                      "2147483649", nullptr, "2147483651", "Main Data verify success!"},
        DecimalSerial{"ProgEightAtTheTop", &TProgramArmFrm::SpdBtnProg, 0xFFFFFFFF, 0x80000000,
                      "4294967295", "2147483648", "1", "Programming Success!"},
        DecimalSerial{"Download", &TProgramArmFrm::SpdBtnDownLoad, 0x80000000, 0x90000000,
                      "2147483648", "2415919104", nullptr, "Download Success!"},
        DecimalSerial{"Blank", &TProgramArmFrm::SpdBtnBlank, 0x80000001, std::nullopt, "2147483649",
                      nullptr, nullptr, "Current Chip is blank!"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestra::console::testing
