// The bridge's platform part of running a host: starting, watching and ending it.
#pragma once

#include "entry/loader.h"
#include "host/mailbox.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace morlane::hosted {

struct Process {
    std::intptr_t id = 0; // POSIX: the pid; Windows: the process handle
#if defined(_WIN32)
    std::intptr_t job = 0; // the job object that ends the host with this process
#endif
    Channel control; // its `peer` is this process's own watch of the host, closed with it
};

// Puts the text into `why`, printf-style; false, for the caller to return.
__attribute__((format(printf, 2, 3))) inline bool fail(LoadError& why, const char* format,
                                                       ...) noexcept {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(why.text, sizeof why.text, format, arguments);
    va_end(arguments);
    return false;
}

// Starts the host program beside this module for the file a 32-bit process's search for
// `file_name` finds (on Linux, where that search cannot see every folder the 32-bit loader knows,
// the bare name when it finds none). False, with `why`, when it cannot start, or on Windows when
// there is no such 32-bit file.
bool spawn_host_process(const char* file_name, Process& process, LoadError& why) noexcept;

// Handles of the caller's own, signalled once the host has exited, or (Windows only: elsewhere a
// thread's end is seen by its thread-local destructors) the calling thread has ended; -1 when
// none can be had (a kernel without process descriptors): the host's end is then looked for with
// `exited`. `signalled` never waits.
std::intptr_t watch_of(const Process& process) noexcept;
#if defined(_WIN32)
std::intptr_t this_thread_watch() noexcept;
#endif
bool signalled(std::intptr_t watch) noexcept;
void close_watch(std::intptr_t watch) noexcept;
// Whether the host has exited, without reaping it; never waits.
bool exited(const Process& process) noexcept;

// The warden's own wake-up: made once, signalled by anyone, cleared by wait_any, which waits
// until it or one of the `count` watches (at most kMostWatches; -1 for none) is signalled, or
// `timeout` has passed (negative: no limit).
constexpr int kMostWatches = 60; // within what Windows waits for at once
std::intptr_t make_wakeup() noexcept;
void wakeup(std::intptr_t wake) noexcept;
void wait_any(std::intptr_t wake, const std::intptr_t* watches, int count,
              std::chrono::milliseconds timeout) noexcept;

void kill_host(const Process& process) noexcept; // at once, whatever it is doing
// True once the host has exited, when it is also reaped and every handle to it closed; never
// waits. After true, `process` names nothing.
bool reap_host(Process& process) noexcept;

} // namespace morlane::hosted
