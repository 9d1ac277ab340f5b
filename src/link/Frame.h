// Frame layer of the device link: framing bytes, frame encoder and decoder,
// the 16-bit packet check and complement sum, reply and identification checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/Codes.h"

namespace kestra::link {

inline constexpr uint8_t FrameEnd = 0xC0;
inline constexpr uint8_t FrameEsc = 0xDB;
inline constexpr uint8_t FrameEscEnd = 0xDC;       // after FrameEsc: data byte 0xC0
inline constexpr uint8_t FrameEscEsc = 0xDD;       // after FrameEsc: data byte 0xDB
inline constexpr std::size_t FrameTrailerLen = 5;  // five 0xFF after every host frame

// Per-channel buffer sizes.
inline constexpr std::size_t MaxPacketLen = 4170;  // header, 64 + 4096 payload, check
inline constexpr std::size_t MaxReplyLen = 4106;   // read-out reply: header, 4096 data, check
// A reply frame: both FrameEnd bytes and every reply byte escaped at worst
// (a read-out of flash full of 0xC0 or 0xDB bytes).
inline constexpr std::size_t RxFrameSize = 2 * MaxReplyLen + 2;  // 8214
// Largest chunk the serial component hands over at a time.
inline constexpr std::size_t RxChunkMax = 2048;
// Received bytes not yet framed are kept between chunks as long as they could
// still be the start of a worst-case frame; more than this are dropped before
// the next chunk is appended, so kept bytes and a chunk always fit RxBuf.
inline constexpr std::size_t RxKeepLimit = 14336;
inline constexpr std::size_t RxBufSize = RxKeepLimit + RxChunkMax;  // 16384
static_assert(RxKeepLimit >= RxFrameSize);
inline constexpr std::size_t PacketBufSize = 6144;
// Worst case: every packet byte escaped, two FrameEnd bytes and the trailer.
inline constexpr std::size_t TxFrameSize = 2 * MaxPacketLen + 2 + FrameTrailerLen;  // 8347

// Frames the N bytes of Src into Dst (capacity at least 2*N + 7); returns the
// framed length N + E + 7, E being the number of 0xC0 and 0xDB bytes in Src.
uint16_t EncodeFrame(const uint8_t* Src, uint8_t* Dst, uint16_t N);

// How the first frame of a run of received bytes ends.
enum class FrameEnding : uint8_t {
  Packet,      // closed, with at least 8 bytes, all held
  Short,       // closed, with fewer than 8 bytes
  TooLong,     // closed, with more bytes than the packet buffer holds
  BadEscape,   // FrameEsc followed by a byte other than FrameEscEnd or FrameEscEsc
  Unfinished,  // the run ends before the frame closes
};

struct UnescapedFrame {
  FrameEnding Ending = FrameEnding::Unfinished;
  uint16_t Len = 0;       // bytes decoded (Packet, Short); 0 otherwise
  uint16_t Consumed = 0;  // through the closing FrameEnd or the bad escape byte
};

// The frame decoding that every decoder of the link shares. The first frame
// of Raw[0..RawLen-1] opens after its first FrameEnd (a doubled opening counts
// once) and ends at the next FrameEnd; its bytes are un-escaped into Pkt,
// never more than PktCap of them (a longer frame is read to its end). Raw is
// left as it is: the caller drops the bytes consumed (DropFront), all of them
// or, for a frame that closes but does not decode, all but its closing
// FrameEnd (GiveBackClosingFrameEnd).
UnescapedFrame UnescapeFrame(const uint8_t* Raw, uint16_t RawLen, uint8_t* Pkt, std::size_t PktCap);

// Drops Raw[0..N-1] (all of it when N >= RawLen); the rest moves to the front.
void DropFront(uint8_t* Raw, uint16_t& RawLen, uint16_t N);

// Un-escapes the first frame of Raw[0..RawLen-1] into Pkt (capacity PktCap).
// 0: a packet of at least 8 bytes, OutLen its length; ResDataError otherwise.
// A closing FrameEnd or bad escape removes the consumed bytes from Raw.
uint8_t DecodeFrame(uint8_t* Raw, uint8_t* Pkt, std::size_t PktCap, uint16_t& OutLen,
                    uint16_t& RawLen);

// The link check over Buf[First..Last]; 0 for a range error.
uint16_t PacketCheck16(const uint8_t* Buf, uint32_t First, uint32_t Last);
// Two's complement of the 16-bit byte sum of Buf[First..Last] (0x10000 for a
// zero sum or Last < First, 0 for First or Last above 0xFFFFFF).
uint32_t PacketSum16(const uint8_t* Buf, uint32_t First, uint32_t Last);

// True when a decoded reply of Len bytes holds Count bytes from First ahead of
// its check (its last two bytes): only such bytes came from the device's reply.
constexpr bool ReplyHolds(std::size_t Len, std::size_t First, std::size_t Count) {
  return Len >= 2 && First <= Len - 2 && Count <= Len - 2 - First;
}

// Checks a decoded reply of Len bytes: ResPacketChecksum, the status byte of a
// status reply (length field 1 or 2), or 0 (a reply that carries data). A reply
// without a payload byte at [8] ahead of its check (shorter than 11 bytes, or
// a length field of 0) is a check failure: it carries no status.
uint8_t CheckRxPacket(const uint8_t* Pkt, uint16_t Len);

// Checks an identification reply of Len bytes: 0 when the text from byte Skip+8
// begins with Expected (which then receives the whole text, NUL-terminated;
// ExpectedCap at least 74), ResBadIdent when the magic A3 A5 53 35 is missing,
// else non-zero. The text ends at byte 80, at the first byte below 0x20 or from
// 0x80 up, or at the reply's check, whichever comes first.
int CheckDeviceIdent(const uint8_t* Pkt, uint16_t Len, char* Expected, std::size_t ExpectedCap,
                     uint8_t Skip);

// True when the decoded reply Pkt[0..Len-1] is a programmer's identification
// whose text (from byte 28) begins with Prefix; Text, when given, receives the
// whole text the device reported.
bool IdentifiesAs(const uint8_t* Pkt, uint16_t Len, const char* Prefix,
                  std::string* Text = nullptr);

// One channel's buffers.
struct ChannelBuffers {
  uint8_t RxBuf[RxBufSize] = {};
  uint16_t RxCount = 0;
  uint8_t RxFrame[RxFrameSize] = {};
  uint8_t PacketBuf[PacketBufSize] = {};
  // Length of the decoded reply held in PacketBuf; 0 when PacketBuf holds no
  // reply (nothing decoded yet, or a packet was built there since).
  uint16_t PacketLen = 0;
  uint8_t TxFrame[TxFrameSize] = {};

  // Forgets every received byte not yet framed.
  void ResetRx() { RxCount = 0; }
};

// From RxBuf starting at Pos, copies the next frame into RxFrame; True when a
// whole frame was copied (Len its length, Pos just past it). False when no
// whole frame follows (Pos = RxCount). Which FrameEnd opens a frame is decided
// by what follows it, never by what came before: of two or more FrameEnd bytes
// in a row the last opens the frame (an empty frame is none), and a run longer
// than RxFrame is dropped from RxBuf up to, not including, the next FrameEnd
// (RxCount shrinks; bytes ahead of Pos stay where they are), which then opens
// the next frame. Nothing is remembered between calls.
bool ExtractRxFrame(ChannelBuffers& ch, uint16_t& Pos, uint16_t& Len);

// A frame that closes but does not decode is no frame: its closing FrameEnd
// may just as well be the opening of the next one (a frame cut short ends on
// the opening of the frame after it). Pos, just past the frame (as
// ExtractRxFrame leaves it, or the bytes UnescapeFrame consumed), steps back
// onto that FrameEnd, so the next hunt starts there. A frame that decodes
// keeps its closing byte: it never opens another frame.
inline void GiveBackClosingFrameEnd(uint16_t& Pos) {
  if (Pos > 0) --Pos;
}

// Drops every received byte not yet framed (RxCount 0). Nothing is kept of an
// unfinished frame among them: the next FrameEnd to arrive opens a frame even
// when it is that dropped frame's closing byte, and the opening of a reply
// right after it takes over (two in a row).
void DropPendingRx(ChannelBuffers& ch);

}  // namespace kestra::link
