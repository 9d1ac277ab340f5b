#include "console/ChipInfoDisplay.h"

#include <cstdio>
#include <string>

#include "console/ChannelProgress.h"

namespace kestra::console {

namespace {

// Count bytes from p, each as two upper-case hex digits and a blank.
std::string HexBytes(const uint8_t* p, int count) {
  std::string out;
  out.reserve(static_cast<std::size_t>(count) * 3);
  char cell[4];
  for (int i = 0; i < count; ++i) {
    std::snprintf(cell, sizeof cell, "%02X ", p[i]);
    out += cell;
  }
  return out;
}

std::string Formatted(const char* fmt, unsigned a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

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
  char last[64];
  std::snprintf(last, sizeof last, "  IMAKS=0x%02X, SECLEVEL=0x%02X.", r[8 + 0x840], r[8 + 0x841]);
  AddMemoLine(st, last);
  AddMemoLine(st, "");
}

}  // namespace kestra::console
