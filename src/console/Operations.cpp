#include "console/Operations.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>
#include <iterator>
#include <optional>
#include <string>

#include "console/ChannelMachine.h"
#include "console/ChannelProgress.h"
#include "console/MainWindow.h"
#include "console/ReceivePath.h"
#include "console/StandAlone.h"
#include "link/PortList.h"
#include "platform/LocalTime.h"
#include "serial/TComm.h"
#include "ui/Dialogs.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"
#include "ui/SortedComboBox.h"

namespace kestra::console {

namespace {

constexpr int KeySpace = 32;
constexpr int KeyEnter = 13;
constexpr unsigned PortSettleMs = 20;

constexpr const char* NoObjectFile = "Please load object file!";
constexpr const char* NoChipType = "Please select the chip type!";
constexpr const char* NoDevice = "Please connect the device first!";
constexpr const char* DownloadBusy =
    "A download is running: start off-line programming when it has ended!";
constexpr const char* StandAloneNotice = "启动脱机烧写和监控...........";

std::string ChannelText(const char* before, int k, const char* after) {
  return before + std::to_string(k + 1) + after;
}

}  // namespace

ConsoleOperations::ConsoleOperations(TProgramArmFrm& form, ConsoleState& st)
    : form_(form), st_(st) {}
ConsoleOperations::~ConsoleOperations() = default;

serial::TComm* ConsoleOperations::Port(int k) const { return st_.CommPorts[k]; }

bool ConsoleOperations::PortOpen(int k) const {
  serial::TComm* port = Port(k);
  return port && port->PortHandle() != 0;
}

void ConsoleOperations::ClosePortIfOpen(int k) {
  if (PortOpen(k)) Port(k)->ClosePort();
}

int ConsoleOperations::ListedPortsToUse() const {
  return std::min(form_.ComboBoxCOM->Count(), ChannelCount);
}

// ---- Runtime ----

void ConsoleOperations::BitBtnFreshClick() {
  InterruptBusyChannels();
  form_.ComboBoxCOM->Clear();
  for (int k = 0; k < ChannelCount; ++k) {
    ClosePortIfOpen(k);
    st_.DeviceOnline[k] = 0;
  }
  st_.ChannelsMapped = 0;
  link::EnumVirtualComPorts(*form_.ComboBoxCOM, link::NoDeviceTextConsole);
}

void ConsoleOperations::BitBtnFindCOMClick() {
  for (int k = 0; k < ChannelCount; ++k) st_.ChannelNo[k] = static_cast<uint8_t>(k);
  st_.DevicesFound = 0;
  form_.ComboBoxCOM->Clear();
  const unsigned interrupted = InterruptBusyChannels();
  for (int k = 0; k < ChannelCount; ++k) {
    st_.ResetRx(k);
    if (ui::TGauge* g = st_.ChannelGauge[k]) {
      g->setEnabled(false);
      if (!(interrupted & (1u << k))) {  // an interrupted channel stays red
        g->SetProgress(0);
        g->SetForeColor(ui::GaugeBlue);
      }
    }
    // Off-line until its port answers the search: a channel whose port is
    // not listed, does not open, or is not tried after one that failed has
    // no device.
    ClosePortIfOpen(k);
    st_.DeviceOnline[k] = 0;
  }
  link::EnumVirtualComPorts(*form_.ComboBoxCOM, link::NoDeviceTextConsole);
  const int ports = ListedPortsToUse();
  for (int k = 0; k < ports; ++k) {
    st_.OpTimeout[k] = 500;
    if (st_.Hooks.SetInfoPanel) st_.Hooks.SetInfoPanel("Searching Devices............");
    const std::string name = form_.ComboBoxCOM->Item(k);
    LogInfo(st_, ChannelText("Checking Device ", k, (" In " + name + "............").c_str()));
    serial::TComm* port = Port(k);
    port->CommName = name;
    port->OpenPort();  // ECommsError ends the attempt; the window's guard shows it
    platform::SleepMs(PortSettleMs);
    if (PortOpen(k)) st_.Link[k]->SendSimpleCommand(link::CmdSearchDevice, 0);
  }
}

void ConsoleOperations::Timer1Timer() {
  if (st_.ChannelsMapped == 0 && form_.ComboBoxCOM->Count() == st_.DevicesFound) {
    if (st_.DevicesFound == 1) st_.ChannelNo[0] = 0;
    const bool remap =
        std::any_of(st_.ChannelNo.begin(), st_.ChannelNo.end(), [](uint8_t n) { return n != 0; });
    if (remap) {
      for (int k = 0; k < ChannelCount; ++k)
        if (st_.ChannelNo[k] < ChannelCount) st_.ChannelGauge[k] = form_.Gauges[st_.ChannelNo[k]];
    }
    st_.ChannelsMapped = 1;
  }
  for (int k = 0; k < ChannelCount; ++k) ChannelTick(st_, k);
}

void ConsoleOperations::SerCommReceiveData(int k, const uint8_t* Buffer, uint16_t BufferLength) {
  ChannelReceiveData(st_, k, Buffer, BufferLength);
}

// The lost port's own entry leaves the list; when it is not listed (the list
// was rebuilt since), the first entry goes instead, so every lost port removes
// exactly one entry.
void ConsoleOperations::SerCommRequestHangup(int k) {
  serial::TComm* port = Port(k);
  if (port) port->ClosePort();
  st_.DeviceOnline[k] = 0;
  if (form_.Gauges[k]) form_.Gauges[k]->setEnabled(false);
  ui::TSortedComboBox& combo = *form_.ComboBoxCOM;
  if (combo.Count() > 0) {
    int victim = 0;
    for (int i = 0; port && i < combo.Count(); ++i)
      if (combo.Item(i) == port->CommName) {
        victim = i;
        break;
      }
    combo.DeleteItem(victim);
  }
  if (combo.Count() == 0) combo.SetText("Please connect the device......");
}

void ConsoleOperations::SpdBtnStartPrgClick() {
  if (DownloadRunning()) {
    ui::Dialogs().InformationBox(&form_, "Information", DownloadBusy);
    return;
  }
  BitBtnFreshClick();
  const int ports = ListedPortsToUse();
  for (int k = 0; k < ports; ++k) {
    ClosePortIfOpen(k);
    EnterStandAlone(st_, k);
    LogInfo(st_, StandAloneNotice);
    serial::TComm* port = Port(k);
    port->CommName = form_.ComboBoxCOM->Item(k);
    port->OpenPort();
    platform::SleepMs(PortSettleMs);
    if (PortOpen(k)) SendRest(st_, k, link::CmdRestart);
  }
}

void ConsoleOperations::FormKeyPress(int key) {
  if (key != KeySpace && key != KeyEnter) return;
  if (!form_.AutoSpdBtn || !form_.AutoSpdBtn->isEnabled()) return;
  if (form_.Panel1) form_.Panel1->setFocus();
  AutoSpdBtnClick();
}

std::string ConsoleOperations::ExitLogPath() const {
  const std::string name =
      LogFileName("\\EPS_", platform::ShortDateText(), platform::LongTimeText());
  return LogFilePath(st_.StartupDir, name);
}

void ConsoleOperations::FormClose() {
  for (int k = 0; k < ChannelCount; ++k) ClosePortIfOpen(k);
  const std::string path = ExitLogPath();
  if (st_.InfoMemoRef && st_.InfoMemoRef->Count() > 6) SaveMemoLog(st_, path);
}

// ---- Commands ----

bool ConsoleOperations::CommandAllowed(bool needsFile) {
  if (needsFile && st_.FileLoaded == 0) {
    ui::Dialogs().InformationBox(&form_, "Information", NoObjectFile);
    return false;
  }
  if (st_.ChipSelected == 0) {
    ui::Dialogs().InformationBox(&form_, "Information", NoChipType);
    return false;
  }
  return true;
}

// The first-channel commands need that channel on-line, and do not start
// while it runs an operation.
bool ConsoleOperations::FirstChannelFree() {
  if (!st_.DeviceOnline[st_.ChannelNo[0]]) {
    LogInfo(st_, NoDevice);
    return false;
  }
  return !form_.RefusedWhileBusy(st_.ChannelBusy[st_.ChannelNo[0]] != 0);
}

int ConsoleOperations::RunOnChannels(const OperationRequest& request,
                                     const std::function<void(int)>& markIdle) {
  int started = 0;
  for (int k = 0; k < ChannelCount; ++k) {
    // A running operation is never taken over by another command.
    if (st_.ChannelBusy[k]) continue;
    if (markIdle) markIdle(k);
    if (!st_.DeviceOnline[k]) continue;
    StartOperation(st_, k, request);
    ++started;
  }
  if (started == 0) LogInfo(st_, NoDevice);
  return started;
}

bool ConsoleOperations::OnlineSerialNumberOn() const {
  return form_.CheckBoxSN && form_.ChkBoxPCSN && form_.CheckBoxSN->isChecked() &&
         form_.ChkBoxPCSN->isChecked();
}

void ConsoleOperations::SpdBtnDownLoadClick() {
  if (!CommandAllowed(true)) return;
  form_.CollectSettings();
  // The programmers place the serial numbers themselves: inside the chip.
  if (st_.s.SnEnable != 0 && !form_.OnlineSerialFitsChip()) return;
  st_.ProgressByTimer = false;
  OperationRequest request(Operation::Download);
  request.Texts = {form_.MCUNameEdit->text().toStdString(), form_.ProductEdit->text().toStdString(),
                   form_.VerEdit->text().toStdString(), form_.DateEdit->text().toStdString()};
  RunOnChannels(request);
}

// Auto and Prog: with on-line serial numbers every started channel places its
// own, and the next batch continues where this one ended.
void ConsoleOperations::StartWithSerialNumbers(Operation op) {
  const bool serial = OnlineSerialNumberOn();
  if (serial && !form_.OnlineSerialFitsChip()) return;
  const int started = RunOnChannels(OperationRequest(op, serial));
  if (serial && started > 0) form_.AdvanceSerialNumber();
}

void ConsoleOperations::AutoSpdBtnClick() {
  if (form_.Panel1) form_.Panel1->setFocus();
  if (!CommandAllowed(true)) return;
  form_.CollectSettings();
  AddMemoLine(st_, ">--------------------------------------------");
  StartWithSerialNumbers(Operation::Auto);
}

namespace {

// The commands that start one operation on every idle, on-line channel: what
// each needs and sets.
struct CommandRow {
  Operation Op;
  bool NeedsFile;
  bool PlacesSerial;                  // on-line serial numbers, when they are on
  std::optional<bool> TimedProgress;  // the timed-progress flag, when the command sets it
};

// clang-format off
constexpr CommandRow CommandRows[] = {
    // operation              needs a file  serial numbers  timed progress
    {Operation::BlankCheck,   false,        false,          std::nullopt},
    {Operation::Erase,        false,        false,          std::nullopt},
    {Operation::Program,      true,         true,           std::nullopt},
    {Operation::Verify,       true,         false,          true},
    {Operation::Protect,      false,        false,          true},
    {Operation::ReadChipId,   false,        false,          true},
    {Operation::ReadChipInfo, false,        false,          true},
    {Operation::WriteInfo,    true,         false,          false},
    {Operation::VerifyInfo,   true,         false,          true},
};
// clang-format on

}  // namespace

void ConsoleOperations::RunCommand(Operation op, const std::function<void(int)>& markIdle) {
  const auto row = std::find_if(std::begin(CommandRows), std::end(CommandRows),
                                [op](const CommandRow& c) { return c.Op == op; });
  if (row == std::end(CommandRows) || !CommandAllowed(row->NeedsFile)) return;
  AddMemoLine(st_, "");
  form_.CollectSettings();
  if (row->TimedProgress) st_.ProgressByTimer = *row->TimedProgress;
  if (row->PlacesSerial) return StartWithSerialNumbers(op);
  RunOnChannels(OperationRequest(op), markIdle);
}

void ConsoleOperations::SpdBtnBlankClick() { RunCommand(Operation::BlankCheck); }
void ConsoleOperations::SpdBtnEraseClick() { RunCommand(Operation::Erase); }
void ConsoleOperations::SpdBtnProgClick() { RunCommand(Operation::Program); }
void ConsoleOperations::SpdBtnVerifyClick() { RunCommand(Operation::Verify); }

void ConsoleOperations::ProtectChip1Click() {
  RunCommand(Operation::Protect,
             [this](int k) { MarkCommandPending(st_, k, StateProtectPending); });
}

void ConsoleOperations::SpeedButtonRDClick() {
  if (!CommandAllowed(false) || !FirstChannelFree()) return;
  form_.CollectSettings();
  AddMemoLine(st_, "");
  LogInfo(st_, "Chip 1 : Read chip all memory......");
  st_.ProgressByTimer = false;
  StartOperation(st_, st_.ChannelNo[0], OperationRequest(Operation::ReadMain));
}

void ConsoleOperations::ReadChipIDInfo1Click() { RunCommand(Operation::ReadChipId); }
void ConsoleOperations::ReadChipInfoMemory1Click() { RunCommand(Operation::ReadChipInfo); }

void ConsoleOperations::WriteChipEepData1Click() {
  RunCommand(Operation::WriteInfo, [this](int k) {
    MarkCommandPending(st_, k, StateInfoWritePending);
    LogInfo(st_, ChannelText("Chip ", k, " : Do chip Info/EEP Data Programming......"));
  });
}

void ConsoleOperations::ReadChipEepData1Click() {
  if (!CommandAllowed(false) || !FirstChannelFree()) return;
  st_.ProgressByTimer = false;
  AddMemoLine(st_, "");
  LogInfo(st_, "Chip 1 : Read Chip OTP Data......");
  form_.CollectSettings();
  StartOperation(st_, st_.ChannelNo[0], OperationRequest(Operation::ReadInfo));
}

void ConsoleOperations::VerifyChipEEPData1Click() { RunCommand(Operation::VerifyInfo); }

// ---- Channels taken over ----

unsigned ConsoleOperations::InterruptBusyChannels() {
  unsigned interrupted = 0;
  for (int k = 0; k < ChannelCount; ++k) {
    if (!st_.ChannelBusy[k]) continue;
    InterruptChannel(st_, k);
    interrupted |= 1u << k;
  }
  return interrupted;
}

bool ConsoleOperations::DownloadRunning() const {
  for (int k = 0; k < ChannelCount; ++k) {
    const uint8_t s = st_.ChannelState[k];
    if (st_.ChannelBusy[k] &&
        (s == StateDownloadConfig || s == StateDownloadMain || s == StateDownloadInfo))
      return true;
  }
  return false;
}

}  // namespace kestra::console
