// The bridge's side of a host process: a 32-bit program that loads an outside library this
// process cannot load (a 32-bit DLL seen from a 64-bit JVM) and makes the calls for it. One host
// serves one load of a slot, so a library that crashes takes down only its own host. Each calling
// thread gets a mailbox of its own, served by a thread of its own in the host, so calls run in
// parallel as they do in process. Nothing waits for a host without a limit.
#pragma once

#include "entry/entries.h"
#include "entry/loader.h"

#include <chrono>
#include <cstdint>

namespace morlane::hosted {

class Host;

enum class Reach {
    Called,  // the entry point ran; its status is given
    Missing, // the library lacks the entry point
    Failed,  // the call could not be made (over a limit, no memory here); the host serves on
    Busy,    // the host could not take the call (no memory or thread left there); it serves on
    Lost,    // the host is gone: it died, or wrote what no host of ours writes
    Expired, // the call, or another in its host, outlived its deadline: the host was ended
};

#if defined(MORLANE_NO_HOST)
// A 32-bit bridge loads every library it can use itself.
inline Host* start_host(const char*, std::chrono::milliseconds, LoadError&) noexcept {
    return nullptr;
}
inline Reach call(Host&, Entry, Call&, int&, std::chrono::milliseconds) noexcept {
    return Reach::Lost;
}
inline Reach lookup(Host&, Entry, std::chrono::milliseconds) noexcept {
    return Reach::Lost;
}
inline std::uint32_t text_code_page(const Host&) noexcept {
    return 0;
}
inline void stop_host(Host*) noexcept {}
#else
// Starts a host that loads `file_name`, after the load in this process failed, and waits for its
// answer at most `deadline` (zero: until it answers or ends). nullptr when there is no host to
// start or it cannot load the library; `why` then says so, or stays empty when no host was tried
// (a library the host could not load either, such as one missing on Windows).
Host* start_host(const char* file_name, std::chrono::milliseconds deadline,
                 LoadError& why) noexcept;

// Looks `entry` up in the host's library afresh and, if found, calls it with `call`'s arguments;
// words from the library and a reply come back into the caller's buffers. A call that takes
// longer than `deadline` (zero: no limit) ends the host.
Reach call(Host& host, Entry entry, Call& call, int& status,
           std::chrono::milliseconds deadline) noexcept;
Reach lookup(Host& host, Entry entry, std::chrono::milliseconds deadline) noexcept;

// The code page of the library's texts: on Windows the host's ANSI code page, which a manifest of
// the JVM's launcher can make differ from this process's; 0 elsewhere.
std::uint32_t text_code_page(const Host& host) noexcept;

// Releases the library and lets the host end; only once no call is inside it. A host that does
// not end within moments is killed.
void stop_host(Host* host) noexcept;

#endif

} // namespace morlane::hosted
