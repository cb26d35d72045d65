#include "entry/loader.h"

#include <cstdio>
#include <dlfcn.h>

namespace morlane {

ModuleHandle load_module(const char* file_name, LoadError* error) noexcept {
    // RTLD_LOCAL keeps the outside library's symbols out of the JVM's global namespace.
    ModuleHandle module = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr && error != nullptr) {
        // dlerror's text is the calling thread's own, and names the file and the cause.
        const char* text = dlerror();
        std::snprintf(error->text, sizeof error->text, "%s", text != nullptr ? text : "unknown");
    }
    return module;
}

void* find_entry(ModuleHandle module, const char* entry) noexcept {
    return dlsym(module, entry);
}

void release_module(ModuleHandle module) noexcept {
    dlclose(module);
}

} // namespace morlane
