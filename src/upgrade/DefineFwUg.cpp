#include "upgrade/DefineFwUg.h"

#include <QGuiApplication>
#include <cstring>

#include "link/ByteOrder.h"
#include "link/Frame.h"
#include "ui/Dialogs.h"
#include "ui/Gauge.h"
#include "ui/Memo.h"
#include "upgrade/FirmwareImage.h"

namespace kestra::upgrade {

namespace {

// The verify reply's four check words: little-endian at [8], [10], [24], [26].
constexpr std::size_t VerifyWordsFirst = 8;
constexpr std::size_t VerifyWordsBytes = 28 - VerifyWordsFirst;

// The colour code of an operation that ends without a device reply.
constexpr uint8_t NoReplyFailure = 0xFF;

// True when the decoded reply Pkt[0..Len-1] identifies a programmer that the
// tool upgrades ("KestraGangB7" is tested first); Text, when given, receives
// its text.
bool IsProgrammerIdent(const uint8_t* Pkt, uint16_t Len, std::string* Text) {
  return link::IdentifiesAs(Pkt, Len, "KestraGangB7", Text) ||
         link::IdentifiesAs(Pkt, Len, "KestraGangA4", Text);
}

}  // namespace

QString FwResultText(uint8_t code) {
  switch (code) {
    case link::ResSuccess:
      return QStringLiteral("操作成功！");
    case link::ResPacketChecksum:
      return QStringLiteral("数据包校验和不正确！");
    case link::ResUnknownCommand:
      return QStringLiteral("命令不正确或不认识");
    case link::ResPacketFormat:
      return QStringLiteral("数据包格式不对！");
    case link::ResFlashError:
      return QStringLiteral("编程过程出错，数据无法写入！");
    case link::ResVerifyError:
      return QStringLiteral("编程时内部校验不对！");
    case link::ResChipChecksum:
      return QStringLiteral("总数据校验和不一致！");
    case link::ResTimeout:
      return QStringLiteral("命令执行超时");
    default:
      return QStringLiteral("操作失败！");
  }
}

QString FwPortLostText() { return QStringLiteral("通讯口已断开，操作未完成！"); }

QString FwInterruptedText() { return QStringLiteral("操作被中断，未完成！"); }

QString FwNoDeviceText() { return QStringLiteral("Please connect the device first!"); }

QString FwNoReplyText() { return QStringLiteral("编程器无应答，操作未完成！"); }

QString FwReidentifyText() { return QStringLiteral("重新识别编程器......"); }

bool HasCompleteFrame(const uint8_t* Buf, uint16_t Len) {
  const void* first = std::memchr(Buf, link::FrameEnd, Len);
  if (first == nullptr) return false;
  const std::size_t after = static_cast<const uint8_t*>(first) - Buf + 1;
  return std::memchr(Buf + after, link::FrameEnd, Len - after) != nullptr;
}

uint8_t DecodeFwFrame(uint8_t* Raw, uint8_t* Pkt, std::size_t PktCap, uint16_t& OutLen,
                      uint16_t& RawLen) {
  const link::UnescapedFrame f = link::UnescapeFrame(Raw, RawLen, Pkt, PktCap);
  if (f.Ending == link::FrameEnding::Unfinished) return link::ResDataError;
  link::DropFront(Raw, RawLen, f.Consumed);
  OutLen = f.Len;
  return f.Ending == link::FrameEnding::Packet ? link::ResSuccess : link::ResPacketFormat;
}

uint8_t DecodeFwReply(uint8_t* Raw, uint8_t* Pkt, std::size_t PktCap, uint16_t& OutLen,
                      uint16_t& RawLen) {
  for (;;) {
    const link::UnescapedFrame f = link::UnescapeFrame(Raw, RawLen, Pkt, PktCap);
    if (f.Ending == link::FrameEnding::Unfinished) return link::ResDataError;
    uint16_t taken = f.Consumed;
    if (f.Ending == link::FrameEnding::Short || f.Ending == link::FrameEnding::TooLong)
      link::GiveBackClosingFrameEnd(taken);
    link::DropFront(Raw, RawLen, taken);
    OutLen = f.Len;
    if (f.Ending == link::FrameEnding::Packet) return link::ResSuccess;
    if (!HasCompleteFrame(Raw, RawLen)) return link::ResPacketFormat;
  }
}

FwUgProtocol::FwUgProtocol(FwUgState& state, FwUgWindowLinks links)
    : s_(state), links_(std::move(links)) {}

void FwUgProtocol::AddInfoLine(const QString& Text) {
  if (links_.InfoMemo) links_.InfoMemo->Add(QStringLiteral("> ") + Text);
}

void FwUgProtocol::StartProgress(uint16_t Progress, uint16_t Max) {
  if (!links_.ProgressBar1) return;
  links_.ProgressBar1->SetProgress(Progress);
  links_.ProgressBar1->SetMaxValue(Max);
  links_.ProgressBar1->SetForeColor(ui::GaugeBlue);
}

void FwUgProtocol::StopOperation(uint8_t Code) {
  s_.FwRxLen = 0;
  s_.OpState = OpIdle;
  s_.BlockInFlight = false;
  StopReplyTimer();
  if (!links_.ProgressBar1) return;
  links_.ProgressBar1->SetForeColor(Code != 0 ? ui::GaugeRed : ui::GaugeBlue);
  links_.ProgressBar1->SetProgress(links_.ProgressBar1->MaxValue());
}

bool FwUgProtocol::SendPacket(uint16_t len) {
  const uint16_t check = link::PacketCheck16(s_.FwPacketBuf, 0, len - 3u);
  link::Put16(&s_.FwPacketBuf[len - 2], check);
  const uint16_t framed = link::EncodeFrame(s_.FwPacketBuf, s_.FwTxFrame, len);
  return links_.SendData && links_.SendData(s_.FwTxFrame, framed);
}

bool FwUgProtocol::SendCommand(uint8_t Code, uint16_t Param) {
  uint8_t* p = s_.FwPacketBuf;
  p[0] = Code;
  link::Put16(&p[1], Param);
  p[3] = 0xF1;
  p[4] = 0x00;
  p[5] = 0x00;
  link::Put16(&p[6], 0);
  return SendPacket(FwCommandLen);
}

void FwUgProtocol::SendFirmwareBlock(uint8_t Code, uint16_t Addr, uint8_t EndLo) {
  s_.BlockInFlight = false;
  // An address whose block lies outside the image has nothing to send.
  const int b = (static_cast<int>(Addr) - 0x2000) / 1024;
  const std::size_t at = 2 * static_cast<std::size_t>(Addr - 0x2000);
  if (Addr < 0x2000 || at + FwBlockSize > FwImageSize) return;
  uint8_t* p = s_.FwPacketBuf;
  p[0] = Code;
  link::Put16(&p[1], Addr);
  p[3] = static_cast<uint8_t>(b);
  p[4] = EndLo;
  p[5] = 0x0F;
  link::Put16(&p[6], static_cast<uint16_t>(FwBlockSize));
  const uint8_t* table = KestraGangA4_RV7.FwKeyTable;
  const std::size_t entry = static_cast<std::size_t>(b) & 0xFE;
  const uint8_t key[2] = {static_cast<uint8_t>(table[entry] ^ FwKeyConst),
                          static_cast<uint8_t>(table[entry + 1] ^ FwKeyConst)};
  const uint8_t mask[2] = {FwEvenMask, FwOddMask};
  const uint8_t* image = KestraGangA4_RV7.FwImage + at;
  for (std::size_t k = 0; k < FwBlockSize; ++k)
    p[8 + k] = static_cast<uint8_t>(image[k] ^ key[k & 1] ^ mask[k & 1]);
  s_.BlockInFlight = SendPacket(FwBlockPacketLen);
  if (s_.BlockInFlight) ArmReplyTimer();
}

// A chunk is read frame by frame while its frames are dropped for what they
// hold (a reply that answers nothing the tool waits for); the first frame
// taken ends it.
void FwUgProtocol::HandleIdentifyReply(uint16_t& RawLen) {
  uint16_t outLen = 0;
  while (DecodeFwReply(s_.FwRxBuf, s_.FwPacketBuf, FwPacketBufSize, outLen, RawLen) == 0) {
    if (TakeIdentReply(outLen) || !HasCompleteFrame(s_.FwRxBuf, RawLen)) return;
  }
}

bool FwUgProtocol::TakeIdentReply(uint16_t Len) {
  std::string ident;
  if (!IsProgrammerIdent(s_.FwPacketBuf, Len, &ident)) return false;
  s_.OpState = OpIdle;
  StopReplyTimer();
  s_.DeviceIdentified = 1;
  s_.AnswerOwed = false;  // the device has answered everything sent before
  const QString text = QString::fromLatin1(ident.c_str());
  if (links_.DeviceFound) links_.DeviceFound(text);
  AddInfoLine(QStringLiteral("Find Device : %1!").arg(text));
  return true;
}

void FwUgProtocol::HandleCommandReply(uint16_t& RawLen) {
  uint16_t outLen = 0;
  while (DecodeFwReply(s_.FwRxBuf, s_.FwPacketBuf, FwPacketBufSize, outLen, RawLen) == 0) {
    if (TakeCommandReply(outLen) || !HasCompleteFrame(s_.FwRxBuf, RawLen)) return;
  }
}

// False when the reply is dropped for what it holds.
bool FwUgProtocol::TakeCommandReply(uint16_t Len) {
  if (IsProgrammerIdent(s_.FwPacketBuf, Len, nullptr)) {
    // Never a command's reply. Only the identification an operation waits
    // for is taken; any other answers an earlier search.
    if (s_.OpState != OpReidentify) return false;
    // Answered in order: everything sent before the search has been answered.
    s_.AnswerOwed = false;
    s_.OpState = OpIdle;
    StopReplyTimer();
    Begin(s_.PendingOp);
    return true;
  }
  // Owed to a command that went unanswered: no later command may take it.
  if (s_.AnswerOwed) return false;
  const uint8_t code = link::CheckRxPacket(s_.FwPacketBuf, Len);
  if (!link::IsSuccess(code)) {
    StopOperation(code);
    ShowResult(code);
    return true;
  }
  if (s_.OpState == OpVerify) {
    // A reply that does not carry the four words ahead of its check must not
    // be judged by what an earlier reply left in the buffer.
    if (!link::ReplyHolds(Len, VerifyWordsFirst, VerifyWordsBytes)) {
      StopOperation(link::ResChipChecksum);
      ShowResult(link::ResChipChecksum);
      return true;
    }
    CheckVerifyResult();
  } else if (s_.OpState == OpUpgrade && s_.BlockInFlight) {
    // The reply of the one block in flight; with none in flight a success
    // reply answers nothing of this run and is not counted.
    s_.BlockInFlight = false;
    NextFirmwareBlock(code);
  }
  return true;
}

void FwUgProtocol::CheckVerifyResult() {
  const uint8_t* p = s_.FwPacketBuf;
  const uint16_t w8 = link::Get16(p + 8), w10 = link::Get16(p + 10), w24 = link::Get16(p + 24),
                 w26 = link::Get16(p + 26);
  const bool good = w26 == s_.ExpCheckSum2 && w24 == s_.ExpCheckSum1 && w8 == w26 && w10 == w24;
  const uint8_t result = good ? link::ResSuccess : link::ResChipChecksum;
  StopOperation(result);
  ShowResult(result);
}

void FwUgProtocol::NextFirmwareBlock(uint8_t Code) {
  (void)Code;
  s_.CurBlockAddr = static_cast<uint16_t>(s_.CurBlockAddr + 0x400);
  if (links_.ProgressBar1) {
    const int progress = static_cast<uint16_t>(s_.CurBlockAddr - s_.FwStartAddr + 1) / 1024 + 2;
    links_.ProgressBar1->SetProgress(progress);
  }
  if (s_.CurBlockAddr < s_.FwEndAddr && s_.CurBlockAddr != 0) {
    SendNextBlockOrAbort();
    return;
  }
  StopOperation(link::ResSuccess);
  ShowResult(link::ResSuccess);
}

void FwUgProtocol::SendNextBlockOrAbort() {
  SendFirmwareBlock(link::CmdFwWriteBlock, s_.CurBlockAddr, static_cast<uint8_t>(s_.EndAddrCopy));
  // A block the port did not take would leave the upgrade waiting for ever.
  if (!s_.BlockInFlight) AbortOperation(FwPortLostText());
}

void FwUgProtocol::ShowText(bool success, const QString& text) {
  const QString caption = QGuiApplication::applicationDisplayName();
  if (success) {
    ui::Beep();
    ui::Dialogs().InformationBox(links_.DialogParent, caption, text);
  } else {
    ui::Dialogs().ErrorBox(links_.DialogParent, caption, text);
  }
  AddInfoLine(text);
}

void FwUgProtocol::ShowResult(uint8_t Code) {
  ShowText(Code == link::ResSuccess, FwResultText(Code));
}

void FwUgProtocol::AbortOperation(const QString& Text) {
  if (s_.OpState == OpIdle) return;
  // The state ends before the box: replies that come while it is open find
  // no operation to advance.
  StopOperation(NoReplyFailure);
  ShowText(false, Text);
}

void FwUgProtocol::RefuseOperation(const QString& Text) { ShowText(false, Text); }

bool FwUgProtocol::StartUpgrade() { return Start(OpUpgrade); }

bool FwUgProtocol::StartVerify() { return Start(OpVerify); }

bool FwUgProtocol::Start(uint8_t Op) {
  if (s_.OpState != OpIdle) return false;
  if (s_.AnswerOwed)
    Reidentify(Op);
  else
    Begin(Op);
  return true;
}

void FwUgProtocol::Begin(uint8_t Op) {
  if (Op == OpVerify)
    BeginVerify();
  else
    BeginUpgrade();
}

void FwUgProtocol::Reidentify(uint8_t Op) {
  s_.OpState = OpReidentify;
  s_.PendingOp = Op;
  StartProgress(0, 100);
  AddInfoLine(FwReidentifyText());
  if (!SendCommand(link::CmdSearchDevice, 0)) {
    AbortOperation(FwPortLostText());
    return;
  }
  ArmReplyTimer();
}

void FwUgProtocol::BeginUpgrade() {
  s_.CurBlockAddr = s_.FwStartAddr;
  s_.EndAddrCopy = s_.FwEndAddr;
  s_.OpState = OpUpgrade;
  StartProgress(2, static_cast<uint16_t>((s_.FwEndAddr - s_.FwStartAddr + 1) / 1024));
  SendNextBlockOrAbort();
}

void FwUgProtocol::BeginVerify() {
  s_.OpState = OpVerify;
  StartProgress(10, 100);
  if (!SendCommand(link::CmdFwVerify, s_.FwEndAddr)) {
    AbortOperation(FwPortLostText());
    return;
  }
  ArmReplyTimer();
}

void FwUgProtocol::ReplyTimedOut() {
  if (s_.OpState == OpIdle) return;
  s_.AnswerOwed = true;
  AbortOperation(FwNoReplyText());
}

void FwUgProtocol::ArmReplyTimer() {
  if (links_.ArmReplyTimer) links_.ArmReplyTimer();
}

void FwUgProtocol::StopReplyTimer() {
  if (links_.StopReplyTimer) links_.StopReplyTimer();
}

}  // namespace kestra::upgrade
