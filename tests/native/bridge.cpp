// The one place that knows how the platform loads a library.
#include "bridge.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef MORLANE_BRIDGE_PATH
#error "MORLANE_BRIDGE_PATH must name the built bridge library"
#endif

namespace bridge {
namespace {

#if defined(_WIN32)
void* load(const char* path, std::string& error) {
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr) {
        error = std::string("LoadLibraryA(") + path + ") failed, error " +
                std::to_string(GetLastError());
    }
    return reinterpret_cast<void*>(module);
}

void* lookup(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
void* load(const char* path, std::string& error) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        error = why != nullptr ? why : "dlopen failed";
    }
    return library;
}

void* lookup(void* library, const char* name) {
    return dlsym(library, name);
}
#endif

template <typename Fn> void bind(void* library, const char* name, Fn& fn, std::string& error) {
    void* address = lookup(library, name);
    if (address == nullptr) {
        error += std::string(error.empty() ? "" : "; ") + name + " is not exported";
        return;
    }
    fn = reinterpret_cast<Fn>(address);
}

Exports load_exports() {
    Exports e;
    const char* path = std::getenv("MORLANE_BRIDGE_LIBRARY");
    if (path == nullptr || *path == '\0') {
        path = MORLANE_BRIDGE_PATH;
    }
    void* library = load(path, e.error);
    if (library == nullptr) {
        return e;
    }
    bind(library, "Java_lathwork_Brenmoor_start", e.start, e.error);
    bind(library, "Java_lathwork_Brenmoor_finish", e.finish, e.error);
    bind(library, "Java_lathwork_Brenmoor_cvStart", e.cvStart, e.error);
    bind(library, "Java_lathwork_Brenmoor_cvFinish", e.cvFinish, e.error);
    bind(library, "Java_lathwork_Brenmoor_open", e.open, e.error);
    bind(library, "Java_lathwork_Brenmoor_close", e.close, e.error);
    bind(library, "Java_lathwork_Brenmoor_runMode", e.runMode, e.error);
    bind(library, "Java_lathwork_Brenmoor_stopMode", e.stopMode, e.error);
    bind(library, "Java_lathwork_Brenmoor_downLoad", e.downLoad, e.error);
    bind(library, "Java_lathwork_Brenmoor_regWrite__IIII", e.regWriteValue, e.error);
    bind(library, "Java_lathwork_Brenmoor_regWrite__III_3II", e.regWriteBlock, e.error);
    bind(library, "Java_lathwork_Brenmoor_regRead__III_3II", e.regReadInto, e.error);
    bind(library, "Java_lathwork_Brenmoor_regRead__IIII", e.regReadNew, e.error);
    bind(library, "Java_lathwork_Brenmoor_cvPoke", e.cvPoke, e.error);
    bind(library, "Java_lathwork_Brenmoor_cvRequest", e.cvRequest, e.error);
    bind(library, "Java_morlane_CallRecord_linkMode", e.linkMode, e.error);
    bind(library, "Java_morlane_CallRecord_corvaneMode", e.corvaneMode, e.error);
    bind(library, "Java_morlane_CallRecord_lastLines", e.lastLines, e.error);
    bind(library, "Java_morlane_CallRecord_linkLoadFailure", e.linkLoadFailure, e.error);
    bind(library, "Java_morlane_CallRecord_ansiTexts0", e.ansiTexts, e.error);
    bind(library, "Java_morlane_CallRecord_lastFailureKind", e.lastFailureKind, e.error);
    return e;
}

} // namespace

const Exports& exports() {
    static const Exports loaded = load_exports();
    return loaded;
}

} // namespace bridge
