// The host program's side: serving calls in the mailboxes the bridge hands over.
#pragma once

#include "entry/loader.h"
#include "host/channel.h"
#include "host/mailbox.h"

namespace morlane::hosted {

// Loads `file_name`, tells the bridge over `control` whether that worked (and if not, why), then
// serves until the bridge says to quit (the library is released) or goes away (the process ends
// at once: a call may still be inside the library). Returns the process's exit code.
int run_host(const char* file_name, Fd control) noexcept;

// Answers the request that lies in `box`: checks it, calls the library on the data where they
// lie, and writes the reply beside them. A request the bridge would never send is answered
// wire::kMalformed, and nothing is called.
void serve_request(const Mailbox& box, ModuleHandle module) noexcept;

// Serves the calls that come in one mailbox, on the calling thread, until the bridge closes it;
// then unmaps it. Each new mailbox gets a thread of its own that runs this.
void serve_calls(Mailbox box, ModuleHandle module) noexcept;

// Platform part: the next control message and, for a new mailbox, what arrived with it. False at
// end of file or on any error.
struct ControlMessageIn {
    std::uint32_t kind;
    std::intptr_t channel;   // the mailbox: POSIX a memfd, Windows a section; kNoFd when none came
    std::intptr_t events[2]; // Windows: the mailbox's events, by Side
    std::uint32_t bytes;     // the mailbox's size, as the bridge says
};
bool receive_control(Fd control, ControlMessageIn& message) noexcept;
// Closes what arrived with a message that is not taken up.
void close_handover(ControlMessageIn& message) noexcept;

} // namespace morlane::hosted
