// The console end to end: the real window offscreen, real serial components
// on simulated programmers.
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>
#include <array>
#include <cstring>

#include "ConsoleFixture.h"
#include "console/StandAlone.h"
#include "link/Packets.h"
#include "serial/TComm.h"

namespace kestra::console::testing {
namespace {

using Console = ConsoleFixture;

constexpr int Apollo = 2;
constexpr int ActiveSemi = 0;

TEST_F(Console, StartUpFindsFourDevices) {
  Start(4);
  for (int k = 1; k <= 4; ++k) {
    const std::string n = std::to_string(k);
    EXPECT_TRUE(Has("Channel " + n + " : Found Device " + n + " : " + sim::DefaultIdent + "!"));
    EXPECT_TRUE(w->Gauges[k - 1]->isEnabled());
  }
  EXPECT_EQ(w->InfoPanel->text().toStdString(), sim::DefaultIdent);
  EXPECT_TRUE(Has("Hello KestraGangA4 User!------"));
  EXPECT_TRUE(WaitFor([&] { return st.ChannelsMapped == 1; }));
  EXPECT_EQ(farm->ViolationCount(), 0);
}

TEST_F(Console, FivePortsListedOnlyFourOpened) {
  Start(5);
  EXPECT_EQ(w->ComboBoxCOM->Count(), 5);
  int searched = 0;
  for (int k = 0; k < 5; ++k) searched += farm->Device(k).PacketCount(sim::DevCmdSearch) > 0;
  EXPECT_EQ(searched, 4);
  // The list never equals the devices found: the gauges stay unmapped.
  EXPECT_FALSE(WaitFor([&] { return st.ChannelsMapped != 0; }, 300));
}

TEST_F(Console, AutoProgramsFourChannelsWith512K) {
  Start(4);
  SelectChip(Apollo, "APOLLO512-KBR", 1);
  ASSERT_EQ(st.s.FlashSizeKB, 512);
  const auto image = LoadImage(1);
  w->ops->AutoSpdBtnClick();
  ASSERT_TRUE(WaitFor([&] { return st.OnlineCounter == 4 && AllIdle(); }, 120000))
      << "counter " << st.OnlineCounter << Dump();
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    const auto flash = Dev(k).Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(w->Gauges[k]->ForeColor(), ui::GaugeBlue);
    const std::string n = std::to_string(k + 1);
    EXPECT_TRUE(Has("Channel " + n + " : Current Chip is blank!"));
    EXPECT_TRUE(Has("Channel " + n + " : Main Data verify success!"));
  }
  EXPECT_EQ(w->StatusPanelText(3).toStdString(), "OnLine Counter: 4");
  EXPECT_EQ(farm->ViolationCount(), 0) << farm->Violations().front();
}

// Two programmers answer the verify with replies that prove nothing (cut to
// the header; status 0 under a wrong check): their channels end failed and
// count nothing, while the other two pass and are counted.
TEST_F(Console, DamagedVerifyRepliesFailOnlyTheirChannels) {
  Start(4);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  LoadImage(3);
  sim::CommandFault header;
  header.headerOnly = true;
  Dev(0).SetCommandFault(sim::DevCmdChipOp, sim::DevSubVerifyMain, header);
  sim::CommandFault badCheck;
  badCheck.badCheck = true;
  Dev(2).SetCommandFault(sim::DevCmdChipOp, sim::DevSubVerifyMain, badCheck);
  w->ops->AutoSpdBtnClick();  // every channel is busy from here until it ends
  ASSERT_TRUE(WaitFor([&] { return AllIdle(); })) << "counter " << st.OnlineCounter << Dump();
  EXPECT_EQ(st.OnlineCounter, 2);
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    const std::string n = std::to_string(k + 1);
    const bool damaged = k == 0 || k == 2;
    EXPECT_EQ(Has("Channel " + n + " : Main Data verify success!"), !damaged);
    EXPECT_EQ(Has("Channel " + n + " : Packet checksum error!"), damaged);
    EXPECT_EQ(w->Gauges[k]->ForeColor(), damaged ? ui::GaugeRed : ui::GaugeBlue);
    EXPECT_EQ(Dev(k).ChipOpCount(sim::DevSubVerifyMain), 1);
  }
  EXPECT_EQ(w->StatusPanelText(3).toStdString(), "OnLine Counter: 2");
  EXPECT_EQ(farm->ViolationCount(), 0);
}

TEST_F(Console, NotBlankErasesInsideAutoAndEndsRedOutside) {
  Start(2);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  LoadImage(2);
  Dev(1).SetFlash(Pattern(32 * 1024, 9));  // written chip on channel 2
  w->ops->AutoSpdBtnClick();
  ASSERT_TRUE(WaitFor([&] { return st.OnlineCounter == 2 && AllIdle(); }));
  const int notBlank = Find("Channel 2 : Chip is not blank!");
  ASSERT_GE(notBlank, 0);
  EXPECT_GE(Find("Channel 2 : Chip has been erased!", notBlank), 0);

  Dev(0).SetNotBlank(true);
  w->ops->SpdBtnBlankClick();
  ASSERT_TRUE(WaitFor([&] { return AllIdle(2) && CountOf("Channel 1 : Chip is not blank!"); }));
  EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeRed);
  EXPECT_FALSE(Has("Channel 1 : Operation error! Error Code = 0x15"));  // worded, no result text
}

TEST_F(Console, VerifyChecksumErrorLinesInOrder) {
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  LoadImage(3);
  Dev(0).SetVerifyMismatch(true);
  w->ops->SpdBtnVerifyClick();
  ASSERT_TRUE(WaitLine("Channel 1 : Chip checksum error!"));
  const int c = Find("Channel 1 : Chip checksum error!");
  EXPECT_EQ(Lines()[c - 2].rfind("Channel 1 : Current Buffer Checksum is: 0x", 0), 0u);
  EXPECT_EQ(Lines()[c - 1].rfind("Channel 1 : Read out Chip Checksum is : 0x", 0), 0u);
  EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeRed);
}

TEST_F(Console, ProtectAfterVerifyLeavesTheCounterAlone) {
  Start(2);
  SelectChip(ActiveSemi, "PAC5532xx", 11);  // PAC55: the lock option is offered
  LoadImage(4);
  w->ChkBoxProt->setChecked(true);
  w->ops->AutoSpdBtnClick();
  ASSERT_TRUE(WaitFor([&] {
    return CountOf("Channel 1 : Chip Protected data write success!") &&
           CountOf("Channel 2 : Chip Protected data write success!") && AllIdle();
  })) << Dump()
      << ::testing::PrintToString(farm->Violations());
  EXPECT_EQ(st.OnlineCounter, 0);
  EXPECT_TRUE(Dev(0).ReadProtected());
  EXPECT_TRUE(WaitFor([&] { return Dev(1).PacketCount(sim::DevCmdRestartAfterProtect); }));
}

TEST_F(Console, ReadOutRetriesUpToSixSendsPerBlock) {
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto chip = Pattern(32 * 1024, 5);
  Dev(0).SetFlash(chip);
  sim::CommandFault five;
  five.failTimes = 5;
  Dev(0).SetCommandFault(sim::DevCmdReadMain, 4, five);
  w->ops->SpeedButtonRDClick();
  ASSERT_TRUE(WaitLine("Channel 1 : Data has bee read out!"));
  EXPECT_TRUE(std::equal(chip.begin(), chip.end(), st.ImageBuffer.get()));
  EXPECT_EQ(st.FileLoaded, 1);
  EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdReadMain), 8 + 5);

  sim::CommandFault six;
  six.failTimes = 6;
  Dev(0).ClearFaults();
  Dev(0).SetCommandFault(sim::DevCmdReadMain, 8, six);
  w->ops->SpeedButtonRDClick();
  ASSERT_TRUE(WaitLine("Channel 1 : Flash Memory Error!"));
  EXPECT_TRUE(WaitFor([&] { return AllIdle(1); }));
  EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdReadMain), 13 + 2 + 6);
  EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeRed);
}

// Flash full of the two framing bytes doubles every read-out reply on the
// wire (8214 bytes a frame): the chunks of one reply must be kept until it is
// whole, so the image still comes back exact.
TEST_F(Console, ReadOutOfFlashFullOfFramingBytes) {
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  std::vector<uint8_t> chip(32 * 1024);
  for (std::size_t i = 0; i < chip.size(); ++i) chip[i] = (i / 7) % 2 ? 0xC0 : 0xDB;
  Dev(0).SetFlash(chip);
  w->ops->SpeedButtonRDClick();
  ASSERT_TRUE(WaitLine("Channel 1 : Data has bee read out!"));
  EXPECT_TRUE(std::equal(chip.begin(), chip.end(), st.ImageBuffer.get()));
  EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdReadMain), 8);
}

TEST_F(Console, ReadOutOfInfoMemory) {
  Start(1);
  SelectChip(Apollo, "APOLLO128-KBR", 5);
  ASSERT_EQ(st.s.InfoMemSize, 2048);
  const auto info = Pattern(2048, 6);
  Dev(0).SetInfoMemory(info);
  w->ops->ReadChipEepData1Click();
  ASSERT_TRUE(WaitLine("Channel 1 : Read Out Info Data!"));
  EXPECT_TRUE(std::equal(info.begin(), info.end(), st.InfoBuffer.get()));
  EXPECT_EQ(w->Gauges[0]->MaxValue(), 2);
}

TEST_F(Console, DownloadThenStandAloneProduction) {
  Start(2);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto image = LoadImage(7);
  w->ops->SpdBtnDownLoadClick();
  ASSERT_TRUE(WaitFor([&] {
    return CountOf("Channel 1 : Download Success!") && CountOf("Channel 2 : Download Success!");
  }));
  for (int k = 0; k < 2; ++k) {
    const auto job = Dev(k).JobImage();
    ASSERT_GE(job.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), job.begin()));
  }

  w->ops->SpdBtnStartPrgClick();
  EXPECT_EQ(CountOf("启动脱机烧写和监控..........."), 2);
  ASSERT_TRUE(WaitFor([&] { return Dev(0).StandAlone() && Dev(1).StandAlone(); }));
  EXPECT_EQ(st.ChannelState[0], StateStandAlone);
  Dev(0).RunChipCycle();
  ASSERT_TRUE(WaitLine("Channel 1 : OK=1, NG=0."));
  Dev(1).SetStandaloneResult(0x31);
  Dev(1).RunChipCycle();
  ASSERT_TRUE(WaitLine("Channel 2 : OK=0, NG=1."));
  EXPECT_TRUE(Has("Channel 1 : Progrmming Completed : Successed !"));
  EXPECT_TRUE(Has("Channel 2 : Progrmming Completed : "));
  EXPECT_TRUE(Has(">---------- Total OK Number is : 1, NG is 1 ----------"));
  EXPECT_EQ(w->Gauges[1]->ForeColor(), ui::GaugeRed);
  EXPECT_EQ(farm->ViolationCount(), 0);
}

// The production log of the 2000th chip cannot be written: its error box,
// whose event loop goes on delivering the programmer's bytes, opens once the
// chip has been handled, so the chips that come while it is open are each
// counted once, at once.
TEST_F(Console, ProductionLogBoxOpensAfterTheChipAndHoldsUpNone) {
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  LoadImage(7);
  w->ops->SpdBtnDownLoadClick();
  ASSERT_TRUE(WaitLine("Channel 1 : Download Success!"));
  w->ops->SpdBtnStartPrgClick();
  ASSERT_TRUE(WaitFor([&] { return Dev(0).StandAlone(); }));
  st.StartupDir = dir.filePath("no-such-folder").toStdString();
  st.LogSaveCounter = ProductionLogEvery - 1;
  uint32_t countedWhileOpen = 0;
  dialogs->whileOpen = [&](const ui::ScriptedDialogs::Box&) {
    for (int chip = 2; chip <= 3; ++chip) {
      Dev(0).RunChipCycle();
      WaitFor([&] { return st.TotalOkCount >= static_cast<uint32_t>(chip); }, 5000);
    }
    countedWhileOpen = st.TotalOkCount;
  };
  Dev(0).RunChipCycle();
  ASSERT_TRUE(WaitFor([&] { return !dialogs->boxes.empty() && countedWhileOpen > 0; })) << Dump();
  WaitFor([] { return false; }, 300);  // anything still on its way
  EXPECT_EQ(countedWhileOpen, 3u) << Dump();
  EXPECT_EQ(st.ChannelOkCount[0], 3u);
  EXPECT_EQ(st.TotalOkCount + st.TotalNgCount, 3u);
  EXPECT_EQ(Dev(0).ChipCycles(), 3);
  EXPECT_EQ(CountOf("Channel 1 : OK=3, NG=0."), 1);
  ASSERT_EQ(dialogs->boxes.size(), 1u) << Dump();
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
}

std::string HexBytes(const uint8_t* p, int n) {
  std::string s;
  char c[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(c, sizeof c, "%02X ", p[i]);
    s += c;
  }
  return s;
}

TEST_F(Console, ChipInformationOfBothSeriesOnChannelsOneAndFour) {
  Start(4);
  SelectChip(Apollo, "APOLLO512-KBR", 1);
  w->ops->ReadChipInfoMemory1Click();
  // Channels answer in any order: wait for every channel's display.
  ASSERT_TRUE(WaitFor([&] {
    for (int k = 1; k <= 4; ++k)
      if (CountOf(" Read Chip " + std::to_string(k) + " Information Memory Is Below : ") != 1)
        return false;
    return true;
  })) << Dump();
  for (int k : {0, 3}) {
    const auto uid = Dev(k).Uid();
    EXPECT_TRUE(
        Has("     Read Chip " + std::to_string(k + 1) + " UID : " + HexBytes(uid.data(), 8)));
  }
  EXPECT_TRUE(WaitFor([&] { return AllIdle(); }));

  SelectChip(ActiveSemi, "PAC5223xx", 3);
  w->ops->ReadChipInfoMemory1Click();
  ASSERT_TRUE(WaitFor([&] { return CountOf("  IMAKS=0x0F, SECLEVEL=0x00.") == 4; }));
  for (int k : {0, 3}) {
    const auto uid = Dev(k).Uid();
    EXPECT_TRUE(Has("  Read Chip " + std::to_string(k + 1) + " UID : " + HexBytes(uid.data(), 12)));
  }
}

TEST_F(Console, SilentDeviceTimesOutWhileOthersFinish) {
  Start(3);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto image = LoadImage(8);
  Dev(1).SetSilent(true);
  w->ops->AutoSpdBtnClick();
  ASSERT_TRUE(WaitLine("Channel 2 : Operation Time Out!", 60000));
  EXPECT_TRUE(WaitFor([&] { return AllIdle(); }));
  EXPECT_EQ(CountOf("Channel 2 : Operation Time Out!"), 1);
  EXPECT_EQ(st.OnlineCounter, 2);
  EXPECT_EQ(w->Gauges[1]->ForeColor(), ui::GaugeRed);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), Dev(2).Flash().begin()));
}

TEST_F(Console, UnpluggedDeviceClosesItsPortAndOthersFinish) {
  Start(3);
  SelectChip(ActiveSemi, "PAC5532xx", 11);  // 128 KB: the unplug lands mid-programming
  LoadImage(9);
  const std::string lostPort = Dev(2).PortName();
  Dev(2).SetUnplugAfter(10);
  w->ops->AutoSpdBtnClick();
  ASSERT_TRUE(WaitFor([&] { return st.DeviceOnline[2] == 0; })) << Dump();
  EXPECT_EQ(w->SerComm(2).PortHandle(), 0u);
  EXPECT_FALSE(w->Gauges[2]->isEnabled());
  for (int i = 0; i < w->ComboBoxCOM->Count(); ++i) EXPECT_NE(w->ComboBoxCOM->Item(i), lostPort);
  ASSERT_TRUE(
      WaitFor([&] { return st.OnlineCounter == 2 && !st.ChannelBusy[0] && !st.ChannelBusy[1]; }));
}

TEST_F(Console, ExitLogNeedsMoreThanSixLines) {
  Start(1);
  w->InfoMemo->Clear();
  for (int i = 0; i < 6; ++i) w->InfoMemo->Add(QString("line %1").arg(i));
  w->ops->FormClose();
  EXPECT_TRUE(QDir(dir.path()).entryList({"*.log"}, QDir::Files).isEmpty());
  w->InfoMemo->Add("line 6");
  w->ops->FormClose();
  const QStringList logs = QDir(dir.path()).entryList({"*.log"}, QDir::Files);
  ASSERT_EQ(logs.size(), 1);
  EXPECT_TRUE(logs[0].startsWith("EPS_"));
  EXPECT_FALSE(logs[0].mid(5).contains(QRegularExpression("[-/:]")));
  EXPECT_EQ(w->SerComm(0).PortHandle(), 0u);
}

TEST_F(Console, FailedExitLogWriteIsReported) {
  Start(1);
  st.StartupDir = dir.filePath("missing-folder").toStdString();
  for (int i = 0; i < 7; ++i) w->InfoMemo->Add("x");
  w->ops->FormClose();
  ASSERT_FALSE(dialogs->boxes.empty());
  EXPECT_EQ(dialogs->boxes.back().kind, ui::ScriptedDialogs::Box::Error);
}

// The multi-channel commands log once when they started none.
TEST_F(Console, CommandsWithoutDevicesLogOnce) {
  Start(1);
  Dev(0).SetIdent("OtherModel V1.0");  // the search finds a port but no programmer
  w->ops->BitBtnFindCOMClick();
  ASSERT_TRUE(WaitLine("Channel 1 : No device was found!"));
  ASSERT_EQ(st.DevicesFound, 0);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  LoadImage(10);
  void (ConsoleOperations::*const commands[])() = {
      &ConsoleOperations::SpdBtnDownLoadClick,    &ConsoleOperations::AutoSpdBtnClick,
      &ConsoleOperations::SpdBtnBlankClick,       &ConsoleOperations::SpdBtnEraseClick,
      &ConsoleOperations::SpdBtnProgClick,        &ConsoleOperations::SpdBtnVerifyClick,
      &ConsoleOperations::ProtectChip1Click,      &ConsoleOperations::ReadChipIDInfo1Click,
      &ConsoleOperations::VerifyChipEEPData1Click};
  for (auto command : commands) {
    w->InfoMemo->Clear();
    (w->ops.get()->*command)();
    EXPECT_EQ(CountOf("Please connect the device first!"), 1) << Dump();
  }
  EXPECT_TRUE(dialogs->boxes.empty());

  w->InfoMemo->Clear();
  w->ops->WriteChipEepData1Click();
  // Every channel is logged, with or without a device, then the note once.
  const auto l = Lines();
  const int first = Find("Chip 1 : Do chip Info/EEP Data Programming......");
  ASSERT_GE(first, 0) << Dump();
  ASSERT_EQ(l.size(), static_cast<std::size_t>(first + 5)) << Dump();
  for (int k = 2; k <= 4; ++k)
    EXPECT_EQ(l[first + k - 1],
              "Chip " + std::to_string(k) + " : Do chip Info/EEP Data Programming......");
  EXPECT_EQ(l.back(), "Please connect the device first!");
}

// ---- Which channels the commands start after Find Device ----

using Command = void (ConsoleOperations::*)();

// A command over the channels and what a device has received of its first step.
struct ChannelCommand {
  const char* name;
  Command command;
  int (*received)(const sim::SimDevice&);
};

const ChannelCommand ChannelCommands[] = {
    {"Download", &ConsoleOperations::SpdBtnDownLoadClick,
     [](const sim::SimDevice& d) { return d.PacketCount(sim::DevCmdConfig); }},
    {"Blank", &ConsoleOperations::SpdBtnBlankClick,
     [](const sim::SimDevice& d) { return d.ChipOpCount(sim::DevSubBlankCheck); }},
    {"Erase", &ConsoleOperations::SpdBtnEraseClick,
     [](const sim::SimDevice& d) { return d.ChipOpCount(sim::DevSubErase); }},
    {"Prog", &ConsoleOperations::SpdBtnProgClick,
     [](const sim::SimDevice& d) { return d.PacketCount(sim::DevCmdProgram); }},
    {"Verify", &ConsoleOperations::SpdBtnVerifyClick,
     [](const sim::SimDevice& d) { return d.ChipOpCount(sim::DevSubVerifyMain); }},
    {"Auto", &ConsoleOperations::AutoSpdBtnClick,
     [](const sim::SimDevice& d) { return d.ChipOpCount(sim::DevSubBlankCheck); }},
};

struct FoundChannels {
  const char* name;
  int other;    // the channel whose device is not one of the programmers
  bool silent;  // it answers nothing; else it identifies as another model
};
void PrintTo(const FoundChannels& r, std::ostream* os) { *os << r.name; }

class FoundChannelsTest : public ConsoleFixture,
                          public ::testing::WithParamInterface<FoundChannels> {};

// Three programmers and one other device: every command starts the three,
// whichever channels they are on. Serial numbers go by channel number, and
// "S/N Initial" moves on by the three devices found after each batch.
TEST_P(FoundChannelsTest, EveryChannelWithADeviceIsStarted) {
  const FoundChannels& r = GetParam();
  Start(4);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto file = LoadImage(12);
  w->CheckBoxSN->setChecked(true);
  w->ChkBoxPCSN->setChecked(true);
  w->AddrEdit->setText("0x00007000");
  w->SNEdit->setText("0x00000010");
  if (r.silent)
    Dev(r.other).SetSilent(true);
  else
    Dev(r.other).SetIdent("OtherModel V1.0");
  w->ops->BitBtnFindCOMClick();
  ASSERT_TRUE(WaitFor([&] { return st.DevicesFound == 3; })) << Dump();
  ASSERT_EQ(st.DeviceOnline[r.other], 0);
  const int otherPackets = Dev(r.other).TotalPackets();

  for (const ChannelCommand& c : ChannelCommands) {
    SCOPED_TRACE(c.name);
    std::array<int, ChannelCount> before{};
    for (int k = 0; k < ChannelCount; ++k) before[k] = c.received(Dev(k));
    (w->ops.get()->*c.command)();
    ASSERT_TRUE(WaitFor([&] { return AllIdle(); })) << Dump();
    for (int k = 0; k < ChannelCount; ++k) {
      if (k != r.other) {
        EXPECT_GT(c.received(Dev(k)), before[k]) << "channel " << k + 1 << Dump();
      }
    }
  }
  EXPECT_EQ(Dev(r.other).TotalPackets(), otherPackets);
  // Prog placed 0x10 + n - 1 on channel n, the Auto after it 0x13 + n - 1.
  for (int k = 0; k < ChannelCount; ++k) {
    if (k == r.other) continue;
    SCOPED_TRACE(k);
    auto want = file;
    want[0x7000] = static_cast<uint8_t>(0x13 + k);
    std::fill_n(want.begin() + 0x7001, 3, uint8_t{0});
    EXPECT_TRUE(SameStart(want, Dev(k).Flash())) << Dump();
  }
  EXPECT_EQ(w->SNEdit->text().toStdString(), "0x00000016");
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Console, FoundChannelsTest,
                         ::testing::Values(FoundChannels{"SilentDeviceSortsFirst", 0, true},
                                           FoundChannels{"OtherModelOnChannelTwo", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

enum class Listing { OtherPortOnly, NoPort, FirstPortFailsToOpen };

struct UnlistedChannels {
  const char* name;
  Listing listing;
};
void PrintTo(const UnlistedChannels& r, std::ostream* os) { *os << r.name; }

class UnlistedChannelsTest : public ConsoleFixture,
                             public ::testing::WithParamInterface<UnlistedChannels> {};

// Two channels on-line, then Find Device with a port list that leaves channels
// without an open port: those channels are off-line, so no command starts
// anything there (nothing waits for an answer that cannot come), and with no
// channel left every command says so.
TEST_P(UnlistedChannelsTest, ChannelsFindLeftClosedStartNothing) {
  const UnlistedChannels& r = GetParam();
  Start(2);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  LoadImage(13);
  sim::SimDevice* devices[2] = {&Dev(0), &Dev(1)};
  std::string table;
  auto list = [&](int n, const std::string& port) {
    table += "\\Device\\VCP" + std::to_string(n) + "\t" + port + "\n";
  };
  switch (r.listing) {
    case Listing::OtherPortOnly:
      list(1, devices[1]->PortName());
      break;
    case Listing::NoPort:
      break;
    case Listing::FirstPortFailsToOpen: {
      // A plain file sorts ahead of the terminals, is listed, and is no port.
      QFile plain(dir.filePath("plain-file"));
      ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
      list(9, ".." + plain.fileName().toStdString());
      list(0, devices[0]->PortName());
      list(1, devices[1]->PortName());
      break;
    }
  }
  QFile f(QString::fromStdString(farm->TablePath()));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(table.c_str());
  f.close();
  const int packets[2] = {devices[0]->TotalPackets(), devices[1]->TotalPackets()};

  w->BitBtnFindCOM->click();
  const int online = r.listing == Listing::OtherPortOnly ? 1 : 0;
  ASSERT_TRUE(WaitFor([&] { return st.DevicesFound == online; })) << Dump();
  EXPECT_EQ(dialogs->boxes.size(), r.listing == Listing::FirstPortFailsToOpen ? 1u : 0u);
  w->InfoMemo->Clear();
  const Command commands[] = {
      &ConsoleOperations::SpdBtnDownLoadClick,    &ConsoleOperations::AutoSpdBtnClick,
      &ConsoleOperations::SpdBtnBlankClick,       &ConsoleOperations::SpdBtnEraseClick,
      &ConsoleOperations::SpdBtnProgClick,        &ConsoleOperations::SpdBtnVerifyClick,
      &ConsoleOperations::ProtectChip1Click,      &ConsoleOperations::SpeedButtonRDClick,
      &ConsoleOperations::ReadChipIDInfo1Click,   &ConsoleOperations::ReadChipInfoMemory1Click,
      &ConsoleOperations::WriteChipEepData1Click, &ConsoleOperations::ReadChipEepData1Click,
      &ConsoleOperations::VerifyChipEEPData1Click};
  for (Command c : commands) {
    (w->ops.get()->*c)();
    for (int k = online; k < ChannelCount; ++k) EXPECT_EQ(st.ChannelBusy[k], 0) << k << Dump();
    ASSERT_TRUE(WaitFor([&] { return AllIdle(); })) << Dump();
  }
  EXPECT_EQ(CountOf("Please connect the device first!"), online ? 0 : 13) << Dump();
  for (const std::string& line : Lines())
    for (int k = online; k < ChannelCount; ++k)
      EXPECT_NE(line.rfind("Channel " + std::to_string(k + 1) + " :", 0), 0u) << line;
  // Only the listed programmer was searched and given commands, on channel 1.
  EXPECT_EQ(devices[0]->TotalPackets(), packets[0]);
  if (online) {
    EXPECT_GT(devices[1]->TotalPackets(), packets[1] + 1);
  } else {
    EXPECT_EQ(devices[1]->TotalPackets(), packets[1]);
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Console, UnlistedChannelsTest,
    ::testing::Values(UnlistedChannels{"OtherPortOnly", Listing::OtherPortOnly},
                      UnlistedChannels{"NoPort", Listing::NoPort},
                      UnlistedChannels{"FirstPortFailsToOpen", Listing::FirstPortFailsToOpen}),
    [](const auto& info) { return std::string(info.param.name); });

// A command pressed while a channel runs starts the idle channels only; the
// running one keeps its state, watchdog and sequence (Protect's pending mark
// goes only to the channels that run nothing).
TEST_F(Console, BusyChannelsAreSkippedByEveryCommand) {
  Start(2);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  st.ChannelBusy[0] = 1;  // as if an operation ran on channel 1
  st.AutoMode[1] = 1;
  w->InfoMemo->Clear();
  w->ops->SpdBtnBlankClick();
  EXPECT_EQ(st.ChannelState[0], StateIdle);
  EXPECT_EQ(st.ChannelState[1], StateBlankCheck);
  EXPECT_EQ(st.AutoMode[1], 0);
  for (const auto& line : Lines()) EXPECT_NE(line.rfind("Channel 1 :", 0), 0u) << line;
  ASSERT_TRUE(WaitFor([&] { return st.ChannelBusy[1] == 0; }));

  st.ChannelBusy[1] = 1;
  st.ChannelBusy[0] = 0;
  st.AutoMode[1] = 1;
  st.OpTimeout[1] = 900;
  const uint8_t running = st.ChannelState[1];
  w->ops->ProtectChip1Click();
  EXPECT_EQ(st.ChannelState[0], StateProtectWrite);
  EXPECT_EQ(st.ChannelState[1], running);
  EXPECT_EQ(st.OpTimeout[1], 900);
  EXPECT_EQ(st.AutoMode[1], 1);
  EXPECT_EQ(st.ChannelState[2], StateProtectPending);
  EXPECT_TRUE(st.ProgressByTimer);
  st.ChannelBusy[1] = 0;
}

TEST_F(Console, InfoReadOutGaugeMaximumRoundsUp) {
  Start(1);
  SelectChip(Apollo, "APOLLO128-KBR", 5);
  for (const auto& [size, kb] : {std::pair{uint16_t{2048}, 2}, std::pair{uint16_t{2500}, 3}}) {
    SCOPED_TRACE(size);
    st.s.InfoMemSize = size;
    w->ops->ReadChipEepData1Click();
    EXPECT_EQ(w->Gauges[0]->MaxValue(), kb);
    EXPECT_EQ(st.TransferSizeKB[0], kb);
    ASSERT_TRUE(WaitFor([&] { return AllIdle(1); }));
  }
}

// A progress packet framed as a programmer sends it.
std::vector<uint8_t> ProgressFrame(uint8_t step) {
  uint8_t p[8] = {0xFD, step, 0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 7; ++i) p[7] = static_cast<uint8_t>(p[7] - p[i]);
  std::vector<uint8_t> f(2 * sizeof p + 7);
  f.resize(link::EncodeFrame(p, f.data(), sizeof p));
  return f;
}

// The receive path of channel 2, which has no device: progress packets reach
// the monitor (not the search check), split or several in one chunk.
TEST_F(Console, ReceivePathSplitsJoinsAndRoutesFrames) {
  Start(1);
  const int k = 1;
  ASSERT_EQ(st.DeviceOnline[k], 0);
  auto feed = [&](const std::vector<uint8_t>& b) {
    w->ops->SerCommReceiveData(k, b.data(), static_cast<uint16_t>(b.size()));
  };
  const std::string blank = "Channel 2 : Chip Blank Checking....";
  const std::string erase = "Channel 2 : Do Chip Erasing....";

  const auto f = ProgressFrame(0x20);
  feed({f.begin(), f.begin() + 5});
  EXPECT_FALSE(Has(blank));
  feed({f.begin() + 5, f.end()});
  EXPECT_EQ(CountOf(blank), 1);
  EXPECT_FALSE(Has("Channel 2 : No device was found!"));

  auto two = ProgressFrame(0x30);
  const auto again = ProgressFrame(0x20);
  two.insert(two.end(), again.begin(), again.end());
  feed(two);
  const int e = Find(erase);
  ASSERT_GE(e, 0);
  EXPECT_EQ(Find(blank, e), e + 1);
  EXPECT_EQ(st.OpTimeout[k], 1000);

  // Unframed bytes pile up beyond the keep limit and are dropped before the
  // next chunk: a frame whose head came before the drop is lost. Nothing
  // remembers it: its closing FrameEnd opens a frame (kept with the rest of
  // its tail) that the next frame's opening closes; that one does not decode
  // and gives the opening back, so the next frame is received.
  const std::vector<uint8_t> noise(2000, 0x55);
  while (st.RxCount(k) + noise.size() <= link::RxKeepLimit) feed(noise);
  std::vector<uint8_t> head(400, 0x55);
  head.insert(head.end(), f.begin(), f.begin() + 5);
  feed(head);
  ASSERT_GT(st.RxCount(k), link::RxKeepLimit);
  const std::vector<uint8_t> tail(f.begin() + 5, f.end());
  feed(tail);
  EXPECT_EQ(CountOf(blank), 2);
  EXPECT_EQ(st.RxCount(k), tail.size());
  feed(f);
  EXPECT_EQ(CountOf(blank), 3);
}

// The watchdog counts busy channels only, advances their gauges while the
// timed-progress flag is set and ends a channel once at 0.
TEST_F(Console, WatchdogTimesOutOnceAndAdvancesBusyGauges) {
  Start(1);
  for (auto* g : w->Gauges) {
    g->SetMaxValue(100);
    g->SetProgress(10);
  }
  st.ChannelBusy[2] = 1;
  st.ChannelState[2] = StateVerify;
  st.OpTimeout[2] = 3;
  st.ProgressByTimer = true;
  for (int i = 0; i < 5; ++i) w->ops->Timer1Timer();
  EXPECT_EQ(CountOf("Channel 3 : Operation Time Out!"), 1);
  EXPECT_EQ(st.ChannelState[2], StateIdle);
  EXPECT_EQ(st.ChannelBusy[2], 0);
  EXPECT_FALSE(st.ProgressByTimer);
  EXPECT_EQ(w->Gauges[2]->ForeColor(), ui::GaugeRed);
  EXPECT_EQ(w->Gauges[2]->Progress(), 100);
  EXPECT_EQ(w->Gauges[3]->Progress(), 10);
}

TEST_F(Console, CommandChecksAndSpaceKey) {
  Start(1);
  w->ops->FormKeyPress(' ');
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].text.toStdString(), "Please load object file!");
  w->ops->SpdBtnBlankClick();
  EXPECT_EQ(dialogs->boxes.back().text.toStdString(), "Please select the chip type!");
  w->AutoSpdBtn->setEnabled(false);
  w->ops->FormKeyPress('\r');
  EXPECT_EQ(dialogs->boxes.size(), 2u);
}

}  // namespace
}  // namespace kestra::console::testing
