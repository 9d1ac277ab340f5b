#include "console/ChipInfoDisplay.h"

#include <string>

#include "console/ChannelProgress.h"
#include "console/Formatted.h"

namespace kestra::console {

namespace {

const uint8_t* Reply(ConsoleState& st, int Channel) { return st.PacketBuf(Channel - 1); }

}  // namespace

void ShowChipInfoMemory(ConsoleState& st, int Channel) {
  const uint8_t* r = Reply(st, Channel);
  const std::string chip = std::to_string(Channel);
  const bool spaced = Channel != 4;
  if (spaced) AddMemoLine(st, "");
  AddMemoLine(st, "     Read Chip " + chip + " UID : " + HexBytes(r + 12, 8));
  if (spaced) AddMemoLine(st, "");
  AddMemoLine(st, " Read Chip " + chip + " Information Memory Is Below : ");
  for (unsigned row = 0; row < 16; ++row)
    AddMemoLine(st, Formatted("  0x400200%02X : ", 16 * row) + HexBytes(r + 8 + 16 * row, 16));
}

void ShowChipSecurity(ConsoleState& st, int Channel) {
  const uint8_t* r = Reply(st, Channel);
  const std::string chip = std::to_string(Channel);
  AddMemoLine(st, "  Read Chip " + chip + " UID : " + HexBytes(r + 8, 12));
  for (unsigned row = 0; row < 8; ++row)
    AddMemoLine(st, "  0x0010" + Formatted("%04X: ", 0x400 + 16 * row) +
                        HexBytes(r + 8 + 0x400 + 16 * row, 16));
  AddMemoLine(st, "  RMASK Is : " + HexBytes(r + 8 + 0x800, 16));
  AddMemoLine(st, "  WMASK Is : " + HexBytes(r + 8 + 0x820, 16));
  AddMemoLine(st, Formatted("  IMAKS=0x%02X, SECLEVEL=0x%02X.", r[8 + 0x840], r[8 + 0x841]));
  AddMemoLine(st, "");
}

}  // namespace kestra::console
