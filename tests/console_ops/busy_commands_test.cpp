// Commands pressed while channels are busy or after a channel timed out: the
// real window offscreen on simulated programmers. A reply is taken only by the
// command it belongs to, Read and the loads wait for running operations, and
// an operation that is taken over ends with a line and a red gauge.
#include <QByteArray>
#include <QFile>

#include "ConsoleFixture.h"

namespace kestra::console::testing {
namespace {

constexpr int Apollo = 2;
constexpr int ActiveSemi = 0;
constexpr const char* BusyBox = "The programmers are busy: wait until the operation has ended!";

using Command = void (ConsoleOperations::*)();

// ---- A reply slower than the watchdog ----

struct LateReply {
  const char* name;
  uint8_t code;         // the command whose reply comes late ...
  int param;            // ... with this parameter (block position or sub-code)
  int received;         // its packets (or chip operations) once the late one arrived
  Command first;        // the command that times out
  bool notBlank;        // the chip holds data before the first command
  bool mismatchFirst;   // the device's verify fails during the first command
  Command next;         // pressed right after "Operation Time Out!"
  bool mismatchNext;    // the device's verify fails during the next command
  bool lastBlockFails;  // the device fails the last program block of the next command
  const char* nextEnd;  // the line the next command ends with
  bool nextPasses;
};
void PrintTo(const LateReply& r, std::ostream* os) { *os << r.name; }

class LateReplyTest : public ConsoleFixture, public ::testing::WithParamInterface<LateReply> {};

// What the device has received of the late command.
int Received(sim::SimDevice& d, const LateReply& r) {
  return r.code == sim::DevCmdChipOp ? d.ChipOpCount(static_cast<uint8_t>(r.param))
                                     : d.PacketCount(r.code);
}

// Each next command ends with a step whose own reply decides it; taking the
// reply owed to the timed-out command instead would decide it one step early.
TEST_P(LateReplyTest, NextCommandIdentifiesAgainAndTakesOnlyItsOwnReplies) {
  const LateReply& r = GetParam();
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);  // 32 KB: eight blocks, the last at 28
  const auto image = LoadImage(21);
  if (r.notBlank) Dev(0).SetFlash(Pattern(32 * 1024, 5));
  Dev(0).SetVerifyMismatch(r.mismatchFirst);
  sim::CommandFault late;
  late.delayMs = 2000;
  Dev(0).SetCommandFault(r.code, r.param, late);

  (w->ops.get()->*r.first)();
  ASSERT_TRUE(WaitFor([&] { return Received(Dev(0), r) >= r.received; })) << Dump();
  st.OpTimeout[0] = 1;  // the watchdog runs out at the next tick, long before the reply
  ASSERT_TRUE(WaitLine("Channel 1 : Operation Time Out!")) << Dump();
  Dev(0).ClearFaults();
  Dev(0).SetVerifyMismatch(r.mismatchNext);
  if (r.lastBlockFails) {
    sim::CommandFault fail;
    fail.status = sim::DevFlashError;
    Dev(0).SetCommandFault(sim::DevCmdProgram, 28, fail);
  }
  const int searches = Dev(0).PacketCount(sim::DevCmdSearch);
  const int timedOut = Find("Channel 1 : Operation Time Out!");

  (w->ops.get()->*r.next)();
  ASSERT_TRUE(WaitFor([&] { return AllIdle(1) && Has(r.nextEnd); })) << Dump();
  EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdSearch), searches + 1);
  EXPECT_GE(Find("Channel 1 : Identify the device again......", timedOut), 0);
  EXPECT_EQ(w->Gauges[0]->ForeColor(), r.nextPasses ? ui::GaugeBlue : ui::GaugeRed) << Dump();
  if (!r.nextPasses) {
    EXPECT_EQ(Find("Channel 1 : Main Data verify success!", timedOut), -1) << Dump();
    EXPECT_EQ(Find("Channel 1 : Programming Success!", timedOut), -1) << Dump();
  }
  EXPECT_EQ(st.OnlineCounter, r.next == &ConsoleOperations::AutoSpdBtnClick && r.nextPasses);
  if (r.nextPasses) {
    EXPECT_TRUE(SameStart(image, Dev(0).Flash()));
  }
  EXPECT_EQ(farm->ViolationCount(), 0);

  // The channel is in step again: Verify needs no identification and tells
  // the chip as it is.
  Dev(0).ClearFaults();
  Dev(0).SetVerifyMismatch(false);
  w->ops->SpdBtnVerifyClick();
  ASSERT_TRUE(WaitFor([&] { return AllIdle(1); }));
  EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdSearch), searches + 1);
  EXPECT_EQ(w->Gauges[0]->ForeColor(),
            SameStart(image, Dev(0).Flash()) ? ui::GaugeBlue : ui::GaugeRed);
}

using Ops = ConsoleOperations;

INSTANTIATE_TEST_SUITE_P(Console, LateReplyTest,
                         ::testing::Values(
                             // Block 4's reply is late; Verify must judge the half-written chip.
                             LateReply{.name = "ProgramThenVerify",
                                       .code = sim::DevCmdProgram,
                                       .param = 16,
                                       .received = 5,
                                       .first = &Ops::SpdBtnProgClick,
                                       .notBlank = false,
                                       .mismatchFirst = false,
                                       .next = &Ops::SpdBtnVerifyClick,
                                       .mismatchNext = false,
                                       .lastBlockFails = false,
                                       .nextEnd = "Channel 1 : Chip checksum error!",
                                       .nextPasses = false},
                             LateReply{.name = "BlankCheckThenAuto",
                                       .code = sim::DevCmdChipOp,
                                       .param = sim::DevSubBlankCheck,
                                       .received = 1,
                                       .first = &Ops::AutoSpdBtnClick,
                                       .notBlank = false,
                                       .mismatchFirst = false,
                                       .next = &Ops::AutoSpdBtnClick,
                                       .mismatchNext = true,
                                       .lastBlockFails = false,
                                       .nextEnd = "Channel 1 : Chip checksum error!",
                                       .nextPasses = false},
                             LateReply{.name = "EraseThenProg",
                                       .code = sim::DevCmdChipOp,
                                       .param = sim::DevSubErase,
                                       .received = 1,
                                       .first = &Ops::AutoSpdBtnClick,
                                       .notBlank = true,
                                       .mismatchFirst = false,
                                       .next = &Ops::SpdBtnProgClick,
                                       .mismatchNext = false,
                                       .lastBlockFails = true,
                                       .nextEnd = "Channel 1 : Flash Memory Error!",
                                       .nextPasses = false},
                             LateReply{.name = "VerifyThenAuto",
                                       .code = sim::DevCmdChipOp,
                                       .param = sim::DevSubVerifyMain,
                                       .received = 1,
                                       .first = &Ops::SpdBtnVerifyClick,
                                       .notBlank = false,
                                       .mismatchFirst = true,
                                       .next = &Ops::AutoSpdBtnClick,
                                       .mismatchNext = false,
                                       .lastBlockFails = false,
                                       .nextEnd = "Channel 1 : Main Data verify success!",
                                       .nextPasses = true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Read while channel 1 is busy ----

struct ReadWhileBusy {
  const char* name;
  Command first;
  Command second;
};
void PrintTo(const ReadWhileBusy& r, std::ostream* os) { *os << r.name; }

class ReadWhileBusyTest : public ConsoleFixture,
                          public ::testing::WithParamInterface<ReadWhileBusy> {};

TEST_P(ReadWhileBusyTest, SecondReadDoesNotStart) {
  const ReadWhileBusy& r = GetParam();
  Start(1);
  SelectChip(Apollo, "APOLLO128-KBR", 5);
  const auto image = LoadImage(22);
  const auto chip = Pattern(128 * 1024, 23);
  const bool reading = r.first == &ConsoleOperations::SpeedButtonRDClick;
  if (reading) Dev(0).SetFlash(chip);
  const std::vector<uint8_t> info(st.InfoBuffer.get(), st.InfoBuffer.get() + 2048);

  (w->ops.get()->*r.first)();
  w->InfoMemo->Clear();
  (w->ops.get()->*r.second)();
  EXPECT_TRUE(Lines().empty()) << Dump();
  ASSERT_EQ(dialogs->boxes.size(), 1u) << Dump();
  EXPECT_EQ(dialogs->boxes[0].text.toStdString(), BusyBox);
  ASSERT_TRUE(WaitFor([&] { return AllIdle(1); })) << Dump();

  const std::vector<uint8_t> now(st.ImageBuffer.data(), st.ImageBuffer.data() + image.size());
  EXPECT_EQ(now, reading ? chip : image);
  EXPECT_TRUE(std::equal(info.begin(), info.end(), st.InfoBuffer.get()));
  EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdReadMain), reading ? 32 : 0);
  EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdReadInfo), 0);
  EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeBlue);
  if (reading)
    EXPECT_TRUE(Has("Channel 1 : Data has bee read out!"));
  else
    EXPECT_EQ(st.OnlineCounter, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Console, ReadWhileBusyTest,
    ::testing::Values(ReadWhileBusy{"ReadDuringRead", &ConsoleOperations::SpeedButtonRDClick,
                                    &ConsoleOperations::SpeedButtonRDClick},
                      ReadWhileBusy{"ReadInfoDuringRead", &ConsoleOperations::SpeedButtonRDClick,
                                    &ConsoleOperations::ReadChipEepData1Click},
                      ReadWhileBusy{"ReadDuringAuto", &ConsoleOperations::AutoSpdBtnClick,
                                    &ConsoleOperations::SpeedButtonRDClick},
                      ReadWhileBusy{"ReadInfoDuringAuto", &ConsoleOperations::AutoSpdBtnClick,
                                    &ConsoleOperations::ReadChipEepData1Click}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Loads and chip selection while a command sends the image ----

enum class Checked { Job, Flash, Info };

struct LoadWhileBusy {
  const char* name;
  Command command;
  Checked checked;  // where the command puts what it sends
};
void PrintTo(const LoadWhileBusy& r, std::ostream* os) { *os << r.name; }

class LoadWhileBusyTest : public ConsoleFixture,
                          public ::testing::WithParamInterface<LoadWhileBusy> {
 protected:
  QString WriteFile(const char* name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
  }
};

TEST_P(LoadWhileBusyTest, LoadsAndChipSelectionAreRefused) {
  const LoadWhileBusy& r = GetParam();
  Start(1);
  SelectChip(Apollo, "APOLLO128-KBR", 5);
  const auto image = LoadImage(24);
  const auto info = Pattern(2048, 25);
  dialogs->openAnswers.push_back(
      WriteFile("info.bin", QByteArray(reinterpret_cast<const char*>(info.data()), 2048)));
  w->LoadEepData1Click();
  ASSERT_TRUE(dialogs->openAnswers.empty());
  const std::string chipName = st.ChipName;
  TChipSelectForm chipForm(st, w.get());
  w->BindForms(nullptr, &chipForm, nullptr);
  const std::size_t boxes = dialogs->boxes.size();

  (w->ops.get()->*r.command)();
  ASSERT_TRUE(st.ChannelBusy[0]);
  const QString other = dir.filePath("other.hex");
  WriteIntelHex(other, Pattern(128 * 1024, 26));
  for (const QString& path : {other, other, WriteFile("other.bin", QByteArray(2048, '\x11'))})
    dialogs->openAnswers.push_back(path);
  bool chipDialogShown = false;
  dialogs->onModal = [&](QDialog&) {
    chipDialogShown = true;
    return 0;
  };
  w->FileOpenBtnClick();
  w->SpdBtnLD2Click();
  w->LoadEepData1Click();
  w->DevButtonClick();
  EXPECT_EQ(dialogs->openAnswers.size(), 3u);  // no file dialog was opened
  EXPECT_FALSE(chipDialogShown);
  ASSERT_EQ(dialogs->boxes.size(), boxes + 4) << Dump();
  for (std::size_t i = boxes; i < dialogs->boxes.size(); ++i)
    EXPECT_EQ(dialogs->boxes[i].text.toStdString(), BusyBox);

  ASSERT_TRUE(WaitFor([&] { return AllIdle(1); })) << Dump();
  EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeBlue) << Dump();
  EXPECT_EQ(st.ChipName, chipName);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), st.ImageBuffer.get()));
  EXPECT_TRUE(std::equal(info.begin(), info.end(), st.InfoBuffer.get()));
  switch (r.checked) {
    case Checked::Job:
      EXPECT_TRUE(SameStart(image, Dev(0).JobImage()));
      break;
    case Checked::Flash:
      EXPECT_TRUE(SameStart(image, Dev(0).Flash()));
      break;
    case Checked::Info:
      EXPECT_TRUE(SameStart(info, Dev(0).InfoMemory()));
      break;
  }
  // Once the channel is idle again, a load goes ahead.
  dialogs->openAnswers.clear();
  dialogs->openAnswers.push_back(other);
  w->FileOpenBtnClick();
  EXPECT_EQ(dialogs->boxes.size(), boxes + 4);
  EXPECT_FALSE(std::equal(image.begin(), image.end(), st.ImageBuffer.get()));
  w->DevButtonClick();
  EXPECT_TRUE(chipDialogShown);
  w->BindForms(nullptr, nullptr, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Console, LoadWhileBusyTest,
    ::testing::Values(
        LoadWhileBusy{"Download", &ConsoleOperations::SpdBtnDownLoadClick, Checked::Job},
        LoadWhileBusy{"Prog", &ConsoleOperations::SpdBtnProgClick, Checked::Flash},
        LoadWhileBusy{"Auto", &ConsoleOperations::AutoSpdBtnClick, Checked::Flash},
        LoadWhileBusy{"WriteInfo", &ConsoleOperations::WriteChipEepData1Click, Checked::Info}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Start, Find and Fresh while channels are busy ----

enum class Takeover { Start, Find, Fresh };

struct TakeoverWhileBusy {
  const char* name;
  Command command;
  Takeover takeover;
};
void PrintTo(const TakeoverWhileBusy& r, std::ostream* os) { *os << r.name; }

class TakeoverTest : public ConsoleFixture,
                     public ::testing::WithParamInterface<TakeoverWhileBusy> {};

TEST_P(TakeoverTest, EveryInterruptedChannelSaysSoAndEndsRed) {
  const TakeoverWhileBusy& r = GetParam();
  Start(2);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto image = LoadImage(27);
  (w->ops.get()->*r.command)();
  ASSERT_TRUE(st.ChannelBusy[0] && st.ChannelBusy[1]);
  const bool download = r.command == &ConsoleOperations::SpdBtnDownLoadClick;

  if (r.takeover == Takeover::Start && download) {
    // Stand-alone production would run a half-downloaded job: refused.
    w->ops->SpdBtnStartPrgClick();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_NE(dialogs->boxes[0].text.indexOf("download"), -1);
    ASSERT_TRUE(WaitFor([&] { return AllIdle(2); })) << Dump();
    for (int k = 0; k < 2; ++k) {
      EXPECT_TRUE(Has("Channel " + std::to_string(k + 1) + " : Download Success!"));
      EXPECT_TRUE(SameStart(image, Dev(k).JobImage()));
      EXPECT_NE(st.ChannelState[k], StateStandAlone);
    }
    EXPECT_FALSE(Has("Channel 1 : Operation interrupted!"));
    return;
  }

  switch (r.takeover) {
    case Takeover::Start:
      w->ops->SpdBtnStartPrgClick();
      break;
    case Takeover::Find:
      w->ops->BitBtnFindCOMClick();
      break;
    case Takeover::Fresh:
      w->ops->BitBtnFreshClick();
      break;
  }
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(CountOf("Channel " + std::to_string(k + 1) + " : Operation interrupted!"), 1);
    EXPECT_EQ(w->Gauges[k]->ForeColor(), ui::GaugeRed);
    EXPECT_EQ(st.ChannelBusy[k], 0);
    EXPECT_EQ(st.ChannelState[k], r.takeover == Takeover::Start ? StateStandAlone : StateIdle);
  }
  EXPECT_FALSE(Has("Channel 1 : Download Success!"));
  EXPECT_TRUE(dialogs->boxes.empty());

  switch (r.takeover) {
    case Takeover::Start:
      ASSERT_TRUE(WaitFor([&] {
        return Dev(0).PacketCount(sim::DevCmdRestart) && Dev(1).PacketCount(sim::DevCmdRestart);
      }));
      break;
    case Takeover::Fresh:
      EXPECT_EQ(st.DeviceOnline[0] + st.DeviceOnline[1], 0);
      break;
    case Takeover::Find: {
      // Found again, the red gauges stay until the next command, which works.
      ASSERT_TRUE(WaitFor([&] { return st.DevicesFound == 2; })) << Dump();
      EXPECT_EQ(w->Gauges[1]->ForeColor(), ui::GaugeRed);
      EXPECT_FALSE(Has("Channel 1 : No device was found!"));
      // The devices identified in Find's search owe nothing: Auto's blank
      // check goes out without another search first.
      const int searches[2] = {Dev(0).PacketCount(sim::DevCmdSearch),
                               Dev(1).PacketCount(sim::DevCmdSearch)};
      w->ops->AutoSpdBtnClick();
      ASSERT_TRUE(WaitFor([&] { return AllIdle(2) && st.OnlineCounter == 2; })) << Dump();
      for (int k = 0; k < 2; ++k) {
        EXPECT_TRUE(SameStart(image, Dev(k).Flash()));
        EXPECT_EQ(Dev(k).PacketCount(sim::DevCmdSearch), searches[k]) << Dump();
      }
      break;
    }
  }
  EXPECT_EQ(farm->ViolationCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Console, TakeoverTest,
    ::testing::Values(
        TakeoverWhileBusy{"StartDuringDownload", &ConsoleOperations::SpdBtnDownLoadClick,
                          Takeover::Start},
        TakeoverWhileBusy{"StartDuringAuto", &ConsoleOperations::AutoSpdBtnClick, Takeover::Start},
        TakeoverWhileBusy{"FindDuringDownload", &ConsoleOperations::SpdBtnDownLoadClick,
                          Takeover::Find},
        TakeoverWhileBusy{"FindDuringAuto", &ConsoleOperations::AutoSpdBtnClick, Takeover::Find},
        TakeoverWhileBusy{"FreshDuringDownload", &ConsoleOperations::SpdBtnDownLoadClick,
                          Takeover::Fresh},
        TakeoverWhileBusy{"FreshDuringAuto", &ConsoleOperations::AutoSpdBtnClick, Takeover::Fresh}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestra::console::testing
