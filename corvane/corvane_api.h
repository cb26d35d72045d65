// What the bridge requires of the Corvane data-access library "CVDAlib.dll": a poke that writes
// three texts and a request that reads a NUL-terminated reply into a 4096-byte area it is given
// no size for. Both return 1 for success, 0 when the Corvane application has stopped, anything
// else for a failed write or read.
#pragma once

#include "frame/winapi.h"

namespace morlane::corvane {

using PokeFn = int(WINAPI*)(const char*, const char*, const char*);
using RequestFn = int(WINAPI*)(const char*, const char*, char*);

} // namespace morlane::corvane
