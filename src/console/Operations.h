// The console's runtime and operation commands: device search, the receive
// path of every channel, the 10 ms tick, lost ports, stand-alone production,
// the exit log and the thirteen chip commands. The main window forwards its
// handlers here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
  serial::TComm* Port(int k);  // channel k's component, bound to its link
  bool PortOpen(int k);
  void ClosePortIfOpen(int k);
  int ListedPortsToUse() const;  // the first four listed ports at most
  bool CommandAllowed(bool needsFile);
  bool FirstChannelOnline();
  bool FirstChannelFree();  // on-line and not busy
  // Starts start(k) on channel k, after it identified again when it may
  // still be owed an answer.
  void StartOnChannel(int k, const std::function<void(int)>& start);
  // True when first channel c identifies again first; command runs after.
  bool IdentifyFirst(int c, std::function<void()> command);
  unsigned InterruptBusyChannels();  // bit k: channel k was interrupted
  bool DownloadRunning() const;
  bool OnlineSerialNumberOn() const;
  // Before Auto and Prog: places the on-line serial number (false, nothing
  // placed, when it does not fit the chip), or takes back a placed one when
  // on-line serial numbers are off.
  bool PrepareOnlineSerialNumber();
  // Starts each idle, on-line channel below count (through StartOnChannel);
  // markEvery, when given, runs first for every channel whatever its state.
  // Logs the no-device note when none started.
  void RunOnChannels(int count, const std::function<void(int)>& start,
                     const std::function<void(int)>& markEvery = {});
  void ForFoundChannels(const std::function<void(int)>& start);
  void ManualOnFound(bool needsFile, void (*starter)(ConsoleState&, int), bool placeSerial,
                     int timerFlag);
  void ChipReadOnAll(uint8_t state, const char* text, uint8_t sub);

  TProgramArmFrm& form_;
  ConsoleState& st_;
};

}  // namespace kestra::console
