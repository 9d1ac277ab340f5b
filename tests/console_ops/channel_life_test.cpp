// A channel's life across answers that come late, never or to a REST, across
// commands pressed while another channel runs, across a handler that fails in
// the receive path and across the end of the window: the real window offscreen
// on simulated programmers. A reply answers only the command it belongs to, a
// running operation is left to its end, and the next command runs as soon as
// the device answers again.
#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QToolButton>
#include <functional>
#include <memory>
#include <stdexcept>

#include "ConsoleFixture.h"
#include "ReplyBytes.h"
#include "console/ChannelMachine.h"
#include "console/ReceivePath.h"

namespace kestra::console::testing {
namespace {

using namespace kestra::testing;

using Command = void (ConsoleOperations::*)();
using Ops = ConsoleOperations;

constexpr int ActiveSemi = 0;
constexpr int Apollo = 2;

constexpr const char* IdentifyAgain = "Channel 1 : Identify the device again......";
constexpr const char* TimedOut = "Channel 1 : Operation Time Out!";
constexpr const char* VerifyOk = "Channel 1 : Main Data verify success!";
constexpr const char* Protected = "Channel 1 : Chip Protected data write success!";

sim::CommandFault Late(int ms) {
  sim::CommandFault f;
  f.delayMs = ms;
  return f;
}
sim::CommandFault Unanswered() {
  sim::CommandFault f;
  f.noReply = true;
  return f;
}

class ChannelLife : public ConsoleFixture {
 protected:
  void Press(Command c) { (w->ops.get()->*c)(); }

  // Brings channel k's watchdog forward until the channel has ended (a chunk
  // that arrives meanwhile arms it again).
  bool TimeOutNow(int k) {
    return WaitFor([&] {
      if (st.ChannelBusy[k]) st.OpTimeout[k] = 1;
      return st.ChannelBusy[k] == 0;
    });
  }

  // Channel 1 ends on a blank check its device never answers: an answer is owed.
  void OweAnAnswer() {
    Dev(0).SetCommandFault(sim::DevCmdChipOp, sim::DevSubBlankCheck, Unanswered());
    const int blanks = Dev(0).ChipOpCount(sim::DevSubBlankCheck);
    w->ops->SpdBtnBlankClick();
    ASSERT_TRUE(WaitFor([&] { return Dev(0).ChipOpCount(sim::DevSubBlankCheck) > blanks; }));
    ASSERT_TRUE(TimeOutNow(0));
    ASSERT_TRUE(Has(TimedOut)) << Dump();
    Dev(0).ClearFaults();
  }

  int Searches() { return Dev(0).PacketCount(sim::DevCmdSearch); }
  int LineCount() const { return static_cast<int>(Lines().size()); }
};

// ---- Item: the answer to a REST ----

struct RestAnswer {
  const char* name;
  bool protect;      // REST after the protection write of an Auto, else after a Download
  int restDelayMs;   // how late the device answers the REST; -1: never
  bool verifyFails;  // the next Auto's chip fails its verify on the device
};
void PrintTo(const RestAnswer& r, std::ostream* os) { *os << r.name; }

class RestAnswerTest : public ChannelLife, public ::testing::WithParamInterface<RestAnswer> {};

// After a REST the next operation identifies the device again, so a REST
// answer, on time, late or never, is never taken for one of its steps: the
// verify result is the device's own.
TEST_P(RestAnswerTest, NextAutoTakesNoRestAnswerForAStep) {
  const RestAnswer& r = GetParam();
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);  // 32 KB
  const auto image = LoadImage(41);
  w->ChkBoxProt->setChecked(r.protect);
  const uint8_t rest = r.protect ? sim::DevCmdRestartAfterProtect : sim::DevCmdRestart;
  if (r.restDelayMs != 0)
    Dev(0).SetCommandFault(rest, -1, r.restDelayMs < 0 ? Unanswered() : Late(r.restDelayMs));

  Press(r.protect ? &Ops::AutoSpdBtnClick : &Ops::SpdBtnDownLoadClick);
  ASSERT_TRUE(WaitFor([&] { return Dev(0).PacketCount(rest) == 1; })) << Dump();
  ASSERT_TRUE(Has(r.protect ? Protected : "Channel 1 : Download Success!")) << Dump();
  ASSERT_TRUE(AllIdle(1));
  // A fresh chip.
  Dev(0).SetFlash(std::vector<uint8_t>(32 * 1024, 0xFF));
  Dev(0).SetReadProtected(false);
  Dev(0).SetVerifyMismatch(r.verifyFails);
  const int mark = LineCount();
  const int searches = Searches();
  const int counter = st.OnlineCounter;

  w->ops->AutoSpdBtnClick();
  ASSERT_TRUE(WaitFor([&] { return AllIdle(1); })) << Dump();
  EXPECT_GE(Find(IdentifyAgain, mark), 0) << Dump();
  EXPECT_EQ(Searches(), searches + 1);
  EXPECT_EQ(Find(TimedOut, mark), -1) << Dump();
  if (r.verifyFails) {
    EXPECT_EQ(Find(VerifyOk, mark), -1) << Dump();
    EXPECT_EQ(Find(Protected, mark), -1) << Dump();
    EXPECT_GE(Find("Channel 1 : Chip checksum error!", mark), 0) << Dump();
    EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeRed);
    EXPECT_EQ(st.OnlineCounter, counter);
  } else {
    EXPECT_GE(Find(VerifyOk, mark), 0) << Dump();
    EXPECT_EQ(Find(Protected, mark) >= 0, r.protect) << Dump();
    EXPECT_TRUE(SameStart(image, Dev(0).Flash()));
    EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeBlue);
    EXPECT_EQ(st.OnlineCounter, counter + (r.protect ? 0 : 1));
  }
  EXPECT_EQ(farm->ViolationCount(), 0) << Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Console, RestAnswerTest,
    ::testing::Values(RestAnswer{"AfterProtectLateVerifyFails", true, 1500, true},
                      RestAnswer{"AfterDownloadLateVerifyFails", false, 1500, true},
                      RestAnswer{"AfterProtectOnTime", true, 0, false},
                      RestAnswer{"AfterDownloadOnTimeVerifyFails", false, 0, true},
                      RestAnswer{"AfterDownloadNeverAnswered", false, -1, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Item: an identification that gets no answer ----

// How the identification of a press gets lost: its search is never answered,
// the device answers nothing, or the search is answered after the press has
// timed out (every search late: the first answer runs the next press's first
// step, the next one comes while that operation runs).
enum class Loss { OneSearch, Silent, LateSearch };

struct LostIdent {
  const char* name;
  Command first;        // times out: its reply ...
  uint8_t lateCode;     // ... to this command ...
  int lateParam;        // ... with this parameter comes too late
  Loss loss;            // how the identifications of the next presses get lost
  int lostPresses;      // presses whose identification gets no answer
  bool startDuring;     // Start pressed during the lost identification, not its time-out
  Command next;         // pressed three times once the device answers again
  const char* nextEnd;  // the line each of them ends with
};
void PrintTo(const LostIdent& r, std::ostream* os) { *os << r.name; }

class LostIdentTest : public ChannelLife, public ::testing::WithParamInterface<LostIdent> {};

// Identifications lost while the device does not answer leave nothing behind:
// as soon as it answers again, every press runs to its end, each step once,
// and an identification that answers nothing neither restarts nor disturbs
// the operation it comes into.
TEST_P(LostIdentTest, NextCommandsRunOnceTheDeviceAnswers) {
  const LostIdent& r = GetParam();
  Start(1);
  SelectChip(ActiveSemi, "PAC5223xx", 3);
  const auto image = LoadImage(42);
  Dev(0).SetCommandFault(r.lateCode, r.lateParam, Late(2000));
  Press(r.first);
  ASSERT_TRUE(WaitFor([&] {
    return r.lateCode == sim::DevCmdChipOp
               ? Dev(0).ChipOpCount(static_cast<uint8_t>(r.lateParam)) > 0
               : Dev(0).PacketCount(r.lateCode) > r.lateParam / 4;
  })) << Dump();
  ASSERT_TRUE(TimeOutNow(0));
  Dev(0).ClearFaults();

  for (int i = 0; i < r.lostPresses; ++i) {
    SCOPED_TRACE(i);
    if (r.loss == Loss::Silent)
      Dev(0).SetSilent(true);
    else
      Dev(0).SetCommandFault(sim::DevCmdSearch, -1,
                             r.loss == Loss::LateSearch ? Late(1000) : Unanswered());
    const int searches = Searches();
    const int identifying = CountOf(IdentifyAgain);
    Press(r.next);
    ASSERT_EQ(CountOf(IdentifyAgain), identifying + 1) << Dump();
    ASSERT_TRUE(WaitFor([&] { return Searches() > searches; })) << Dump();
    if (r.loss == Loss::OneSearch) Dev(0).ClearFaults();
    if (r.startDuring) {
      w->ops->SpdBtnStartPrgClick();
      ASSERT_EQ(st.ChannelBusy[0], 0);
    } else {
      ASSERT_TRUE(TimeOutNow(0));
    }
  }
  if (r.loss != Loss::LateSearch) Dev(0).ClearFaults();  // the device answers again

  for (int press = 0; press < 3; ++press) {
    SCOPED_TRACE(press);
    const int ends = CountOf(r.nextEnd);
    const int timeOuts = CountOf(TimedOut);
    const int counter = st.OnlineCounter;
    const int searches = Searches();
    const int blanks = Dev(0).ChipOpCount(sim::DevSubBlankCheck);
    const int programs = Dev(0).PacketCount(sim::DevCmdProgram);
    const int verifies = Dev(0).ChipOpCount(sim::DevSubVerifyMain);
    Press(r.next);
    ASSERT_TRUE(WaitFor([&] { return AllIdle(1); }, 20000)) << Dump();
    ASSERT_EQ(CountOf(r.nextEnd), ends + 1) << Dump();
    EXPECT_EQ(CountOf(TimedOut), timeOuts);
    EXPECT_EQ(w->Gauges[0]->ForeColor(), ui::GaugeBlue);
    // The channel owes an answer only before the first press.
    EXPECT_EQ(Searches(), searches + (press == 0 ? 1 : 0));
    EXPECT_EQ(Dev(0).ChipOpCount(sim::DevSubBlankCheck), blanks + 1);
    if (r.next == &Ops::AutoSpdBtnClick) {
      EXPECT_EQ(Dev(0).PacketCount(sim::DevCmdProgram), programs + 8);  // 32 KB
      EXPECT_EQ(Dev(0).ChipOpCount(sim::DevSubVerifyMain), verifies + 1);
      EXPECT_EQ(st.OnlineCounter, counter + 1);
      EXPECT_TRUE(SameStart(image, Dev(0).Flash()));
    }
  }
  EXPECT_EQ(farm->ViolationCount(), 0) << Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Console, LostIdentTest,
    ::testing::Values(LostIdent{"BlankThenOneSearchLost", &Ops::SpdBtnBlankClick, sim::DevCmdChipOp,
                                sim::DevSubBlankCheck, Loss::OneSearch, 1, false,
                                &Ops::SpdBtnBlankClick, "Channel 1 : Current Chip is blank!"},
                      LostIdent{"AutoThenSilentForTwoPresses", &Ops::AutoSpdBtnClick,
                                sim::DevCmdProgram, 16, Loss::Silent, 2, false,
                                &Ops::AutoSpdBtnClick, VerifyOk},
                      LostIdent{"StartDuringReidentifyThenAuto", &Ops::SpdBtnBlankClick,
                                sim::DevCmdChipOp, sim::DevSubBlankCheck, Loss::OneSearch, 1, true,
                                &Ops::AutoSpdBtnClick, VerifyOk},
                      LostIdent{"BlankThenLateSearchIntoAuto", &Ops::SpdBtnBlankClick,
                                sim::DevCmdChipOp, sim::DevSubBlankCheck, Loss::LateSearch, 1,
                                false, &Ops::AutoSpdBtnClick, VerifyOk}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Item: Protect, Write Info and Read while a channel runs ----

struct PressedDuringAuto {
  const char* name;
  Command command;
  const char* firstChannelEnd;  // the idle channel 1 runs the command to this line
  unsigned chipOne;             // not 0: channel 1's chip holds Pattern(chipOne) at the press
};
void PrintTo(const PressedDuringAuto& r, std::ostream* os) { *os << r.name; }

class PressedDuringAutoTest : public ChannelLife,
                              public ::testing::WithParamInterface<PressedDuringAuto> {};

// Channel 2 is programming (its block 9 of 32 answers late) when the command
// is pressed: the command starts only the idle channel 1, and channel 2 runs
// its Auto to its own end, so a later Protect protects a whole chip. A read of
// channel 1's other chip replaces the image while channel 2 still programs,
// and channel 2's chip still gets the image it started with.
TEST_P(PressedDuringAutoTest, RunningChannelKeepsItsOperation) {
  const PressedDuringAuto& r = GetParam();
  Start(2);
  SelectChip(Apollo, "APOLLO128-KBR", 5);  // 128 KB: 32 blocks
  const auto image = LoadImage(43);
  Dev(1).SetCommandFault(sim::DevCmdChipOp, sim::DevSubBlankCheck, Late(1000));
  Dev(1).SetCommandFault(sim::DevCmdProgram, 36, Late(1500));
  w->ops->AutoSpdBtnClick();
  ASSERT_TRUE(WaitFor([&] {
    return !st.ChannelBusy[0] && Dev(1).PacketCount(sim::DevCmdProgram) == 10;
  })) << Dump();
  ASSERT_TRUE(Has(VerifyOk)) << Dump();
  ASSERT_EQ(st.ChannelState[1], StateProgram) << Dump();
  const auto chipOne = r.chipOne ? Pattern(image.size(), r.chipOne) : image;
  if (r.chipOne) Dev(0).SetFlash(chipOne);

  Press(r.command);
  EXPECT_EQ(st.ChannelState[1], StateProgram);
  EXPECT_EQ(st.ChannelBusy[0], 1);
  ASSERT_TRUE(WaitFor([&] { return !st.ChannelBusy[0]; })) << Dump();
  EXPECT_TRUE(Has(r.firstChannelEnd)) << Dump();
  EXPECT_EQ(st.ChannelState[1], StateProgram) << "channel 2 was to program on" << Dump();
  ASSERT_TRUE(WaitFor([&] { return AllIdle(2); })) << Dump();
  if (r.chipOne) {
    EXPECT_TRUE(std::equal(chipOne.begin(), chipOne.end(), st.ImageBuffer.data()));
  }
  EXPECT_TRUE(Has("Channel 2 : Main Data verify success!")) << Dump();
  EXPECT_FALSE(Has("Channel 2 : Operation Time Out!")) << Dump();
  EXPECT_EQ(Dev(1).PacketCount(sim::DevCmdProgram), 32);
  EXPECT_TRUE(SameStart(image, Dev(1).Flash()));
  EXPECT_EQ(w->Gauges[1]->ForeColor(), ui::GaugeBlue);
  EXPECT_EQ(st.OnlineCounter, 2);
  EXPECT_EQ(Dev(1).ChipOpCount(sim::DevSubWriteProtect) + Dev(1).PacketCount(sim::DevCmdWriteInfo),
            0);

  w->ops->ProtectChip1Click();
  ASSERT_TRUE(WaitFor([&] { return AllIdle(2); })) << Dump();
  EXPECT_EQ(CountOf("Channel 2 : Chip Protected data write success!"), 1) << Dump();
  EXPECT_TRUE(Dev(1).ReadProtected());
  EXPECT_TRUE(SameStart(image, Dev(1).Flash()));
  EXPECT_EQ(farm->ViolationCount(), 0) << Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Console, PressedDuringAutoTest,
    ::testing::Values(PressedDuringAuto{"Protect", &Ops::ProtectChip1Click, Protected, 0},
                      PressedDuringAuto{"WriteInfo", &Ops::WriteChipEepData1Click,
                                        "Channel 1 : Info Data write success!", 0},
                      PressedDuringAuto{"Read", &Ops::SpeedButtonRDClick,
                                        "Channel 1 : Data has bee read out!", 44}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Item: a handler that fails ----

struct BadSettingAtPress {
  const char* name;
  std::function<void(TProgramArmFrm&)> press;  // as the operator presses it
  uint8_t readCode;                            // the command the read sends
  const char* end;                             // the line a good read ends with
};
void PrintTo(const BadSettingAtPress& r, std::ostream* os) { *os << r.name; }

class BadSettingAtPressTest : public ChannelLife,
                              public ::testing::WithParamInterface<BadSettingAtPress> {};

// A read pressed while its channel owes an answer checks its settings at the
// press: a bad text shows its box there and nothing goes to the device.
TEST_P(BadSettingAtPressTest, ConversionErrorShowsAtThePress) {
  const BadSettingAtPress& r = GetParam();
  Start(1);
  SelectChip(Apollo, "APOLLO128-KBR", 5);
  ASSERT_NO_FATAL_FAILURE(OweAnAnswer());
  w->GainEdit->setText("1x");
  const int searches = Searches();
  const std::size_t boxes = dialogs->boxes.size();

  r.press(*w);
  ASSERT_EQ(dialogs->boxes.size(), boxes + 1) << Dump();
  EXPECT_EQ(dialogs->boxes.back().kind, ui::ScriptedDialogs::Box::Error);
  EXPECT_EQ(dialogs->boxes.back().text.toStdString(), "'1x' is not a valid integer value");
  EXPECT_EQ(st.ChannelBusy[0], 0);
  WaitFor([] { return false; }, 500);  // whatever was sent has reached the device
  EXPECT_EQ(Searches(), searches);
  EXPECT_EQ(Dev(0).PacketCount(r.readCode), 0);
  EXPECT_FALSE(Has(IdentifyAgain)) << Dump();
  EXPECT_EQ(dialogs->boxes.size(), boxes + 1) << Dump();

  w->GainEdit->setText("0x01");
  r.press(*w);
  ASSERT_TRUE(WaitFor([&] { return AllIdle(1); })) << Dump();
  EXPECT_EQ(CountOf(r.end), 1) << Dump();
  EXPECT_EQ(dialogs->boxes.size(), boxes + 1) << Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Console, BadSettingAtPressTest,
    ::testing::Values(BadSettingAtPress{"Read", [](TProgramArmFrm& f) { f.SpeedButtonRD->click(); },
                                        sim::DevCmdReadMain, "Channel 1 : Data has bee read out!"},
                      BadSettingAtPress{"ReadInfo",
                                        [](TProgramArmFrm& f) { f.ReadChipEepData1->trigger(); },
                                        sim::DevCmdReadInfo, "Channel 1 : Read Out Info Data!"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailingHandler {
  const char* name;
  // Sets channel 1 up and makes one window part its reply reaches fail once;
  // returns the reply.
  std::function<Bytes(ConsoleState&)> arrange;
  int onlineCounter;  // after the reply
};
void PrintTo(const FailingHandler& r, std::ostream* os) { *os << r.name; }

class FailingHandlerTest : public ChannelLife,
                           public ::testing::WithParamInterface<FailingHandler> {};

// Throws on its first call, then does what the window does.
template <typename... Args>
std::function<void(Args...)> FailsOnce(std::function<void(Args...)> then) {
  auto calls = std::make_shared<int>(0);
  return [calls, then](Args... a) {
    if ((*calls)++ == 0) throw std::runtime_error("window part failed");
    if (then) then(a...);
  };
}

// A stand-alone progress packet, a reply whose handler fails and a further
// progress packet come in one chunk: the window reports the failure, and the
// chunk's frames are taken once each, the one after the failure at once, none
// again when the next chunk comes.
TEST_P(FailingHandlerTest, ChunkIsTakenOnce) {
  const FailingHandler& r = GetParam();
  StartWithoutDevices();
  SelectChip(Apollo, "APOLLO128-KBR", 5);
  const Bytes reply = r.arrange(st);
  serial::TComm& port = w->SerComm(0);
  const Bytes chunk =
      Joined({Framed(ProgressPacket(0xF0, 6)), Framed(reply), Framed(ProgressPacket(0x10, 0))});
  port.OnReceiveData(&port, chunk.data(), static_cast<uint16_t>(chunk.size()));
  ASSERT_EQ(dialogs->boxes.size(), 1u) << Dump();
  EXPECT_EQ(dialogs->boxes[0].text.toStdString(), "window part failed");
  EXPECT_EQ(CountOf("Channel 1 : Initial Programming Interface ...."), 1) << Dump();
  const Bytes next = Framed(ProgressPacket(0x10, 0));
  port.OnReceiveData(&port, next.data(), static_cast<uint16_t>(next.size()));

  EXPECT_EQ(st.ChannelOkCount[0], 1u) << Dump();
  EXPECT_EQ(st.TotalOkCount, 1u);
  EXPECT_EQ(CountOf("Channel 1 : OK=1, NG=0."), 1) << Dump();
  EXPECT_EQ(st.OnlineCounter, r.onlineCounter);
  EXPECT_EQ(dialogs->boxes.size(), 1u) << Dump();
}

INSTANTIATE_TEST_SUITE_P(
    Console, FailingHandlerTest,
    ::testing::Values(
        // The search reply of a channel not yet on-line shows the device's name.
        FailingHandler{"SearchReply",
                       [](ConsoleState& s) {
                         s.DeviceOnline[0] = 0;
                         s.Hooks.SetInfoPanel = FailsOnce(s.Hooks.SetInfoPanel);
                         return IdentReply("KestraGangA4 V2.3");
                       },
                       0},
        // A good verify of an Auto shows the on-line counter.
        FailingHandler{"AutoVerify",
                       [](ConsoleState& s) {
                         s.DeviceOnline[0] = 1;
                         s.DevicesFound = 1;
                         s.AutoMode[0] = 1;
                         StartVerifyMain(s, 0);
                         s.Hooks.SetStatusPanel = FailsOnce(s.Hooks.SetStatusPanel);
                         Bytes payload(16, 0);
                         return ReplyPacket(0x93, link::SubVerifyMain, payload);
                       },
                       1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Item: a start that waits when the window goes ----

struct WaitingStart {
  const char* name;
  Command command;
};
void PrintTo(const WaitingStart& r, std::ostream* os) { *os << r.name; }

class WaitingStartTest : public ChannelLife, public ::testing::WithParamInterface<WaitingStart> {};

// The state outlives its window: an identification that arrives for it after
// the window has gone starts nothing and leaves the channel idle.
TEST_P(WaitingStartTest, IdentificationAfterTheWindowStartsNothing) {
  const WaitingStart& r = GetParam();
  Start(1);
  SelectChip(Apollo, "APOLLO128-KBR", 5);
  LoadImage(44);
  ASSERT_NO_FATAL_FAILURE(OweAnAnswer());
  Dev(0).SetCommandFault(sim::DevCmdSearch, -1, Unanswered());
  const int searches = Searches();
  Press(r.command);
  ASSERT_TRUE(WaitFor([&] { return Searches() > searches; })) << Dump();
  ASSERT_TRUE(Has(IdentifyAgain)) << Dump();
  ASSERT_EQ(st.ChannelBusy[0], 1);

  w.reset();
  const Bytes ident = Framed(IdentReply("KestraGangA4 V2.3"));
  ChannelReceiveData(st, 0, ident.data(), ident.size());
  EXPECT_EQ(st.ChannelBusy[0], 0);
  EXPECT_EQ(st.ChannelState[0], StateIdle);
}

INSTANTIATE_TEST_SUITE_P(Console, WaitingStartTest,
                         ::testing::Values(WaitingStart{"Auto", &Ops::AutoSpdBtnClick},
                                           WaitingStart{"Read", &Ops::SpeedButtonRDClick},
                                           WaitingStart{"ReadInfo", &Ops::ReadChipEepData1Click}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestra::console::testing
