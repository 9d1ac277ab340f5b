// The codes of the device link: command codes (byte [0] of every packet the
// host sends), the sub-codes of CmdChipOperation, and the result codes, those
// a device reports in the status byte of a reply and those the host's own
// checks give.
#pragma once

#include <cstdint>

namespace kestra::link {

// Command codes of the console.
inline constexpr uint8_t CmdSearchDevice = 0x3D;
inline constexpr uint8_t CmdDownloadConfig = 0x53;
inline constexpr uint8_t CmdDownloadMain = 0x55;
inline constexpr uint8_t CmdDownloadInfo = 0x5A;
inline constexpr uint8_t CmdRestartAfterProtect = 0x86;
inline constexpr uint8_t CmdRestart = 0x8A;
inline constexpr uint8_t CmdChipOperation = 0x93;
inline constexpr uint8_t CmdProgramBlock = 0x95;
inline constexpr uint8_t CmdWriteInfo = 0x96;
inline constexpr uint8_t CmdReadMain = 0x9B;
inline constexpr uint8_t CmdReadInfo = 0x9C;
// Command codes of the firmware upgrade tool (with CmdSearchDevice).
inline constexpr uint8_t CmdFwWriteBlock = 0xB7;
inline constexpr uint8_t CmdFwVerify = 0xBA;

// Sub-codes of CmdChipOperation.
inline constexpr uint8_t SubErase = 0x03;
inline constexpr uint8_t SubBlankCheck = 0x05;
inline constexpr uint8_t SubReadChipInfo = 0x33;
inline constexpr uint8_t SubReadChipId = 0x35;
inline constexpr uint8_t SubWriteProtect = 0x53;
inline constexpr uint8_t SubVerifyMain = 0x55;
inline constexpr uint8_t SubVerifyInfo = 0x56;

// Result codes.
inline constexpr uint8_t ResSuccess = 0x00;
inline constexpr uint8_t ResSuccessAck = 0x06;
inline constexpr uint8_t ResBadIdent = 0x0F;  // identification check: magic missing
inline constexpr uint8_t ResReadProtected = 0x10;
inline constexpr uint8_t ResReadProtected2 = 0x13;
inline constexpr uint8_t ResNotBlank = 0x15;
inline constexpr uint8_t ResDataError = 0x20;
inline constexpr uint8_t ResPacketChecksum = 0x23;
inline constexpr uint8_t ResUnknownCommand = 0x25;
inline constexpr uint8_t ResPacketFormat = 0x2A;
inline constexpr uint8_t ResFlashError = 0x2C;
inline constexpr uint8_t ResVerifyError = 0x31;
inline constexpr uint8_t ResChipChecksum = 0x34;
inline constexpr uint8_t ResTimeout = 0x40;

// Both success codes of a status reply.
inline constexpr bool IsSuccess(uint8_t Code) {
  return Code == ResSuccess || Code == ResSuccessAck;
}

}  // namespace kestra::link
