#include "console/SettingsCore.h"

#include <cstring>

#include "console/Formatted.h"
#include "console/IntText.h"

namespace kestra::console {

namespace {

uint8_t ClockCodeFor(int itemIndex) {
  static constexpr uint8_t Codes[] = {1, 10, 20, 30, 40, 50};
  if (itemIndex >= 0 && itemIndex < static_cast<int>(sizeof Codes)) return Codes[itemIndex];
  return 80;
}

uint8_t WithBit(uint8_t v, uint8_t bit, bool on) {
  return static_cast<uint8_t>(on ? (v | bit) : (v & ~bit));
}

}  // namespace

void CollectSettingsCore(ConsoleState& st, const SettingsInputs& in,
                         std::function<void(const std::string&)> logInfo) {
  link::PacketSettings& s = st.s;
  s.PowerStableTime = static_cast<uint8_t>(in.SpinEditPwr / 10);
  s.ChipInTime = static_cast<uint8_t>(in.SpinEditInTm / 30);
  s.ChipOffTime = static_cast<uint8_t>(in.SpinEditOuTim / 30);
  s.ClockCode = ClockCodeFor(in.ComBoxSpdCLK);
  s.DetectFlags = in.ChkBoxAuDT ? 3 : 0;

  s.PowerFlags = in.RadioGpVolt == 0 ? 0x00 : in.RadioGpVolt == 2 ? 0x10 : 0x04;
  st.ProgramInfoData = in.ChkBoxEep;
  s.PowerFlags = WithBit(s.PowerFlags, 0x08, in.ChkBoxEep);
  if (in.ChkBoxMute) s.PowerFlags |= 0x80;

  if (in.ComBoxSpdCLK == 0)
    s.ProtectFlags = 0;
  else
    s.ProtectFlags &= 0x04;  // the Apollo bit of the previous run is carried over
  st.ProtectAfterVerify = in.ChkBoxProt;
  if (in.ChkBoxProt) {
    std::memset(st.ProtectConfig.get(), 0x00, 16);
    st.ProtectConfig[33] = 0xFE;
    s.ProtectFlags |= 0x81;
  } else {
    s.ProtectFlags = WithBit(s.ProtectFlags, 0x01, false);
  }
  if (s.ChipSeries == '6') s.ProtectFlags |= 0x04;

  s.AfterProgFlags = static_cast<uint8_t>(s.AfterProgFlags & 0xF0);
  if (!in.ChkBoxShutPow) s.AfterProgFlags |= 0x01;
  if (in.ChkBoxStrChip) s.AfterProgFlags |= 0x02;
  if (in.CheckBoxRst) s.AfterProgFlags |= 0x04;
  s.ExtraFlags = 8;
  s.PowerFlags = WithBit(s.PowerFlags, 0x40, in.SNOrderChk);
  s.SnLength = in.ChkBoxSNLen ? 8 : 4;

  s.SnGain = static_cast<uint16_t>(StrToInt(in.GainEdit));
  s.SnStep = static_cast<uint16_t>(s.SnGain * st.DevicesFound);

  if (!in.CheckBoxSN) {
    s.SnEnable = 0;
    s.SnValue = 0;
    s.SnAddr = 0xFFFFFFFF;
    s.SnHigh = 0xFFFFFFFF;
    if (logInfo) logInfo("Serial No function is not used!");
    return;
  }
  s.SnEnable = 15;
  s.SnValue = StrToCardinal(in.SNEdit);
  s.SnAddr = static_cast<uint32_t>(StrToInt(in.AddrEdit));
  s.SnHigh = in.ChkBoxSNLen ? StrToCardinal(in.EditSNHW) : 0xFFFFFFFF;
  if (logInfo) {
    logInfo("Serial No function is used : ");
    logInfo(Formatted("SN Address is 0x%06X,Current SN is 0x%08X.", s.SnAddr, s.SnValue));
  }
}

}  // namespace kestra::console
