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

#include "console/DataImage.h"
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
inline constexpr uint8_t StateReidentify =
    61;  // identifying the device again ahead of an operation
inline constexpr uint8_t StateIdle = 80;
inline constexpr uint8_t StateStandAlone = 240;

// The operations a command starts on a channel.
enum class Operation : uint8_t {
  Download,
  Auto,
  BlankCheck,
  Erase,
  Program,
  Verify,
  Protect,
  ReadMain,
  ReadChipId,
  ReadChipInfo,
  WriteInfo,
  ReadInfo,
  VerifyInfo,
};

// What one channel's operation sends, fixed when the operation starts and kept
// until it ends, whatever the operator or another channel changes meanwhile:
// the settings and chip parameters with the image checksums, the info and
// protection choices, the data images as they were, the protection data and
// the channel's own serial number.
struct ChannelJob {
  bool Open = false;  // an operation holds the job
  Operation Op = Operation::BlankCheck;
  link::PacketSettings s;  // ImageSum and ImageCrc: of the image with the serial number
  bool ProgramInfoData = false;
  bool ProtectAfterVerify = false;
  uint32_t ImageBaseAddr = 0;
  DataImage::Snapshot Image;
  DataImage::Snapshot Info;
  std::array<uint8_t, 64> Protect{};
  link::SerialOverlay Serial;
  link::ConfigTexts Texts;  // Download's text fields
};

// Whether a channel's device may still owe it an answer. A reply counts for
// the running operation only while the channel owes nothing older:
//   Clear        every command sent has been answered, or the device was found
//                afresh;
//   Owed         an answer may still come: the last operation ended on a
//                time-out or an interruption, or a REST went out (answered or
//                not);
//   Identifying  an operation waits for the device to identify again: a search
//                is out, every other reply is dropped, and the identification
//                runs the operation's first step.
// Clear -> Owed: a time-out, an interruption, a REST. Owed -> Identifying: an
// operation starts. Identifying -> Clear: the identification came (its first
// step runs). Identifying -> Owed: the operation ended first (time-out,
// interruption, the window closing); nothing waits any more. Any -> Clear: the
// device identified in a search (Find Device). An identification that nothing
// waits for answers no command and is dropped wherever it arrives.
enum class AnswerGate : uint8_t { Clear, Owed, Identifying };

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
  std::array<AnswerGate, ChannelCount> Gate{};
  std::array<ChannelJob, ChannelCount> Jobs;

  // Data buffers (heap: the images are large).
  DataImage ImageBuffer{link::ImageBufferSize};
  DataImage InfoBuffer{link::InfoBufferSize};
  std::unique_ptr<uint8_t[]> ProtectConfig;  // link::ProtectConfigSize bytes
  std::array<std::unique_ptr<link::ChannelBuffers>, ChannelCount> Buffers;

  // Each channel's receive routine runs once at a time: bytes that come while
  // it runs (something in a handler let the event loop run) wait here, and the
  // running routine takes them after the ones it has.
  std::array<bool, ChannelCount> RxRunning{};
  std::array<std::vector<uint8_t>, ChannelCount> RxArrived;

  // The blocks of the main or info read-out in progress (the two never run at
  // once): ImageBuffer or InfoBuffer takes them only when the last block has
  // come. Empty (released) between read-outs.
  std::vector<uint8_t> ReadOutBytes;

  // The program's pseudo-random generator.
  link::RandomSource Random;

  // The link routines of each channel, bound to the buffers above. While no
  // operation runs, a channel's packets carry the settings as collected last
  // and no image or info data (only a job keeps those alive).
  std::array<std::unique_ptr<link::LinkChannel>, ChannelCount> Link;
  link::PacketSource IdleSource() const;

  // RxCount lives in the channel buffers.
  uint16_t RxCount(int ch) const { return Buffers[ch]->RxCount; }
  // Forgets the received bytes of channel ch not yet framed.
  void ResetRx(int ch) { Buffers[ch]->ResetRx(); }
  uint8_t* PacketBuf(int ch) { return Buffers[ch]->PacketBuf; }
};

}  // namespace kestra::console
