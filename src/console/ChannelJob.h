// The job of a channel's operation: what its packets carry, taken from the
// settings, images and checksums when the operation starts and kept until it
// ends, with the channel's own serial number.
#pragma once

#include "console/ConsoleState.h"

namespace kestra::console {

struct OperationRequest {
  OperationRequest() = default;
  explicit OperationRequest(Operation op, bool placeSerial = false)
      : Op(op), PlaceSerial(placeSerial) {}

  Operation Op = Operation::BlankCheck;
  bool PlaceSerial = false;  // Auto and Prog with on-line serial numbers
  link::ConfigTexts Texts;   // Download's text fields
};

// Fixes channel ch's job from the state as it is now and points the channel's
// packets at it. With a serial number, the job's image checksums are those of
// the image with that serial number, and the channel logs which one it places.
void OpenJob(ConsoleState& st, int ch, const OperationRequest& Request);
// Drops channel ch's job: its packets carry the settings as collected last.
void CloseJob(ConsoleState& st, int ch);

// The serial number channel ch places: SnValue + ch x SnGain (modulo 2^32; with
// 8 bytes SnHigh is the upper word) at SnAddr, in the settings' byte order
// (PowerFlags bit 0x40: big-endian).
link::SerialOverlay ChannelSerial(const link::PacketSettings& s, int ch);

}  // namespace kestra::console
