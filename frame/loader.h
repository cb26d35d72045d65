// The three platform operations the frame needs, behind one small interface:
// LoadLibraryA / GetProcAddress / FreeLibrary on Windows, dlopen / dlsym / dlclose elsewhere.
#pragma once

namespace morlane {

using ModuleHandle = void*;

// Loads a library by bare file name through the platform's own search; nullptr when it cannot.
ModuleHandle load_module(const char* file_name) noexcept;

// Address of the export named exactly `entry`, or nullptr.
void* find_entry(ModuleHandle module, const char* entry) noexcept;

// Drops one load; the platform unloads the library when none is left.
void release_module(ModuleHandle module) noexcept;

} // namespace morlane
