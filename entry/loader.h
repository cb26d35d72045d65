// The three platform operations every load and call needs, behind one small interface:
// LoadLibraryA / GetProcAddress / FreeLibrary on Windows, dlopen / dlsym / dlclose elsewhere.
// The bridge and the host process load libraries through the same code.
#pragma once

#include <cstddef>
#include <string>

namespace morlane {

using ModuleHandle = void*;

// Why a load failed, in the platform's own words, for a Java program that asks.
struct LoadError {
    unsigned long code = 0; // Windows: the GetLastError value; 0 elsewhere
    static constexpr std::size_t kTextBytes = 512;
    char text[kTextBytes] = {}; // UTF-8, NUL-terminated, cut short if need be
};

// Loads a library by bare file name through the platform's own search, or from a full path (as
// UTF-8; on Windows with that file's folder searched first for what it imports, in place of the
// program's); nullptr when it cannot, with the reason in `error` when one is given.
ModuleHandle load_module(const char* file_name, LoadError* error = nullptr) noexcept;

// For a 64-bit process that could not load `file_name`: the full path (UTF-8) of the file that a
// 32-bit process's own search for that bare name would load, when that file is a 32-bit library.
// False when it is not, or when the search finds nothing; `why` then says so, naming the folders
// searched.
bool find_32bit_library(const char* file_name, std::string& path, LoadError& why) noexcept;

// Address of the export named exactly `entry`, or nullptr.
void* find_entry(ModuleHandle module, const char* entry) noexcept;

// Drops one load; the platform unloads the library when none is left.
void release_module(ModuleHandle module) noexcept;

} // namespace morlane
