#include "console/Operations.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>
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

serial::TComm* ConsoleOperations::Port(int k) {
  serial::TComm* port = st_.CommPorts[k] ? st_.CommPorts[k] : form_.SerComms[k];
  if (st_.Link[k]->Port() != port) st_.Link[k]->SetPort(port);
  return port;
}

bool ConsoleOperations::PortOpen(int k) {
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
    st_.ChannelBusy[k] = 0;
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
    st_.ChannelBusy[k] = 0;
    if (ui::TGauge* g = st_.ChannelGauge[k]) {
      g->setEnabled(false);
      if (!(interrupted & (1u << k))) {  // an interrupted channel stays red
        g->SetProgress(0);
        g->SetForeColor(ui::GaugeBlue);
      }
    }
    ClosePortIfOpen(k);
  }
  link::EnumVirtualComPorts(*form_.ComboBoxCOM, link::NoDeviceTextConsole);
  const int ports = ListedPortsToUse();
  for (int k = 0; k < ports; ++k) {
    st_.OpTimeout[k] = 500;
    st_.DeviceOnline[k] = 0;
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
  for (int k = 0; k < ChannelCount; ++k) {
    if (!st_.ChannelBusy[k]) continue;
    if (st_.OpTimeout[k] > 0) --st_.OpTimeout[k];
    if (st_.ProgressByTimer && form_.Gauges[k])
      form_.Gauges[k]->SetProgress(form_.Gauges[k]->Progress() + 1);
    if (st_.OpTimeout[k] == 0) {
      AddChannelLog(st_, k, "Operation Time Out!");
      EndChannelProgress(st_, k, true);
      MarkAnswerOwed(st_, k);
    }
  }
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
    st_.ResetRx(k);
    st_.ChannelState[k] = StateStandAlone;
    st_.DeviceOnline[k] = 1;
    if (ui::TGauge* g = st_.ChannelGauge[k]) g->SetProgress(0);
    LogInfo(st_, StandAloneNotice);
    serial::TComm* port = Port(k);
    port->CommName = form_.ComboBoxCOM->Item(k);
    port->OpenPort();
    platform::SleepMs(PortSettleMs);
    if (PortOpen(k)) st_.Link[k]->SendRestCommand(link::CmdRestart);
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

bool ConsoleOperations::FirstChannelOnline() {
  if (st_.DeviceOnline[st_.ChannelNo[0]]) return true;
  LogInfo(st_, NoDevice);
  return false;
}

void ConsoleOperations::ForFoundChannels(const std::function<void(int)>& start) {
  // Bounded by the devices that answered, and never beyond the four channels.
  const int last = std::min<int>(st_.DevicesFound, ChannelCount);
  RunOnChannels(last, start);
}

void ConsoleOperations::RunOnChannels(int count, const std::function<void(int)>& start,
                                      const std::function<void(int)>& markEvery) {
  int started = 0;
  for (int k = 0; k < count; ++k) {
    if (markEvery) markEvery(k);
    if (st_.ChannelBusy[k] || !st_.DeviceOnline[k]) continue;
    StartOnChannel(k, start);
    ++started;
  }
  if (started == 0) LogInfo(st_, NoDevice);
}

void ConsoleOperations::SpdBtnDownLoadClick() {
  if (!CommandAllowed(true)) return;
  form_.CollectSettings();
  st_.ProgressByTimer = false;
  const link::ConfigTexts texts{
      form_.MCUNameEdit->text().toStdString(), form_.ProductEdit->text().toStdString(),
      form_.VerEdit->text().toStdString(), form_.DateEdit->text().toStdString()};
  ForFoundChannels([=, this](int k) {
    st_.ResetRx(k);
    st_.ChannelState[k] = StateDownloadConfig;
    LogInfo(st_, ChannelText("Programmer ", k, " : Start to download data......"));
    StartChannelProgress(st_, k, 500, true);
    Port(k);
    st_.Link[k]->SendConfigPacket(link::CmdDownloadConfig,
                                  static_cast<uint16_t>(st_.Random.Random(0xFFFF)), texts);
  });
}

bool ConsoleOperations::OnlineSerialNumberOn() const {
  return form_.CheckBoxSN && form_.ChkBoxPCSN && form_.CheckBoxSN->isChecked() &&
         form_.ChkBoxPCSN->isChecked();
}

bool ConsoleOperations::PrepareOnlineSerialNumber() {
  if (!OnlineSerialNumberOn()) {
    form_.TakeBackOnlineSerialNumber();
    return true;
  }
  if (!form_.OnlineSerialFitsChip()) return false;
  form_.PlaceOnlineSerialNumber();
  return true;
}

void ConsoleOperations::AutoSpdBtnClick() {
  if (form_.Panel1) form_.Panel1->setFocus();
  if (!CommandAllowed(true)) return;
  form_.CollectSettings();
  AddMemoLine(st_, ">--------------------------------------------");
  if (!PrepareOnlineSerialNumber()) return;
  ForFoundChannels([=, this](int k) {
    st_.ResetRx(k);
    st_.AutoMode[k] = 1;
    LogInfo(st_,
            ChannelText("Chip ", k, " : Start Auto-Programming, do chip blank checking......"));
    Port(k);
    StartBlankCheck(st_, k);
  });
}

void ConsoleOperations::ManualOnFound(bool needsFile, void (*starter)(ConsoleState&, int),
                                      bool placeSerial, int timerFlag) {
  if (!CommandAllowed(needsFile)) return;
  AddMemoLine(st_, "");
  form_.CollectSettings();
  if (placeSerial && !PrepareOnlineSerialNumber()) return;
  if (timerFlag >= 0) st_.ProgressByTimer = timerFlag != 0;
  ForFoundChannels([=, this](int k) {
    st_.ResetRx(k);
    st_.AutoMode[k] = 0;
    Port(k);
    starter(st_, k);
  });
}

void ConsoleOperations::SpdBtnBlankClick() { ManualOnFound(false, StartBlankCheck, false, -1); }
void ConsoleOperations::SpdBtnEraseClick() { ManualOnFound(false, StartErase, false, -1); }
void ConsoleOperations::SpdBtnProgClick() { ManualOnFound(true, StartProgramMain, true, -1); }
void ConsoleOperations::SpdBtnVerifyClick() { ManualOnFound(true, StartVerifyMain, false, 1); }

void ConsoleOperations::ProtectChip1Click() {
  if (!CommandAllowed(false)) return;
  AddMemoLine(st_, "");
  form_.CollectSettings();
  st_.ProgressByTimer = true;
  RunOnChannels(
      ChannelCount,
      [=, this](int k) {
        Port(k);
        StartWriteProtection(st_, k);
      },
      [&](int k) {
        st_.ResetRx(k);
        st_.ChannelState[k] = StateProtectPending;
        st_.OpTimeout[k] = 500;
        st_.AutoMode[k] = 0;
      });
}

void ConsoleOperations::SpeedButtonRDClick() {
  if (!CommandAllowed(false) || !FirstChannelFree()) return;
  const int c = st_.ChannelNo[0];
  if (IdentifyFirst(c, [this] { SpeedButtonRDClick(); })) return;
  form_.CollectSettings();
  AddMemoLine(st_, "");
  LogInfo(st_, "Chip 1 : Read chip all memory......");
  st_.ProgressByTimer = false;
  st_.AutoMode[c] = 0;
  st_.ChannelState[c] = StateReadMain;
  st_.ResetRx(c);
  st_.ReadRetries.fill(ReadSendsPerBlock);
  StartChannelProgress(st_, c, 500, true);
  Port(c);
  st_.Link[c]->SendParamCommand(link::CmdReadMain, st_.BlockCounter[c]);
}

void ConsoleOperations::ChipReadOnAll(uint8_t state, const char* text, uint8_t sub) {
  if (!CommandAllowed(false)) return;
  AddMemoLine(st_, "");
  form_.CollectSettings();
  st_.ProgressByTimer = true;
  RunOnChannels(ChannelCount, [=, this](int k) {
    st_.ResetRx(k);
    st_.AutoMode[k] = 0;
    st_.ChannelState[k] = state;
    LogInfo(st_, ChannelText("Chip ", k, text));
    StartChannelProgress(st_, k, 200, false);
    Port(k);
    st_.Link[k]->SendParamCommand(link::CmdChipOperation, sub);
  });
}

void ConsoleOperations::ReadChipIDInfo1Click() {
  ChipReadOnAll(StateReadChipId, " : Read Chip ID data......", link::SubReadChipId);
}

void ConsoleOperations::ReadChipInfoMemory1Click() {
  ChipReadOnAll(StateReadChipInfo, " : Read Chip Info Memory......", link::SubReadChipInfo);
}

void ConsoleOperations::WriteChipEepData1Click() {
  if (!CommandAllowed(true)) return;
  AddMemoLine(st_, "");
  form_.CollectSettings();
  st_.ProgressByTimer = false;
  RunOnChannels(
      ChannelCount,
      [=, this](int k) {
        Port(k);
        StartWriteInfo(st_, k);
      },
      [&](int k) {
        st_.ChannelState[k] = StateInfoWritePending;
        st_.ResetRx(k);
        st_.OpTimeout[k] = 500;
        st_.AutoMode[k] = 0;
        LogInfo(st_, ChannelText("Chip ", k, " : Do chip Info/EEP Data Programming......"));
      });
}

void ConsoleOperations::ReadChipEepData1Click() {
  if (!CommandAllowed(false) || !FirstChannelFree()) return;
  const int c = st_.ChannelNo[0];
  if (IdentifyFirst(c, [this] { ReadChipEepData1Click(); })) return;
  st_.ChannelState[c] = StateReadInfo;
  st_.ResetRx(c);
  st_.ProgressByTimer = false;
  st_.AutoMode[c] = 0;
  AddMemoLine(st_, "");
  LogInfo(st_, "Chip 1 : Read Chip OTP Data......");
  form_.CollectSettings();
  StartChannelProgress(st_, c, 300, st_.s.InfoMemSize >= 1024);
  st_.TransferSizeKB[c] = static_cast<uint16_t>((st_.s.InfoMemSize + 1023u) / 1024u);
  if (ui::TGauge* g = st_.ChannelGauge[c]) g->SetMaxValue(st_.TransferSizeKB[c]);
  Port(c);
  st_.Link[c]->SendParamCommand(link::CmdReadInfo, 0);
}

void ConsoleOperations::VerifyChipEEPData1Click() {
  if (!CommandAllowed(true)) return;
  AddMemoLine(st_, "");
  form_.CollectSettings();
  st_.ProgressByTimer = true;
  RunOnChannels(ChannelCount, [=, this](int k) {
    st_.ResetRx(k);
    st_.AutoMode[k] = 0;
    Port(k);
    StartVerifyInfo(st_, k);
  });
}

// ---- Channels owed an answer, channels taken over ----

void ConsoleOperations::StartOnChannel(int k, const std::function<void(int)>& start) {
  Port(k);
  StartWhenIdentified(st_, k, [start, k] { start(k); });
}

bool ConsoleOperations::IdentifyFirst(int c, std::function<void()> command) {
  if (!st_.NeedsIdent[c]) return false;
  Port(c);
  StartWhenIdentified(st_, c, std::move(command));
  return true;
}

// The first-channel commands do not start while that channel is busy.
bool ConsoleOperations::FirstChannelFree() {
  if (!FirstChannelOnline()) return false;
  if (!st_.ChannelBusy[st_.ChannelNo[0]]) return true;
  LogInfo(st_, NoDevice);
  return false;
}

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
