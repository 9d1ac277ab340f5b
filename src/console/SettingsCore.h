// The display-free part of CollectSettings: the option control values as read
// from the main window, copied into the console's settings in a fixed order.
#pragma once

#include <functional>
#include <string>

#include "console/ConsoleState.h"

namespace kestra::console {

// One field per control value that CollectSettings reads (defaults as the
// controls' design-time defaults where they matter).
struct SettingsInputs {
  int SpinEditPwr = 50;     // power-on settle time, ms
  int SpinEditInTm = 510;   // chip insertion time, ms
  int SpinEditOuTim = 510;  // chip removal time, ms
  int ComBoxSpdCLK = 0;     // ItemIndex; -1 when no item is selected
  bool ChkBoxAuDT = false;
  int RadioGpVolt = 0;  // ItemIndex: 0 "3.3V", 1 "5.0V", 2 "1.8V"
  bool ChkBoxEep = false;
  bool ChkBoxMute = false;
  bool ChkBoxProt = false;
  bool ChkBoxShutPow = false;
  bool ChkBoxStrChip = false;
  bool CheckBoxRst = false;
  bool SNOrderChk = false;
  bool ChkBoxSNLen = false;
  std::string GainEdit = "0x01";
  bool CheckBoxSN = false;
  std::string SNEdit = "0x00000000";
  std::string AddrEdit = "0x0000FFF0";
  std::string EditSNHW = "0x00000000";
};

// Copies the inputs into st's settings (DevicesFound taken from st) and writes
// the serial-number log lines through logInfo. Raises EConvertError on a bad
// integer text: settings converted before it keep their new values, later ones
// their old values.
void CollectSettingsCore(ConsoleState& st, const SettingsInputs& in,
                         std::function<void(const std::string&)> logInfo);

}  // namespace kestra::console
