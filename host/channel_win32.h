// The control channel on Windows. An anonymous pipe carries bytes one way only, so a channel is
// two of them, one per direction; a named pipe would be bidirectional, but it is an object that
// any process knowing its name could open. An Fd is the address of this side's two handles.
#pragma once

#include "host/channel.h"

#include <windows.h>

namespace morlane::hosted {

// Takes both handles over; kNoFd (both closed) when there is no memory for the pair.
Fd make_channel(HANDLE read_end, HANDLE write_end) noexcept;

// A handle value as it travels in a control message. Windows keeps handle values within 32 bits
// in 64-bit processes as well, so that a 64-bit process can hand handles to a 32-bit one.
inline std::uint32_t handle_value(HANDLE handle) noexcept {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}
inline HANDLE handle_from(std::uint32_t value) noexcept {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

} // namespace morlane::hosted
