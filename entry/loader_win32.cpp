#include "entry/loader.h"

#include <cstdio>
#include <windows.h>

namespace morlane {

ModuleHandle load_module(const char* file_name, LoadError* error) noexcept {
    HMODULE module = LoadLibraryA(file_name);
    if (module == nullptr && error != nullptr) {
        const DWORD code = GetLastError();
        error->code = code;
        // The system's own text, in the user's language, passed on as UTF-8.
        wchar_t message[256] = {};
        const DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, message,
            static_cast<DWORD>(sizeof message / sizeof message[0]), nullptr);
        DWORD end = length;
        while (end > 0 && (message[end - 1] == L'\r' || message[end - 1] == L'\n' ||
                           message[end - 1] == L' ' || message[end - 1] == L'.')) {
            --end;
        }
        int used = std::snprintf(error->text, sizeof error->text, "%s: error %lu", file_name,
                                 static_cast<unsigned long>(code));
        if (used > 0 && end > 0 && static_cast<std::size_t>(used) + 2 < sizeof error->text) {
            error->text[used++] = ':';
            error->text[used++] = ' ';
            const int room = static_cast<int>(sizeof error->text) - used - 1;
            const int wrote = WideCharToMultiByte(CP_UTF8, 0, message, static_cast<int>(end),
                                                  error->text + used, room, nullptr, nullptr);
            error->text[used + (wrote > 0 ? wrote : 0)] = '\0';
        }
        // Whoever looks at the failure next (the hosted fallback) sees the load's own error.
        SetLastError(code);
    }
    return reinterpret_cast<ModuleHandle>(module);
}

void* find_entry(ModuleHandle module, const char* entry) noexcept {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), entry));
}

void release_module(ModuleHandle module) noexcept {
    FreeLibrary(static_cast<HMODULE>(module));
}

} // namespace morlane
