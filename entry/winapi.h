// Calling convention of the outside libraries' entry points. On 32-bit Windows the callee pops
// its own arguments (__stdcall); a pointer type that forgot it would corrupt the stack silently,
// so every outside function-pointer type names WINAPI, which is empty where it means nothing.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#define WINAPI
#endif
