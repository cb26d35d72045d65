// The host program's side: serving calls in the mailboxes the bridge hands over.
#pragma once

#include "entry/loader.h"
#include "host/mailbox.h"

namespace morlane::hosted {

// Loads `file_name`, tells the bridge over `control` whether that worked (and if not, why), then
// serves until the bridge says to quit (the library is released) or goes away (the process ends
// at once: a call may still be inside the library). Returns the process's exit code.
int run_host(const char* file_name, const Channel& control) noexcept;

// Answers the request in `box` on the data where they lie. A request the bridge would never send
// is answered wire::kMalformed, and nothing is called.
void serve_request(const Mailbox& box, ModuleHandle module) noexcept;

} // namespace morlane::hosted
