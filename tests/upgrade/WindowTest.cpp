// The upgrade tool's window, offscreen, against simulated programmers on
// pseudo-terminals listed by the farm's serial device table.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>

#include "UpgradeTestUtil.h"
#include "serial/TComm.h"
#include "sim/SimFarm.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"
#include "ui/ScriptedDialogs.h"
#include "ui/SortedComboBox.h"
#include "upgrade/FirmwareImage.h"
#include "upgrade/MainFwUpEPS.h"

namespace kestra::upgrade {
namespace {

using link::CmdFwVerify;
using link::CmdFwWriteBlock;
using link::CmdSearchDevice;

using testing::WaitFor;

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// CPU time of the whole process, every thread included.
double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Runs the event loop for ms, blocking inside it; the number of 10 ms timer
// ticks it dispatched meanwhile.
int IdleTicks(int ms) {
  QEventLoop loop;
  QTimer tick;
  int ticks = 0;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
  tick.start(10);
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  return ticks;
}

// Scripted boxes that also let a test look at the world the moment a success
// box opens.
class WatchedDialogs : public ui::ScriptedDialogs {
 public:
  std::function<void()> onSuccessBox;
  void InformationBox(QWidget* parent, const QString& caption, const QString& text) override {
    if (onSuccessBox) onSuccessBox();
    ScriptedDialogs::InformationBox(parent, caption, text);
  }
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto scripted = std::make_unique<WatchedDialogs>();
    dialogs = scripted.get();
    previous = ui::SetDialogs(std::move(scripted));
  }
  void TearDown() override {
    window.reset();
    ui::SetDialogs(std::move(previous));
  }
  // A farm of n devices listed in the device table, and a shown window.
  void Start(int n, sim::SimOptions options = {}) {
    farm = std::make_unique<sim::SimFarm>(n, std::string{}, options);
    farm->ExportTable();
    window = std::make_unique<TFirmWareUG>();
    window->show();
  }
  bool Found() {
    return WaitFor([&] { return window->SpdBtnDownLoad->isEnabled(); });
  }
  bool MemoHas(const QString& line) const { return window->InfoMemo->Lines().contains(line); }
  // Runs action and waits for the result box it brings: success when that box
  // is the information box of a good result.
  ::testing::AssertionResult EndsInSuccess(const std::function<void()>& action) {
    const std::size_t before = dialogs->boxes.size();
    action();
    if (!WaitFor([&] { return dialogs->boxes.size() > before; }))
      return ::testing::AssertionFailure() << "no result box";
    const auto& box = dialogs->boxes[before];
    if (box.kind != ui::ScriptedDialogs::Box::Information ||
        box.text != QStringLiteral("操作成功！"))
      return ::testing::AssertionFailure() << "result box: " << box.text.toStdString();
    return ::testing::AssertionSuccess();
  }
  static std::vector<uint8_t> Image() {
    return {KestraGangA4_RV7.FwImage, KestraGangA4_RV7.FwImage + FwImageSize};
  }

  // The last box is an error box with text, also the memo's last line.
  ::testing::AssertionResult EndedWithError(const QString& text) const {
    if (dialogs->boxes.empty()) return ::testing::AssertionFailure() << "no box";
    const auto& box = dialogs->boxes.back();
    if (box.kind != ui::ScriptedDialogs::Box::Error || box.text != text)
      return ::testing::AssertionFailure() << "last box: " << box.text.toStdString();
    if (!MemoHas(QStringLiteral("> ") + text))
      return ::testing::AssertionFailure() << "no memo line " << text.toStdString();
    return ::testing::AssertionSuccess();
  }
  // Hands the window one chunk that holds a framed success reply.
  void StraySuccessReply() {
    const testing::Bytes f = testing::Framed(testing::ReplyPacket(CmdFwWriteBlock, 0x2000, {0x00}));
    window->SerComm1ReceiveData(f.data(), static_cast<uint16_t>(f.size()));
  }

  WatchedDialogs* dialogs = nullptr;
  std::unique_ptr<ui::DialogService> previous;
  std::unique_ptr<sim::SimFarm> farm;
  std::unique_ptr<TFirmWareUG> window;
};

TEST_F(WindowTest, ShowingPrintsTheBannerAndFindsTheDevice) {
  Start(1);
  const QStringList& lines = window->InfoMemo->Lines();
  ASSERT_GE(lines.size(), 9);
  EXPECT_EQ(lines[0], QStringLiteral(" *----------------------------------------------------*"));
  EXPECT_EQ(lines[4], QStringLiteral(" *           更新区 CheckSum 1 = 0x126E               *"));
  EXPECT_EQ(lines[5], QStringLiteral(" *           更新区 CheckSum 2 = 0xCBC2               *"));
  EXPECT_EQ(lines[7], QString());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("KestraGangA4 Firmware Upgrade Wizard - GBR7x"));
  const QString port = QString::fromStdString(farm->Device(0).PortName());
  EXPECT_EQ(lines[8], QStringLiteral("> Checking Device In %1............").arg(port));
  EXPECT_FALSE(window->SpdBtnVerify->isEnabled());
  EXPECT_TRUE(window->Upgrade1->isEnabled());

  ASSERT_TRUE(Found());
  EXPECT_TRUE(window->SpdBtnVerify->isEnabled());
  EXPECT_EQ(window->DevLabel->text(), QStringLiteral("KestraGangA4 V2.3"));
  EXPECT_TRUE(MemoHas(QStringLiteral("> Find Device : KestraGangA4 V2.3!")));
  EXPECT_EQ(window->State().DeviceIdentified, 1);
  EXPECT_TRUE(dialogs->boxes.empty());
}

TEST_F(WindowTest, IdentificationTextsDecide) {
  struct Case {
    const char* ident;
    bool accepted;
  };
  for (const Case& c : {Case{"KestraGangB7 R1", true}, Case{"Stranger Programmer", false}}) {
    SCOPED_TRACE(c.ident);
    sim::SimOptions options;
    options.ident = c.ident;
    Start(1, options);
    ASSERT_TRUE(WaitFor([&] { return farm->Device(0).PacketCount(0x3D) == 1; }));
    if (c.accepted) {
      ASSERT_TRUE(Found());
      EXPECT_EQ(window->DevLabel->text(), QString::fromLatin1(c.ident));
    } else {
      Pump(300);
      EXPECT_FALSE(window->SpdBtnDownLoad->isEnabled());
      EXPECT_FALSE(window->SpdBtnVerify->isEnabled());
      EXPECT_EQ(window->DevLabel->text(), QStringLiteral("Searching Devices............"));
      EXPECT_EQ(window->State().DeviceIdentified, 0);
    }
    window.reset();
    farm.reset();
  }
}

TEST_F(WindowTest, UpgradeWritesTheImageAndVerifySucceeds) {
  Start(1);
  ASSERT_TRUE(Found());
  sim::SimDevice& dev = farm->Device(0);
  ASSERT_TRUE(EndsInSuccess([&] { window->SpdBtnDownLoad->click(); }));
  EXPECT_EQ(dev.PacketCount(0xB7), 8);
  EXPECT_EQ(dev.Firmware(), Image());
  EXPECT_EQ(window->ProgressBar1->Progress(), window->ProgressBar1->MaxValue());
  EXPECT_EQ(window->ProgressBar1->ForeColor(), ui::GaugeBlue);
  EXPECT_EQ(window->State().OpState, OpIdle);

  // The button and the menu entry both verify.
  EXPECT_TRUE(EndsInSuccess([&] { window->SpdBtnVerify->click(); }));
  EXPECT_TRUE(EndsInSuccess([&] { window->Verification1->trigger(); }));
  EXPECT_EQ(dialogs->boxes.size(), 3u);
  EXPECT_EQ(dev.PacketCount(0xBA), 2);
  EXPECT_EQ(window->InfoMemo->Lines().back(), QStringLiteral("> 操作成功！"));
  EXPECT_EQ(farm->ViolationCount(), 0) << (farm->Violations().empty() ? "" : farm->Violations()[0]);
}

// A result box opens once the reply has been handled, its memo line already
// written: a chunk that the box's event loop delivers is handled at once, not
// held until the box closes.
TEST_F(WindowTest, ResultBoxOpensOnceTheReplyIsHandled) {
  Start(1);
  ASSERT_TRUE(Found());
  const QString failure = FwResultText(link::ResFlashError);
  bool seen = false, resultLineFirst = false, deliveredHandledAtOnce = false;
  dialogs->whileOpen = [&](const ui::ScriptedDialogs::Box& box) {
    if (seen || box.text != QStringLiteral("操作成功！")) return;
    seen = true;
    resultLineFirst = window->InfoMemo->Lines().back() == QStringLiteral("> 操作成功！");
    const testing::Bytes stray =
        testing::Framed(testing::ReplyPacket(CmdFwVerify, 0, {link::ResFlashError}));
    window->SerComm1ReceiveData(stray.data(), static_cast<uint16_t>(stray.size()));
    deliveredHandledAtOnce = MemoHas(QStringLiteral("> ") + failure);
  };
  ASSERT_TRUE(EndsInSuccess([&] { window->SpdBtnDownLoad->click(); }));
  EXPECT_TRUE(resultLineFirst);
  EXPECT_TRUE(deliveredHandledAtOnce);
  EXPECT_TRUE(EndedWithError(failure));
}

TEST_F(WindowTest, VerifyOfAnotherFirmwareFails) {
  Start(1);
  ASSERT_TRUE(Found());
  window->SpdBtnVerify->click();  // the simulator's store is still erased
  ASSERT_TRUE(WaitFor([&] { return dialogs->boxes.size() == 1; }));
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
  EXPECT_EQ(dialogs->boxes[0].text, QStringLiteral("总数据校验和不一致！"));
  EXPECT_EQ(window->ProgressBar1->ForeColor(), ui::GaugeRed);
}

TEST_F(WindowTest, RefreshDisablesTheActionsAndClosesThePort) {
  Start(1);
  ASSERT_TRUE(Found());
  window->BitBtnFresh->click();
  EXPECT_FALSE(window->SpdBtnDownLoad->isEnabled());
  EXPECT_FALSE(window->SpdBtnVerify->isEnabled());
  EXPECT_EQ(window->SerComm1->PortHandle(), 0u);
  EXPECT_EQ(window->State().DeviceIdentified, 0);
  ASSERT_EQ(window->ComboBoxCOM->Count(), 1);
  EXPECT_EQ(window->ComboBoxCOM->Text(), farm->Device(0).PortName());
  // Find probes again.
  window->BitBtnFind->click();
  ASSERT_TRUE(Found());
  EXPECT_EQ(farm->Device(0).PacketCount(0x3D), 2);
}

TEST_F(WindowTest, SearchProbesTheFirstOfTwoPorts) {
  Start(2);
  ASSERT_TRUE(Found());
  ASSERT_EQ(window->ComboBoxCOM->Count(), 2);
  const std::string first = window->ComboBoxCOM->Item(0);
  EXPECT_EQ(window->ComboBoxCOM->Text(), window->ComboBoxCOM->Item(1));
  EXPECT_EQ(window->SerComm1->CommName, first);
  sim::SimDevice* probed = farm->DeviceByPort(first);
  ASSERT_NE(probed, nullptr);
  EXPECT_EQ(probed->PacketCount(0x3D), 1);
  EXPECT_EQ(farm->DeviceByPort(window->ComboBoxCOM->Item(1))->PacketCount(0x3D), 0);
}

TEST_F(WindowTest, LostPortDropsTheFirstListEntry) {
  Start(1);
  ASSERT_TRUE(Found());
  farm->Device(0).Unplug();
  ASSERT_TRUE(WaitFor([&] { return window->ComboBoxCOM->Count() == 0; }));
  EXPECT_TRUE(window->SpdBtnDownLoad->isEnabled());  // no state changes
}

TEST_F(WindowTest, UnplugDuringTheUpgradeThenAProgrammerPluggedInAgain) {
  Start(1);
  ASSERT_TRUE(Found());
  sim::SimDevice& dev = farm->Device(0);
  // The device acknowledges blocks 0, 1 and 2, waits until the host has read
  // the third acknowledgement and goes away; block 3, sent on that
  // acknowledgement, meets a vanished port.
  dev.SetUnplugAfter(3);
  window->SpdBtnDownLoad->click();
  ASSERT_TRUE(WaitFor([&] { return dev.Unplugged(); }));
  ASSERT_TRUE(WaitFor([&] { return window->ComboBoxCOM->Count() == 0; }));
  EXPECT_EQ(dev.PacketCount(0xB7), 3);

  // The window keeps running its event loop without spinning. The upgrade
  // that lost its port ends as a failure that says so; the port stays open.
  const double cpuBefore = ProcessCpuMs();
  EXPECT_GE(IdleTicks(1000), 50);
  EXPECT_LT(ProcessCpuMs() - cpuBefore, 300.0);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_TRUE(EndedWithError(FwPortLostText()));
  EXPECT_EQ(window->State().OpState, OpIdle);
  // The third acknowledgement can go with the line: under load its bytes may
  // still sit in the port's pending read when the device drops away.
  EXPECT_TRUE(window->State().CurBlockAddr == 0x2800 || window->State().CurBlockAddr == 0x2C00)
      << window->State().CurBlockAddr;
  EXPECT_EQ(window->ProgressBar1->Progress(), window->ProgressBar1->MaxValue());
  EXPECT_EQ(window->ProgressBar1->ForeColor(), ui::GaugeRed);
  EXPECT_NE(window->SerComm1->PortHandle(), 0u);
  EXPECT_TRUE(window->SpdBtnDownLoad->isEnabled());
  EXPECT_EQ(window->ComboBoxCOM->Count(), 0);

  // A programmer plugged in again comes up on a new line of the device table.
  std::unique_ptr<sim::SimFarm> gone = std::move(farm);
  farm = std::make_unique<sim::SimFarm>(1);
  farm->ExportTable();
  sim::SimDevice& again = farm->Device(0);
  window->BitBtnFind->click();
  ASSERT_TRUE(WaitFor([&] { return window->State().DeviceIdentified == 1; }));
  EXPECT_EQ(window->SerComm1->CommName, again.PortName());
  EXPECT_EQ(window->ComboBoxCOM->Count(), 1);
  EXPECT_EQ(again.PacketCount(0x3D), 1);
  EXPECT_EQ(window->State().OpState, OpIdle);

  ASSERT_TRUE(EndsInSuccess([&] { window->SpdBtnDownLoad->click(); }));
  EXPECT_EQ(again.PacketCount(0xB7), 8);
  EXPECT_EQ(again.Firmware(), Image());
  EXPECT_TRUE(EndsInSuccess([&] { window->SpdBtnVerify->click(); }));
  EXPECT_EQ(dialogs->boxes.size(), 3u);
  EXPECT_EQ(window->State().OpState, OpIdle);
  EXPECT_EQ(gone->ViolationCount() + farm->ViolationCount(), 0);
}

// Upgrade or Verify pressed while an upgrade runs is ignored: the one run goes
// on, one block at a time, and its success comes only once all eight blocks
// are written.
TEST_F(WindowTest, PressesDuringAnUpgradeLeaveItsOneRun) {
  struct Case {
    const char* name;
    std::function<void(TFirmWareUG&)> press;
  };
  const Case cases[] = {
      {"Upgrade button", [](TFirmWareUG& w) { w.SpdBtnDownLoad->click(); }},
      {"Upgrade menu", [](TFirmWareUG& w) { w.Upgrade1->trigger(); }},
      {"Verify button", [](TFirmWareUG& w) { w.SpdBtnVerify->click(); }},
      {"Verification menu", [](TFirmWareUG& w) { w.Verification1->trigger(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimOptions paced;
    paced.paced = true;
    Start(1, paced);
    ASSERT_TRUE(Found());
    sim::SimDevice& dev = farm->Device(0);
    std::vector<uint8_t> firmwareAtSuccess;
    int blocksAtSuccess = 0;
    dialogs->onSuccessBox = [&] {
      firmwareAtSuccess = dev.Firmware();
      blocksAtSuccess = dev.PacketCount(CmdFwWriteBlock);
    };
    window->SpdBtnDownLoad->click();
    // Three blocks acknowledged, the fourth on its way.
    ASSERT_TRUE(WaitFor([&] { return dev.PacketCount(CmdFwWriteBlock) >= 4; }));
    ASSERT_EQ(window->State().OpState, OpUpgrade);
    c.press(*window);
    ASSERT_TRUE(WaitFor([&] { return !dialogs->boxes.empty(); }));
    Pump(100);  // anything still owed would come now
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Information);
    EXPECT_EQ(blocksAtSuccess, 8);
    EXPECT_EQ(firmwareAtSuccess, Image());
    EXPECT_EQ(dev.PacketCount(CmdFwWriteBlock), 8);
    EXPECT_EQ(dev.PacketCount(CmdFwVerify), 0);
    EXPECT_EQ(window->State().OpState, OpIdle);
    EXPECT_EQ(farm->ViolationCount(), 0);
    // Once it has ended, Verify runs.
    EXPECT_TRUE(EndsInSuccess([&] { window->SpdBtnVerify->click(); }));
    dialogs->onSuccessBox = nullptr;
    dialogs->boxes.clear();
    window.reset();
    farm.reset();
  }
}

// A run stalled on a block that is never answered ends when Find or Refresh
// takes the port over, with a box and a memo line; a search then recovers.
TEST_F(WindowTest, SearchOrRefreshDuringAnUpgradeEndsItAndSaysSo) {
  struct Case {
    const char* name;
    bool refresh;
  };
  for (const Case& c : {Case{"Find", false}, Case{"Refresh", true}}) {
    SCOPED_TRACE(c.name);
    Start(1);
    ASSERT_TRUE(Found());
    sim::SimDevice& dev = farm->Device(0);
    sim::CommandFault swallow;
    swallow.noReply = true;
    dev.SetCommandFault(CmdFwWriteBlock, 0x2C00, swallow);
    window->SpdBtnDownLoad->click();
    ASSERT_TRUE(WaitFor([&] { return dev.PacketCount(CmdFwWriteBlock) == 4; }));
    Pump(50);
    ASSERT_EQ(window->State().OpState, OpUpgrade);
    ASSERT_TRUE(dialogs->boxes.empty());

    (c.refresh ? window->BitBtnFresh : window->BitBtnFind)->click();
    ASSERT_EQ(dialogs->boxes.size(), 1u);
    EXPECT_TRUE(EndedWithError(FwInterruptedText()));
    EXPECT_EQ(window->State().OpState, OpIdle);

    dev.ClearFaults();
    if (c.refresh) window->BitBtnFind->click();
    ASSERT_TRUE(WaitFor([&] { return window->State().DeviceIdentified == 1; }));
    ASSERT_TRUE(EndsInSuccess([&] { window->SpdBtnDownLoad->click(); }));
    EXPECT_EQ(dev.Firmware(), Image());
    EXPECT_EQ(dialogs->boxes.size(), 2u);
    dialogs->boxes.clear();
    window.reset();
    farm.reset();
  }
}

// How a reply can go astray: a command's reply lost or late, or a surplus
// identification reply (a late answer to an earlier search) arriving mid-run.
struct AstrayCase {
  const char* name;
  bool verify;  // the operation: a verify (after a good upgrade), else an upgrade
  uint8_t code;
  uint16_t param;
  sim::CommandFault fault;  // on the command code at the parameter
  bool strayIdent;          // no fault: an identification reply comes mid-run
};

class AstrayReplyTest : public WindowTest {
 protected:
  void Run(const AstrayCase& c) {
    sim::SimOptions paced;
    paced.paced = true;  // one block on the line at a time, as on a real link
    Start(1, paced);
    ASSERT_TRUE(Found());
    sim::SimDevice& dev = farm->Device(0);
    QAbstractButton* action = c.verify ? window->SpdBtnVerify : window->SpdBtnDownLoad;
    if (c.verify) {
      ASSERT_TRUE(EndsInSuccess([&] { window->SpdBtnDownLoad->click(); }));
      dialogs->boxes.clear();
    }
    std::vector<uint8_t> firmwareAtSuccess;
    int blocksAtSuccess = -1;
    dialogs->onSuccessBox = [&] {
      firmwareAtSuccess = dev.Firmware();
      blocksAtSuccess = dev.PacketCount(CmdFwWriteBlock);
    };
    int blocks = dev.PacketCount(CmdFwWriteBlock);
    if (c.strayIdent) {
      action->click();
      ASSERT_TRUE(WaitFor([&] { return dev.PacketCount(CmdFwWriteBlock) >= 4; }));
      ASSERT_EQ(window->State().OpState, OpUpgrade);
      const uint16_t addr = window->State().CurBlockAddr;
      const int progress = window->ProgressBar1->Progress();
      const testing::Bytes f = testing::Framed(testing::IdentPacket(sim::DefaultIdent));
      window->SerComm1ReceiveData(f.data(), static_cast<uint16_t>(f.size()));
      EXPECT_EQ(window->State().CurBlockAddr, addr);
      EXPECT_EQ(window->ProgressBar1->Progress(), progress);
      ASSERT_TRUE(WaitFor([&] { return !dialogs->boxes.empty(); }));
      EXPECT_FALSE(MemoHas(QStringLiteral("> 重新识别编程器......")));  // nothing was owed
    } else {
      dev.SetCommandFault(c.code, c.param, c.fault);
      action->click();
      ASSERT_TRUE(WaitFor([&] { return !dialogs->boxes.empty(); }));
      ASSERT_EQ(dialogs->boxes.size(), 1u);
      EXPECT_TRUE(EndedWithError(QStringLiteral("编程器无应答，操作未完成！")));
      EXPECT_EQ(window->State().OpState, OpIdle);
      EXPECT_FALSE(window->State().BlockInFlight);
      EXPECT_EQ(window->ProgressBar1->Progress(), window->ProgressBar1->MaxValue());
      EXPECT_EQ(window->ProgressBar1->ForeColor(), ui::GaugeRed);

      // The late reply, the first time its bytes come, must not move the next
      // run on: the bar stays at most at the start of an upgrade (2).
      const testing::Bytes lateReply =
          testing::Framed(testing::ReplyPacket(c.code, c.param, {0x00}));
      int barAfterLate = -1;
      serial::TReceiveDataEvent received = window->SerComm1->OnReceiveData;
      window->SerComm1->OnReceiveData = [&, received](serial::TComm* port, const uint8_t* data,
                                                      uint16_t n) {
        received(port, data, n);
        if (barAfterLate < 0 &&
            std::search(data, data + n, lateReply.begin(), lateReply.end()) != data + n)
          barAfterLate = window->ProgressBar1->Progress();
      };

      // Pressed again, with no search in between: the programmer, which may
      // still answer, is identified first, and only then the operation runs.
      dev.ClearFaults();
      const int searches = dev.PacketCount(CmdSearchDevice);
      blocks = dev.PacketCount(CmdFwWriteBlock);
      EXPECT_TRUE(EndsInSuccess([&] { action->click(); }));
      EXPECT_TRUE(MemoHas(QStringLiteral("> 重新识别编程器......")));
      EXPECT_EQ(dev.PacketCount(CmdSearchDevice), searches + 1);
      if (c.fault.delayMs > 0) {
        EXPECT_GE(barAfterLate, 0) << "the late reply never came";
        EXPECT_LE(barAfterLate, 2);
      }
    }
    Pump(200);  // anything still owed would come now
    ASSERT_EQ(dialogs->boxes.size(), c.strayIdent ? 1u : 2u);
    EXPECT_EQ(dialogs->boxes.back().kind, ui::ScriptedDialogs::Box::Information);
    if (!c.verify) {
      EXPECT_EQ(blocksAtSuccess, blocks + 8);
      EXPECT_EQ(firmwareAtSuccess, Image());
    }
    EXPECT_EQ(window->State().OpState, OpIdle);
    EXPECT_EQ(farm->ViolationCount(), 0);
  }
};

// No lost, late or surplus reply leaves the tool stuck, silent, or advanced by
// a reply that is not its command's: an unanswered command ends after the
// reply time-out with a box and a memo line, and the next press works again.
TEST_F(AstrayReplyTest, EveryOperationEndsVisiblyAndTakesOnlyItsOwnReply) {
  sim::CommandFault lost;
  lost.noReply = true;
  sim::CommandFault late;
  late.delayMs = 4000;
  const AstrayCase cases[] = {
      {"4th acknowledgement lost", false, CmdFwWriteBlock, 0x2C00, lost, false},
      {"4th acknowledgement 4 s late", false, CmdFwWriteBlock, 0x2C00, late, false},
      {"verify reply lost", true, CmdFwVerify, 0x3FFF, lost, false},
      {"surplus identification during an upgrade", false, 0, 0, {}, true},
  };
  for (const AstrayCase& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c);
    dialogs->onSuccessBox = nullptr;
    dialogs->boxes.clear();
    window.reset();
    farm.reset();
  }
}

// A programmer unplugged after it was found: Upgrade and Verify do not start
// and say why; a success reply that then arrives, with no block in flight,
// advances nothing.
TEST_F(WindowTest, ProgrammerUnpluggedAfterFind) {
  Start(1);
  ASSERT_TRUE(Found());
  farm->Device(0).Unplug();
  ASSERT_TRUE(WaitFor([&] { return window->ComboBoxCOM->Count() == 0; }));
  EXPECT_TRUE(dialogs->boxes.empty());  // nothing was running

  window->SpdBtnDownLoad->click();
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_TRUE(EndedWithError(FwPortLostText()));
  EXPECT_EQ(window->State().OpState, OpIdle);
  const int progress = window->ProgressBar1->Progress();
  StraySuccessReply();
  EXPECT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(window->State().OpState, OpIdle);
  EXPECT_EQ(window->ProgressBar1->Progress(), progress);
  EXPECT_EQ(window->State().CurBlockAddr, 0);

  window->SpdBtnVerify->click();
  ASSERT_EQ(dialogs->boxes.size(), 2u);
  EXPECT_TRUE(EndedWithError(FwPortLostText()));
  EXPECT_EQ(window->State().OpState, OpIdle);
}

TEST_F(WindowTest, NoPortListed) {
  QTemporaryDir dir;
  const QString table = dir.filePath(QStringLiteral("table"));
  QFile f(table);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  setenv("KESTRA_SERIAL_TABLE", table.toLocal8Bit().constData(), 1);
  window = std::make_unique<TFirmWareUG>();
  window->show();
  EXPECT_EQ(window->ComboBoxCOM->Text(), "No Device Availiable");
  EXPECT_EQ(window->DevLabel->text(), QStringLiteral("设备......"));
  EXPECT_EQ(window->SerComm1->PortHandle(), 0u);
  // Upgrade without an open port, which nothing could ever answer, does not
  // start: it says why.
  window->Upgrade1->trigger();
  EXPECT_EQ(window->State().OpState, OpIdle);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_TRUE(EndedWithError(FwNoDeviceText()));
}

TEST_F(WindowTest, PortThatDoesNotOpenEndsTheSearchInAnErrorBox) {
  // A listed port that is a plain file: it passes the listing's open test
  // but is no serial port.
  QTemporaryDir dir;
  QFile plain(dir.filePath(QStringLiteral("notatty")));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  const QString table = dir.filePath(QStringLiteral("table"));
  QFile f(table);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("\\Device\\VCP0\t../" + dir.path().toLocal8Bit() + "/notatty\n");
  f.close();
  setenv("KESTRA_SERIAL_TABLE", table.toLocal8Bit().constData(), 1);
  window = std::make_unique<TFirmWareUG>();
  window->show();
  EXPECT_TRUE(window->isVisible());
  ASSERT_EQ(window->ComboBoxCOM->Count(), 1);
  ASSERT_EQ(dialogs->boxes.size(), 1u);
  EXPECT_EQ(dialogs->boxes[0].kind, ui::ScriptedDialogs::Box::Error);
  EXPECT_EQ(window->DevLabel->text(), QStringLiteral("Searching Devices............"));
  EXPECT_EQ(window->SerComm1->PortHandle(), 0u);
  EXPECT_EQ(window->State().ExpCheckSum2, 0xCBC2);  // the banner step ran before the search
}

}  // namespace
}  // namespace kestra::upgrade
