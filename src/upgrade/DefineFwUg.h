// The upgrade tool's protocol: its state, the three packets it sends, the
// scrambling of each firmware block, its own frame decoder, the handling of
// identification and command replies, the verify rule and the result texts.
//
// Everything runs on the GUI thread. The protocol drives the window through
// FwUgWindowLinks (the memo, the gauge, the port's send and the device-found
// step), so it runs in tests without a window.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "link/Codes.h"

class QWidget;

namespace kestra::ui {
class TGauge;
class TMemo;
}  // namespace kestra::ui

namespace kestra::upgrade {

// OpState values. OpReidentify: the programmer, which may still owe an answer,
// is identified again before the operation in PendingOp starts.
inline constexpr uint8_t OpIdle = 0;
inline constexpr uint8_t OpReidentify = 1;
inline constexpr uint8_t OpVerify = 3;
inline constexpr uint8_t OpUpgrade = 5;

// Block scrambling constants.
inline constexpr uint8_t FwKeyConst = 0x6D;
inline constexpr uint8_t FwEvenMask = 0xA7;
inline constexpr uint8_t FwOddMask = 0x52;

// How long an operation waits for each reply (a block's acknowledgement, the
// verify reply, the identification that opens an operation).
inline constexpr int FwReplyTimeoutMs = 3000;

// Packet sizes.
inline constexpr std::size_t FwCommandLen = 10;
inline constexpr std::size_t FwBlockPacketLen = 8 + 2048 + 2;  // 2058
inline constexpr std::size_t FwPacketBufSize = 4004;
inline constexpr std::size_t FwRxBufSize = 15360;
// Worst case of a framed block packet: every byte escaped, two FrameEnd bytes
// and the five-byte trailer (a 4004-byte buffer would be overrun by a block
// holding many 0xC0 / 0xDB bytes).
inline constexpr std::size_t FwTxFrameSize = 2 * FwBlockPacketLen + 7;  // 4123

// The tool's program-wide state, zero at start.
struct FwUgState {
  uint16_t ExpCheckSum2 = 0;
  uint16_t ExpCheckSum1 = 0;
  uint16_t FwStartAddr = 0;
  uint16_t FwEndAddr = 0;
  uint8_t OpState = OpIdle;
  uint16_t FwRxLen = 0;
  uint16_t CurBlockAddr = 0;
  uint16_t EndAddrCopy = 0;
  uint8_t DeviceIdentified = 0;
  // A firmware block was sent and its reply has not come yet. At most one
  // block is ever in flight, and only its reply advances the upgrade.
  bool BlockInFlight = false;
  // A command went unanswered within the time-out: the programmer may still
  // answer it, so no reply is taken for granted until it identifies again.
  bool AnswerOwed = false;
  uint8_t PendingOp = OpIdle;  // the operation that starts once identified
  uint8_t FwPacketBuf[FwPacketBufSize] = {};
  uint8_t FwRxBuf[FwRxBufSize] = {};
  uint8_t FwTxFrame[FwTxFrameSize] = {};
};

// What the protocol drives in the window.
struct FwUgWindowLinks {
  ui::TMemo* InfoMemo = nullptr;
  ui::TGauge* ProgressBar1 = nullptr;
  QWidget* DialogParent = nullptr;  // parent of the result boxes
  // TComm::SendData of the tool's port (its result is not examined).
  std::function<bool(const uint8_t* data, uint16_t size)> SendData;
  // A device identified with this text: enable the actions, name the device.
  std::function<void(const QString& ident)> DeviceFound;
  // (Re)starts the reply time-out of FwReplyTimeoutMs, which then calls
  // FwUgProtocol::ReplyTimedOut; stops it.
  std::function<void()> ArmReplyTimer;
  std::function<void()> StopReplyTimer;
};

// The result text of a code.
QString FwResultText(uint8_t code);

// Texts of an operation that ends, or does not start, without a device reply:
// the port went away, Find or Refresh took the port over, no device found,
// no reply within the time-out. FwReidentifyText: the memo line of an
// identification ahead of an operation.
QString FwPortLostText();
QString FwInterruptedText();
QString FwNoDeviceText();
QString FwNoReplyText();
QString FwReidentifyText();

// True when the first Len bytes of Buf hold a FrameEnd and, after it, another.
bool HasCompleteFrame(const uint8_t* Buf, uint16_t Len);

// Un-escapes the first frame of Raw[0..RawLen-1] into Pkt (capacity PktCap).
// 0: a packet of at least 8 bytes, OutLen its length. ResPacketFormat: a bad
// escape, a frame shorter than 8 bytes, or a frame longer than PktCap (its
// bytes beyond the capacity are not stored); the bytes through the closing
// FrameEnd, or through the bad escape, are removed from Raw. ResDataError: no
// closing FrameEnd; Raw, RawLen and OutLen are left as they were.
uint8_t DecodeFwFrame(uint8_t* Raw, uint8_t* Pkt, std::size_t PktCap, uint16_t& OutLen,
                      uint16_t& RawLen);

// The first frame of Raw that decodes, as DecodeFwFrame gives it. A frame that
// closes but does not decode is no frame: its closing FrameEnd may just as well
// open the next one (a frame cut short ends on the opening of the reply after
// it), so the search goes on from that byte while a whole frame is left.
// ResPacketFormat when none decodes.
uint8_t DecodeFwReply(uint8_t* Raw, uint8_t* Pkt, std::size_t PktCap, uint16_t& OutLen,
                      uint16_t& RawLen);

class FwUgProtocol {
 public:
  FwUgProtocol(FwUgState& state, FwUgWindowLinks links);

  FwUgState& State() { return s_; }

  void AddInfoLine(const QString& Text);
  void StartProgress(uint16_t Progress, uint16_t Max);
  void StopOperation(uint8_t Code);
  bool SendCommand(uint8_t Code, uint16_t Param);  // false: the port did not take it
  void SendFirmwareBlock(uint8_t Code, uint16_t Addr, uint8_t EndLo);
  void HandleIdentifyReply(uint16_t& RawLen);
  void HandleCommandReply(uint16_t& RawLen);
  void CheckVerifyResult();
  void NextFirmwareBlock(uint8_t Code);
  void ShowResult(uint8_t Code);

  // The starts of the two operations (the window's Upgrade and Verify). One
  // operation runs at a time: while one runs, a start is ignored (false) and
  // the running one goes on. A start whose packet the port does not take ends
  // at once with FwPortLostText. While an answer is owed, the operation first
  // identifies the programmer (OpReidentify) and starts on its identification.
  bool StartUpgrade();
  bool StartVerify();

  // The reply time-out expired: the operation ends with FwNoReplyText, and
  // the programmer is taken to owe an answer.
  void ReplyTimedOut();

  // Ends the running operation (if any) as a failure that no reply reported:
  // a red full bar, Text in an error box and in the memo.
  void AbortOperation(const QString& Text);
  // An operation that does not start: Text in an error box and in the memo.
  void RefuseOperation(const QString& Text);

 private:
  bool SendPacket(uint16_t len);
  void ShowText(bool success, const QString& text);
  void SendNextBlockOrAbort();
  bool TakeIdentReply(uint16_t Len);
  bool TakeCommandReply(uint16_t Len);
  bool Start(uint8_t Op);
  void Begin(uint8_t Op);
  void Reidentify(uint8_t Op);
  void BeginUpgrade();
  void BeginVerify();
  void ArmReplyTimer();
  void StopReplyTimer();

  FwUgState& s_;
  FwUgWindowLinks links_;
};

}  // namespace kestra::upgrade
