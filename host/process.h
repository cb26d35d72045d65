// The platform's part of running a host: starting it beside this module with a private control
// channel, handing it further channels, and ending it. Everything else about hosts is the same on
// every platform (client.cpp on the bridge's side, serve.cpp in the host).
#pragma once

#include "entry/loader.h"
#include "host/channel.h"
#include "host/mailbox.h"

#include <chrono>

namespace morlane::hosted {

struct Process {
    std::intptr_t id = 0;  // POSIX: the pid; Windows: the process handle
    std::intptr_t job = 0; // Windows: the job object that ends the host with this process
    Fd control = kNoFd;    // near end of the control channel
};

// Starts the host program that lies beside this module, with a new control channel, asking it to
// load the file that a 32-bit process's own search for `file_name` finds (entry/loader.h); on
// Linux, where that search cannot see every folder the 32-bit loader knows, the bare name when it
// finds none. False when it cannot start, or on Windows when that file is not a 32-bit library or
// there is none: `why` then says why.
bool spawn_host_process(const char* file_name, Process& process, LoadError& why) noexcept;

// Hands `mailbox` to the host over the control channel and reads the host's answer (wire::kServing
// or wire::kRefused) into `answer`; false when the control channel broke (the host is gone). The
// mailbox's handle is this process's no longer.
bool hand_over_mailbox(Process& process, Mailbox& mailbox, std::uint32_t& answer) noexcept;

// What the warden waits on to see the host end: a handle of the warden's own, signalled once the
// host has exited; -1 when none can be had.
std::intptr_t watch_of(const Process& process) noexcept;
void close_watch(std::intptr_t watch) noexcept;
// Windows: a handle on the calling thread, signalled once it has ended; -1 elsewhere, where a
// thread's end is seen by its thread-local destructors.
std::intptr_t this_thread_watch() noexcept;

// Whether `watch` is signalled; never waits.
bool signalled(std::intptr_t watch) noexcept;

// The warden's own wake-up: made once, signalled by anyone, cleared by wait_any.
std::intptr_t make_wakeup() noexcept;
void wakeup(std::intptr_t wake) noexcept;
// Waits until `wake` or one of the `count` watches is signalled, or `timeout` has passed
// (negative: no limit).
void wait_any(std::intptr_t wake, const std::intptr_t* watches, int count,
              std::chrono::milliseconds timeout) noexcept;

// Waits at most `limit` for the host to exit by itself; true when it has. Before reap_host, on a
// host whose control channel is still open.
bool await_exit(const Process& process, std::chrono::milliseconds limit) noexcept;

// Ends the host at once (SIGKILL, TerminateProcess), whatever it is doing.
void kill_host(const Process& process) noexcept;

// True once the host has exited, when it is also reaped and every handle to it closed; never
// waits. After true, `process` names nothing.
bool reap_host(Process& process) noexcept;

} // namespace morlane::hosted
