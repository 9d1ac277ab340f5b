// TComm on the scripted port layer: the failure paths a pseudo-terminal cannot show.
#include <gtest/gtest.h>

#include <QTest>
#include <functional>

#include "platform/ScriptedSerial.h"
#include "serial/TComm.h"

namespace kestra::serial {
namespace {

using platform::ScriptedSerialServices;

struct Events {
  std::vector<std::vector<uint8_t>> chunks;
  std::vector<uint32_t> errors, modem;
  int hangups = 0, empties = 0;

  explicit Events(TComm& c) {
    c.OnReceiveData = [this](TComm*, const uint8_t* b, uint16_t n) {
      chunks.emplace_back(b, b + n);
    };
    c.OnReceiveError = [this](TComm*, uint32_t m) { errors.push_back(m); };
    c.OnModemStateChange = [this](TComm*, uint32_t m) { modem.push_back(m); };
    c.OnRequestHangup = [this](TComm*) { ++hangups; };
    c.OnSendDataEmpty = [this](TComm*) { ++empties; };
  }
};

class Scripted : public ::testing::Test {
 protected:
  Scripted() : port(std::make_shared<ScriptedSerialServices>()), comm(port), ev(comm) {
    ApplyDeviceLinkSettings(comm, 2);
    comm.CommName = "ttyS9";
  }
  void OpenAndSettle() {
    comm.OpenPort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.empties == 1; }, 10000));
  }
  // Data still flows from the device to OnReceiveData.
  void ExpectReaderGoesOn() {
    const size_t before = ev.chunks.size();
    port->Receive({0x42});
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.chunks.size() == before + 1; }, 10000));
    EXPECT_EQ(ev.chunks.back(), std::vector<uint8_t>{0x42});
  }
  std::shared_ptr<ScriptedSerialServices> port;
  TComm comm;
  Events ev;
};

TEST_F(Scripted, PartialWritesAreContinuedWithTheRest) {
  port->SetMaxWriteChunk(3);
  OpenAndSettle();
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_TRUE(comm.SendData(data.data(), 10));
  ASSERT_TRUE(QTest::qWaitFor([&] { return port->Written().size() == 10; }, 10000));
  EXPECT_EQ(port->Written(), data);
  EXPECT_EQ(port->WriteCalls(), 4);
}

TEST_F(Scripted, PendingPartialWritesAreCollectedAndContinued) {
  port->SetMaxWriteChunk(4);
  port->HoldWrites(true);
  OpenAndSettle();
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_TRUE(comm.SendData(data.data(), 10));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return port->WritePending(); }, 10000));
    port->ReleaseWrite();
  }
  ASSERT_TRUE(QTest::qWaitFor([&] { return ev.empties == 2; }, 10000));
  EXPECT_EQ(port->Written(), data);
  EXPECT_EQ(ev.hangups, 0);
}

TEST_F(Scripted, LineErrorReportsItsMaskAndTheReaderGoesOn) {
  OpenAndSettle();
  port->LineError(platform::CeFrame | platform::CeOverrun);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ev.errors.size() == 1; }, 10000));
  EXPECT_EQ(ev.errors[0], platform::CeFrame | platform::CeOverrun);
  ExpectReaderGoesOn();
  EXPECT_EQ(ev.hangups, 0);
}

TEST_F(Scripted, ModemChangesReportCarrierAndRing) {
  OpenAndSettle();
  const std::pair<uint32_t, uint32_t> cases[] = {
      {platform::EvRlsd, 8}, {platform::EvRing, 4}, {platform::EvRlsd | platform::EvRing, 12}};
  for (const auto& [event, bits] : cases) {
    port->SignalCommEvent(event);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ev.modem.empty(); }, 10000));
    EXPECT_EQ(ev.modem.back(), bits);
    ev.modem.clear();
    ExpectReaderGoesOn();
  }
  EXPECT_EQ(ev.hangups, 0);
}

TEST_F(Scripted, CommEventWithoutKnownBitsEndsTheReaderWithAHangup) {
  OpenAndSettle();
  port->SignalCommEvent(platform::EvRxChar);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ev.hangups == 1; }, 10000));
  port->Receive({1});
  QTest::qWait(50);
  EXPECT_TRUE(ev.chunks.empty());  // the reader has ended
}

TEST_F(Scripted, BytesArrivingWhileNoReadIsPendingComeWithTheNextRead) {
  OpenAndSettle();
  ASSERT_TRUE(QTest::qWaitFor([&] { return port->ReadPending(); }, 10000));
  port->HoldReads(true);
  port->Receive({1});  // completes the pending read; the next ReadFile waits at the gate
  ASSERT_TRUE(QTest::qWaitFor([&] { return port->ReadsAtGate() == 1; }, 10000));
  port->Receive({2, 3, 4});
  const int immediateBefore = port->ImmediateReads();
  port->HoldReads(false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ev.chunks.size() == 2; }, 10000));
  EXPECT_EQ(ev.chunks[0], std::vector<uint8_t>{1});
  EXPECT_EQ(ev.chunks[1], (std::vector<uint8_t>{2, 3, 4}));
  EXPECT_EQ(port->ImmediateReads(), immediateBefore + 1);
}

TEST_F(Scripted, DeviceVanishingUnderBothThreadsGivesOneHangupEach) {
  port->HoldWrites(true);
  OpenAndSettle();
  const uint8_t byte = 7;
  ASSERT_TRUE(comm.SendData(&byte, 1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return port->WritePending(); }, 10000));
  port->Vanish();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ev.hangups == 2; }, 10000));
  comm.SendData(&byte, 1);
  QTest::qWait(50);
  EXPECT_EQ(ev.hangups, 2);
  comm.ClosePort();
  EXPECT_FALSE(port->PortOpen());
}

TEST_F(Scripted, WriteErrorsEndTheWriter) {
  const std::pair<uint32_t, int> cases[] = {{platform::ErrGenFailure, 1},
                                            {platform::ErrInvalidHandle, 0}};
  for (const auto& c : cases) {
    const uint32_t error = c.first;
    const int hangups = c.second;
    OpenAndSettle();
    port->FailNextWrite(error);
    const uint8_t byte = 1;
    ASSERT_TRUE(comm.SendData(&byte, 1));
    // Once the writer has ended its queue refuses blocks.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !comm.SendData(&byte, 1); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ev.hangups >= hangups; }, 10000));
    QTest::qWait(50);
    EXPECT_EQ(ev.hangups, hangups) << "error " << error;
    comm.ClosePort();
    ev.hangups = ev.empties = 0;
  }
}

TEST_F(Scripted, FailedPostsEndTheThreadWithAHangup) {
  port->FailPost(CommMsgSendDataEmpty);
  port->FailPost(CommMsgReceiveData);
  comm.OpenPort();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ev.hangups == 1; }, 10000));  // the writer
  port->Receive({1, 2, 3});  // the block goes with the refused message
  ASSERT_TRUE(QTest::qWaitFor([&] { return ev.hangups == 2; }, 10000));
  EXPECT_EQ(ev.empties, 0);
  EXPECT_TRUE(ev.chunks.empty());
}

TEST_F(Scripted, ThreadStartFailuresPostOneHangup) {
  const std::function<void(ScriptedSerialServices&)> cases[] = {
      [](ScriptedSerialServices& p) { p.FailSetCommMask(true); },
      [](ScriptedSerialServices& p) { p.FailEventCreation(1); },  // one worker's first event
  };
  for (const auto& setUp : cases) {
    auto services = std::make_shared<ScriptedSerialServices>();
    setUp(*services);
    TComm c(services);
    Events e(c);
    c.OpenPort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return e.hangups == 1; }, 10000));
    QTest::qWait(50);
    EXPECT_EQ(e.hangups, 1);
    c.ClosePort();
    EXPECT_EQ(services->HandleCount(), 0u);
  }
}

TEST(ScriptedOpen, EachFailureRaisesItsTextAndUndoesWhatWasDone) {
  struct Case {
    const char* text;
    std::function<void(ScriptedSerialServices&)> fail;
  };
  const Case cases[] = {
      {"Error opening serial port:ttyS9", [](auto& p) { p.FailCreateFile(true); }},
      {"File handle is not a comm handle ", [](auto& p) { p.SetCharacterDevice(false); }},
      {"Cannot setup comm buffer", [](auto& p) { p.FailSetupComm(true); }},
      {"Unable to create event", [](auto& p) { p.FailEventCreation(0); }},
      {"Unable to create read thread", [](auto& p) { p.FailThreadCreation(0); }},
      {"Unable to create write thread", [](auto& p) { p.FailThreadCreation(1); }},
  };
  for (const auto& c : cases) {
    auto services = std::make_shared<ScriptedSerialServices>();
    c.fail(*services);
    TComm comm(services);
    comm.CommName = "ttyS9";
    try {
      comm.OpenPort();
      ADD_FAILURE() << "opened despite: " << c.text;
    } catch (const ECommsError& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
    EXPECT_EQ(comm.PortHandle(), 0u) << c.text;
    EXPECT_FALSE(services->PortOpen()) << c.text;
    EXPECT_EQ(services->HandleCount(), 0u) << c.text;
    // Once the cause is gone the same component opens.
    services->FailCreateFile(false);
    services->SetCharacterDevice(true);
    services->FailSetupComm(false);
    services->FailEventCreation(-1);
    services->FailThreadCreation(-1);
    EXPECT_NO_THROW(comm.OpenPort()) << c.text;
    EXPECT_NE(comm.PortHandle(), 0u);
  }
}

TEST_F(Scripted, OpenPurgesEverythingAndAppliesTimeoutsAndLine) {
  comm.OpenPort();
  ASSERT_FALSE(port->Purges().empty());
  EXPECT_EQ(port->Purges().front(), 15u);
  EXPECT_EQ(port->SetCommTimeoutsCalls(), 1);
  EXPECT_EQ(port->SetCommStateCalls(), 1);
  const auto dcb = port->LastState();
  EXPECT_EQ(dcb.BaudRate, 1000000u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.Parity, 0);
  EXPECT_FALSE(dcb.fOutX || dcb.fInX || dcb.fOutxCtsFlow || dcb.fAbortOnError);
  EXPECT_EQ(dcb.XonLim, 10);
  EXPECT_EQ(port->LastTimeouts().ReadIntervalTimeout, 2u);
  comm.ClosePort();
  const auto purges = port->Purges();
  EXPECT_NE(std::find(purges.begin(), purges.end(), 10u), purges.end());
  EXPECT_NE(std::find(purges.begin(), purges.end(), 5u), purges.end());
}

TEST_F(Scripted, SettersReapplyOnlyOnARealChange) {
  comm.OpenPort();
  comm.SetBaudRate(1000000);
  comm.SetStopBits(TStopBits::_2);
  comm.SetReadIntervalTimeout(2);
  EXPECT_EQ(port->SetCommStateCalls(), 1);
  EXPECT_EQ(port->SetCommTimeoutsCalls(), 1);

  comm.Parity = TParity::Even;  // stored only
  EXPECT_EQ(port->SetCommStateCalls(), 1);
  comm.SetBaudRate(115200);
  EXPECT_EQ(port->SetCommStateCalls(), 2);
  EXPECT_EQ(port->LastState().BaudRate, 115200u);
  EXPECT_EQ(port->LastState().Parity, 2);  // carried along by the other change

  comm.SetReadIntervalTimeout(5);
  EXPECT_EQ(port->SetCommTimeoutsCalls(), 2);
  EXPECT_EQ(port->LastTimeouts().ReadIntervalTimeout, 5u);
  comm.ClosePort();
  comm.SetBaudRate(9600);  // closed: stored for the next open
  EXPECT_EQ(port->SetCommStateCalls(), 2);
}

TEST(CommDefaults, AreThoseTheComponentIsCreatedWith) {
  TComm c(std::make_shared<ScriptedSerialServices>());
  EXPECT_EQ(c.CommName, "COM2");
  EXPECT_EQ(c.BaudRate(), 9600u);
  EXPECT_TRUE(c.TxContinueOnXoff() && c.Outx_XonXoffFlow() && c.Inx_XonXoffFlow());
  EXPECT_EQ(c.DtrControl(), TDtrControl::DtrEnable);
  EXPECT_EQ(c.RtsControl(), TRtsControl::RtsEnable);
  EXPECT_EQ(c.XonLimit(), 500);
  EXPECT_EQ(c.XonChar(), 17);
  EXPECT_EQ(c.XoffChar(), 19);
  EXPECT_EQ(c.ReadIntervalTimeout(), 100u);
  EXPECT_EQ(c.PortHandle(), 0u);
}

}  // namespace
}  // namespace kestra::serial
