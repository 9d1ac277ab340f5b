#include "console/ChannelProgress.h"

#include <QString>

#include "console/Formatted.h"
#include "link/Codes.h"
#include "platform/LocalTime.h"
#include "ui/Memo.h"

namespace kestra::console {

namespace {

struct ResultEntry {
  uint8_t code;
  const char* text;
};

// Device result codes and the codes the console produces itself.
constexpr ResultEntry ResultTable[] = {
    {0x00, "Operation Success!"},
    {0x06, "Operation Success!"},
    {0x07, "No response!"},
    {0x10, "Chip read protected!"},
    {0x13, "Chip read protected"},
    {0x1F, "Chip has been locked!"},
    {0x20, "Data error!"},
    {0x23, "Packet checksum error!"},
    {0x25, "Unknow command!"},
    {0x2A, "Data packet error"},
    {0x2C, "Flash Memory Error!"},
    {0x31, "Data verify error!"},
    {0x34, "Chip checksum error!"},
    {0x36, "Chip type error!"},
    {0x38, "Manufacturing Code error!"},
    {0x40, "Execute time out!"},
    {0x60, "Interfact Error!"},
};

bool ValidChannel(int ch) { return ch >= 0 && ch < ChannelCount; }

}  // namespace

void AddMemoLine(ConsoleState& st, const std::string& Line) {
  if (st.InfoMemoRef) st.InfoMemoRef->Add(QString::fromStdString(Line));
}

void LogInfo(ConsoleState& st, const std::string& Msg) {
  AddMemoLine(st, "> " + platform::LongTimeText() + " " + Msg);
}

void AddChannelLog(ConsoleState& st, int ch, const std::string& Msg) {
  if (!ValidChannel(ch)) return;
  AddMemoLine(st, "> " + platform::LongTimeText() + " Channel " +
                      std::to_string(static_cast<int>(st.ChannelNo[ch]) + 1) + " : " + Msg);
}

std::string ChannelResultText(int ch, uint8_t Code) {
  for (const auto& e : ResultTable)
    if (e.code == Code) return e.text;
  // Channel 1 words other codes with one blank before 0x, the others with two.
  return std::string(ch == 0 ? "Operation error! Error Code = "
                             : "Operation error! Error Code =  ") +
         Formatted("0x%02X", Code);
}

void ShowChannelResult(ConsoleState& st, int ch, uint8_t Code) {
  if (!ValidChannel(ch)) return;
  const std::string text = ChannelResultText(ch, Code);
  if (link::IsSuccess(Code) && st.Hooks.Beep) st.Hooks.Beep();
  if (st.ChannelState[ch] != StateIdle) AddChannelLog(st, ch, text);
}

}  // namespace kestra::console
