#include "frame/loader.h"

#include <dlfcn.h>

namespace morlane {

ModuleHandle load_module(const char* file_name) noexcept {
    // RTLD_LOCAL keeps the outside library's symbols out of the JVM's global namespace.
    return dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
}

void* find_entry(ModuleHandle module, const char* entry) noexcept {
    return dlsym(module, entry);
}

void release_module(ModuleHandle module) noexcept {
    dlclose(module);
}

} // namespace morlane
