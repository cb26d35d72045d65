// The bridge's side of a host process: a 32-bit program that loads an outside library this
// process cannot load (a 32-bit DLL seen from a 64-bit JVM) and makes the calls for it.
//
// One host serves one slot, from the start that needed it to the release of that load, so a
// library that crashes takes down only its own host and slot. Every calling thread gets a channel
// of its own, served by a thread of its own in the host, so calls run in parallel as they do in
// process. A host that dies is seen at once as the end of its channel; nothing waits for it.
#pragma once

#include "frame/entry.h"

namespace morlane::hosted {

class Host;

// How a call through the host ended.
enum class Reach {
    Called,  // the entry point ran; its status is given
    Missing, // the library lacks the entry point
    Failed,  // the host could not hold the call's data; nothing was called
    Lost,    // the host is gone: it died, or its channel broke
};

// Starts a host beside this library that loads `file_name`; nullptr when there is no host to
// start (not built for this platform, missing, not startable) or it cannot load the library.
Host* start_host(const char* file_name) noexcept;

// Looks `entry` up in the host's library afresh and, if found, calls it with `call`'s
// arguments; RegRead's words and Request's reply come back into `call`'s buffers.
Reach call(Host& host, Entry entry, Call& call, int& status) noexcept;

// Looks `entry` up only.
Reach lookup(Host& host, Entry entry) noexcept;

// Releases the library and ends the host. Only once no call is inside it.
void stop_host(Host* host) noexcept;

} // namespace morlane::hosted
