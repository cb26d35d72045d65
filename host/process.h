// The platform's part of running a host: starting it beside this module with a private control
// channel, handing it further channels, and ending it. Everything else about hosts is the same on
// every platform (client.cpp on the bridge's side, serve.cpp in the host).
#pragma once

#include "host/channel.h"

namespace morlane::hosted {

struct Process {
    std::intptr_t id = 0;  // POSIX: the pid; Windows: the process handle
    std::intptr_t job = 0; // Windows: the job object that ends the host with this process
    Fd control = kNoFd;    // near end of the control channel
};

// Starts the host program that lies beside this module, asking it to load `file_name`, with the
// far end of a new control channel as its only inherited channel. False when it cannot start.
bool spawn_host_process(const char* file_name, Process& process) noexcept;

// Makes a new call channel, hands its far end to the host over the control channel, and gives
// back the near end; kNoFd when that fails.
Fd open_channel(Process& process) noexcept;

// Closes the control channel, which makes the host release its library and exit (after `quit`
// was sent) or exit at once, and waits for the process to be gone.
void end_host_process(Process& process) noexcept;

} // namespace morlane::hosted
