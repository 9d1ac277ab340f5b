// The console's runtime and operation commands: device search, the serial
// events of every channel (received data goes to the receive path), the 10 ms
// tick, lost ports, stand-alone production, the exit log and the thirteen chip
// commands, which check what they need, collect the settings and start their
// operation on each channel through the channel machine. The main window
// forwards its handlers here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "console/ChannelJob.h"
#include "console/ConsoleState.h"

namespace kestra::console {

class TProgramArmFrm;
}  // namespace kestra::console
namespace kestra::serial {
class TComm;
}
namespace kestra::console {

class ConsoleOperations {
 public:
  ConsoleOperations(TProgramArmFrm& form, ConsoleState& st);
  ~ConsoleOperations();

  // Runtime.
  void BitBtnFreshClick();
  void BitBtnFindCOMClick();
  void Timer1Timer();
  void SerCommReceiveData(int k, const uint8_t* Buffer, uint16_t BufferLength);
  void SerCommRequestHangup(int k);
  void SpdBtnStartPrgClick();
  void FormKeyPress(int key);  // Space (32) or Enter (13) run Auto
  void FormClose();            // close every open port, write the exit log

  // Commands.
  void SpdBtnDownLoadClick();
  void AutoSpdBtnClick();
  void SpdBtnBlankClick();
  void SpdBtnEraseClick();
  void SpdBtnProgClick();
  void SpdBtnVerifyClick();
  void ProtectChip1Click();
  void SpeedButtonRDClick();
  void ReadChipIDInfo1Click();
  void ReadChipInfoMemory1Click();
  void WriteChipEepData1Click();
  void ReadChipEepData1Click();
  void VerifyChipEEPData1Click();

  // The exit log's file: StartupDir + "/EPS_" + date + "_" + time + ".log".
  std::string ExitLogPath() const;

 private:
  serial::TComm* Port(int k) const;  // channel k's component
  bool PortOpen(int k) const;
  void ClosePortIfOpen(int k);
  int ListedPortsToUse() const;  // the first four listed ports at most
  bool CommandAllowed(bool needsFile);
  bool FirstChannelFree();           // on-line and not busy, else says why
  unsigned InterruptBusyChannels();  // bit k: channel k was interrupted
  bool DownloadRunning() const;
  bool OnlineSerialNumberOn() const;
  // Starts request on each idle, on-line channel of the four; markIdle, when
  // given, runs first for every channel that runs nothing. Logs the no-device
  // note when none started; the number started.
  int RunOnChannels(const OperationRequest& request, const std::function<void(int)>& markIdle = {});
  void StartWithSerialNumbers(Operation op);
  // The commands of the table in Operations.cpp: checks, settings, start.
  void RunCommand(Operation op, const std::function<void(int)>& markIdle = {});

  TProgramArmFrm& form_;
  ConsoleState& st_;
};

}  // namespace kestra::console
