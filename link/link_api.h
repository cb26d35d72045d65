// What the bridge requires of the PLC link library "CVDLL1RZ1.dll": seven entry points, called
// with the platform's library calling convention, each returning 0 for success and anything else
// for failure. Register words are unsigned 16-bit; the library neither keeps a pointer it is
// given nor reads or writes more than `count` words.
#pragma once

#include "frame/winapi.h"

#include <cstdint>

namespace morlane::link {

using Word = std::uint16_t;

using OpenFn = int(WINAPI*)(int, int, int, int, int);
using CloseFn = int(WINAPI*)(int);
using RunModeFn = int(WINAPI*)(int, int);
using StopModeFn = int(WINAPI*)(int, int);
using DownLoadFn = int(WINAPI*)(int, int, const char*);
using RegWriteFn = int(WINAPI*)(int, int, int, const Word*, int);
using RegReadFn = int(WINAPI*)(int, int, int, Word*, int);

} // namespace morlane::link
