// The control channel on Windows: one named pipe, duplex. The bridge creates it as the only
// instance its name may ever have and lets nothing but its host's process stay connected to it,
// so nothing is inherited and no handle of it ever crosses processes: the host opens it by the
// name on its command line. An Fd is the address of this side's pipe and what waits on it.
#pragma once

#include "host/channel.h"

#include <windows.h>

namespace morlane::hosted {

// Takes `pipe` over; kNoFd (closed) when there is no memory for the channel. `peer`: on the
// bridge's side the host's process, whose end also ends every wait on the channel (the pipe was
// opened for overlapped I/O); in the host nullptr, and the pipe is used as opened, synchronously.
Fd make_channel(HANDLE pipe, HANDLE peer) noexcept;

// A handle value as it travels in a control message. Windows keeps handle values within 32 bits
// in 64-bit processes as well, so that a 64-bit process can hand handles to a 32-bit one.
inline std::uint32_t handle_value(HANDLE handle) noexcept {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}
inline HANDLE handle_from(std::uint32_t value) noexcept {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

} // namespace morlane::hosted
