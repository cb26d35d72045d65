// The host program's side: serving calls on the channels the bridge hands over.
#pragma once

#include "entry/loader.h"
#include "host/channel.h"

namespace morlane::hosted {

// Loads `file_name`, tells the bridge over `control` whether that worked (and if not, why), then
// serves until the bridge says to quit (the library is released) or goes away (the process ends
// at once: a call may still be inside the library). Returns the process's exit code.
int run_host(const char* file_name, Fd control) noexcept;

// Serves the calls that come on one channel, on the calling thread, until the channel ends or
// carries a request that is not well-formed; then closes it. Each new channel gets a thread of
// its own that runs this.
void serve_calls(Fd channel, ModuleHandle module) noexcept;

// Platform part: the next control message and, for a new channel, its far end. False at end of
// file or on any error.
struct ControlMessageIn {
    std::uint32_t kind;
    Fd channel;
};
bool receive_control(Fd control, ControlMessageIn& message) noexcept;

} // namespace morlane::hosted
