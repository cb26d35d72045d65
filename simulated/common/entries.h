// Every entry point of the bridge's table (entry/entries.h), declared with the type the table
// gives it and exported. Included by each stand-in after its own header: a stand-in function the
// table knows is exported even if that header forgot it, and one whose type differs from the
// table's does not compile, so a stand-in cannot drift from what the bridge calls.
#pragma once

#include "entry/invoke.h"

#if defined(_WIN32)
#define MORLANE_SIM_EXPORT __declspec(dllexport)
#else
#define MORLANE_SIM_EXPORT __attribute__((visibility("default")))
#endif

#define MORLANE_SIM_DECLARE(entry, name, ...)                                                      \
    extern "C" MORLANE_SIM_EXPORT morlane::EntryType<morlane::Entry::entry> name;
MORLANE_ENTRIES(MORLANE_SIM_DECLARE)
#undef MORLANE_SIM_DECLARE
