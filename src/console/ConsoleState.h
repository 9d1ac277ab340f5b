// The console's program-wide state: chip parameters, collected settings,
// checksums, run state, the four channels' tables and buffers and the data
// images. One object per console instance; every console module works on it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/Frame.h"
#include "link/Packets.h"

namespace kestra::serial {
class TComm;
}
namespace kestra::ui {
class TGauge;
class TMemo;
}  // namespace kestra::ui

namespace kestra::console {

inline constexpr int ChannelCount = 4;

// Channel states (the operation in progress; selects the reply handler).
inline constexpr uint8_t StateDownloadConfig = 0;
inline constexpr uint8_t StateDownloadMain = 5;
inline constexpr uint8_t StateDownloadInfo = 10;
inline constexpr uint8_t StateProtectPending = 13;  // stored by Protect ahead of its starter
inline constexpr uint8_t StateBlankCheck = 19;
inline constexpr uint8_t StateErase = 21;
inline constexpr uint8_t StateProgram = 22;
inline constexpr uint8_t StateInfoWritePending = 23;  // stored by Write Info ahead of its starter
inline constexpr uint8_t StateVerify = 26;
inline constexpr uint8_t StateProtectWrite = 29;
inline constexpr uint8_t StateReadMain = 32;
inline constexpr uint8_t StateReadChipId = 35;
inline constexpr uint8_t StateReadChipInfo = 37;
inline constexpr uint8_t StateInfoWrite = 51;
inline constexpr uint8_t StateReadInfo = 53;
inline constexpr uint8_t StateVerifyInfo = 58;
inline constexpr uint8_t StateReidentify = 61;  // identifying again ahead of a command
inline constexpr uint8_t StateIdle = 80;
inline constexpr uint8_t StateStandAlone = 240;

// The few window parts that the channel routines touch, set by the main
// window (tests may set their own). Unset hooks do nothing.
struct WindowHooks {
  std::function<void(int)> ShowViewPage;                        // ViewPageCtrl tab index
  std::function<void(const std::string&)> SetInfoPanel;         // InfoPanel caption
  std::function<void(int, const std::string&)> SetStatusPanel;  // StatusBar1 panel text
  std::function<void()> ShowImageSummary;
  std::function<void()> ShowInfoData;
  std::function<void()> Beep;
};

struct ConsoleState {
  ConsoleState();

  WindowHooks Hooks;

  // Chip parameters and collected settings, as the packets carry them
  // (ChipSeries .. ConfigOptionByte).
  link::PacketSettings s;

  // Chip parameters the packets do not carry.
  uint8_t ChipSelected = 0;
  uint32_t ChipEndAddr = 0;
  uint32_t ImageBaseAddr = 0;
  std::string ChipName;

  // Settings the packets do not carry.
  bool ProgramInfoData = false;
  bool ProtectAfterVerify = false;

  // Run state.
  uint8_t FileLoaded = 0;
  // A load failed since the last fresh Load: the image may hold part of that
  // file, and later loads leave FileLoaded as it is until a fresh Load.
  bool PartialImage = false;
  uint8_t DevicesFound = 0;
  uint8_t ChannelsMapped = 0;
  bool ProgressByTimer = false;
  uint32_t BinFileOffset = 0;
  uint32_t FileStartAddr = 0;
  uint32_t FileEndAddr = 0;
  int32_t OnlineCounter = 0;
  std::array<uint32_t, ChannelCount> ChannelOkCount{};
  std::array<uint32_t, ChannelCount> ChannelNgCount{};
  uint32_t TotalOkCount = 0;
  uint32_t TotalNgCount = 0;
  uint32_t LogSaveCounter = 0;
  ui::TMemo* InfoMemoRef = nullptr;
  std::string StartupDir;

  // Per-channel tables, index 0..3 for channels 1..4.
  std::array<uint8_t, ChannelCount> ChannelNo{0, 1, 2, 3};
  std::array<uint16_t, ChannelCount> OpTimeout{};
  std::array<uint8_t, ChannelCount> ChannelState{StateIdle, StateIdle, StateIdle, StateIdle};
  std::array<uint16_t, ChannelCount> TransferSizeKB{};
  std::array<uint16_t, ChannelCount> BlockCounter{};
  std::array<ui::TGauge*, ChannelCount> ChannelGauge{};
  std::array<serial::TComm*, ChannelCount> CommPorts{};
  std::array<uint8_t, ChannelCount> DeviceOnline{};
  std::array<uint8_t, ChannelCount> AutoMode{};
  std::array<uint8_t, ChannelCount> ChannelBusy{};
  std::array<uint8_t, ChannelCount> ReadRetries{};
  // A channel whose operation ended before the device answered it may still
  // be owed that answer: it identifies again before its next command. The
  // device answers in order, so every reply ahead of the answer to the last
  // identification sent is dropped; then the waiting start runs.
  std::array<uint8_t, ChannelCount> NeedsIdent{};
  std::array<uint8_t, ChannelCount> IdentsOwed{};  // identification replies still to come
  std::array<std::function<void()>, ChannelCount> AfterIdent;

  // Data buffers (heap: the images are large).
  std::unique_ptr<uint8_t[]> ImageBuffer;    // link::ImageBufferSize bytes
  std::unique_ptr<uint8_t[]> InfoBuffer;     // link::InfoBufferSize bytes
  std::unique_ptr<uint8_t[]> ProtectConfig;  // link::ProtectConfigSize bytes
  std::array<std::unique_ptr<link::ChannelBuffers>, ChannelCount> Buffers;

  // The blocks of the main read-out in progress: ImageBuffer takes them only
  // when the last block has come. Empty (released) between read-outs.
  std::vector<uint8_t> ReadOutBytes;

  // The on-line serial number last placed into ImageBuffer and the image
  // bytes it replaced there.
  struct SerialPlacement {
    bool Placed = false;
    uint32_t Addr = 0;
    uint8_t Length = 0;
    std::array<uint8_t, 8> Replaced{};
  };
  SerialPlacement PlacedSerial;
  // Puts back the bytes the last placement replaced and forgets it; false
  // when no placement was held.
  bool RestorePlacedSerial();

  // The program's pseudo-random generator.
  link::RandomSource Random;

  // The link routines of each channel, bound to the buffers above.
  std::array<std::unique_ptr<link::LinkChannel>, ChannelCount> Link;

  // RxCount lives in the channel buffers.
  uint16_t RxCount(int ch) const { return Buffers[ch]->RxCount; }
  // Forgets the received bytes of channel ch not yet framed.
  void ResetRx(int ch) { Buffers[ch]->ResetRx(); }
  uint8_t* PacketBuf(int ch) { return Buffers[ch]->PacketBuf; }
};

}  // namespace kestra::console
