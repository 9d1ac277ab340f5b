// The receive path of one channel: each chunk the channel's port hands over is
// added to the channel's receive buffer, whole frames are cut out and decoded,
// progress packets go to the stand-alone monitor and every other packet, with
// the status its check gives, to the channel's reply dispatcher (or, while the
// channel has no device yet, to the search-reply check). Each frame is handled
// once: the routine is never entered again for a channel while it runs there
// (bytes that come meanwhile are taken by the running one), and a box that a
// handler asks for opens only once every byte has been handled. Needs no
// window.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/ConsoleState.h"

namespace kestra::console {

void ChannelReceiveData(ConsoleState& st, int k, const uint8_t* Buffer, std::size_t BufferLength);

}  // namespace kestra::console
