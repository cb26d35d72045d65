// The host program's side: serving calls on the channels the bridge hands over.
#pragma once

#include "host/channel.h"

namespace morlane::hosted {

// Loads `file_name`, tells the bridge over `control` whether that worked, then serves until the
// bridge says to quit (the library is released) or goes away (the process ends at once: a call
// may still be inside the library). Returns the process's exit code.
int run_host(const char* file_name, Fd control) noexcept;

// Platform part: the next control message and, for a new channel, its far end. False at end of
// file or on any error.
struct ControlMessageIn {
    std::uint32_t kind;
    Fd channel;
};
bool receive_control(Fd control, ControlMessageIn& message) noexcept;

} // namespace morlane::hosted
