#include "frame/loader.h"

#include <windows.h>

namespace morlane {

ModuleHandle load_module(const char* file_name) noexcept {
    return reinterpret_cast<ModuleHandle>(LoadLibraryA(file_name));
}

void* find_entry(ModuleHandle module, const char* entry) noexcept {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), entry));
}

void release_module(ModuleHandle module) noexcept {
    FreeLibrary(static_cast<HMODULE>(module));
}

} // namespace morlane
