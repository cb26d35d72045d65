#include "entry/loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>
#include <windows.h>

namespace morlane {
namespace {

std::wstring wide(const char* utf8) noexcept {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    text.resize(text.size() - 1);
    return text;
}

} // namespace

ModuleHandle load_module(const char* file_name, LoadError* error) noexcept {
    // A path comes from the bridge's own search (in the host): the library's imports are then
    // looked for beside it first, as beside the JVM's launcher in process, and never in the host's
    // folder, which is the user's cache. LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR would do the first but
    // drop the current folder and PATH, where a vendor's runtime DLLs may lie, and its
    // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS would put the host's folder back on the search.
    const bool path = std::strpbrk(file_name, "\\/:") != nullptr;
    HMODULE module =
        path ? LoadLibraryExW(wide(file_name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
             : LoadLibraryA(file_name);
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

#if defined(_WIN64)
namespace {

using Folder = std::wstring;

// A folder that a call fills in, or "" when it fails.
template <typename Get> Folder folder_from(Get get) noexcept {
    wchar_t buffer[MAX_PATH * 2];
    const UINT length = get(buffer, static_cast<UINT>(sizeof buffer / sizeof buffer[0]));
    return length > 0 && length < sizeof buffer / sizeof buffer[0] ? Folder(buffer, length)
                                                                   : Folder();
}

// Whether the machine turned safe DLL search mode off, which puts the current folder right after
// the program's.
bool unsafe_search() noexcept {
    DWORD value = 1;
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                        L"SafeDllSearchMode", RRF_RT_REG_DWORD, nullptr, &value,
                        &size) == ERROR_SUCCESS &&
           value == 0;
}

// The folders a 32-bit process's LoadLibraryA searches for a bare name, in order (safe DLL search
// mode, Windows' default since XP SP2): its program's folder, the system folder (a 32-bit
// process's is SysWOW64), the 16-bit system folder, the Windows folder, the current folder, and
// PATH. File system redirection shows a 32-bit process SysWOW64 wherever it names System32.
std::vector<Folder> search_folders() noexcept {
    std::vector<Folder> folders;
    Folder program = folder_from(
        [](wchar_t* b, UINT n) { return static_cast<UINT>(GetModuleFileNameW(nullptr, b, n)); });
    folders.push_back(program.substr(0, program.find_last_of(L"\\/")));
    const Folder wow64 = folder_from(GetSystemWow64DirectoryW);
    folders.push_back(wow64);
    const Folder windows = folder_from(GetWindowsDirectoryW);
    folders.push_back(windows.empty() ? windows : windows + L"\\System");
    folders.push_back(windows);
    // The JVM's SetDllDirectory folder takes the current folder's place, after the program's.
    const Folder directory =
        folder_from([](wchar_t* b, UINT n) { return static_cast<UINT>(GetDllDirectoryW(n, b)); });
    const Folder current = folder_from(
        [](wchar_t* b, UINT n) { return static_cast<UINT>(GetCurrentDirectoryW(n, b)); });
    folders.insert(!directory.empty() || unsafe_search() ? folders.begin() + 1 : folders.end(),
                   directory.empty() ? current : directory);
    std::wstring path(32767, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", &path[0], static_cast<DWORD>(path.size())));
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t end = std::min(path.find(L';', at), path.size());
        if (end > at) {
            folders.push_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    const Folder system32 = folder_from(GetSystemDirectoryW);
    for (Folder& folder : folders) {
        while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) {
            folder.pop_back();
        }
        if (!system32.empty() && folder.size() >= system32.size() &&
            CompareStringOrdinal(folder.c_str(), static_cast<int>(system32.size()),
                                 system32.c_str(), static_cast<int>(system32.size()),
                                 TRUE) == CSTR_EQUAL &&
            (folder.size() == system32.size() || folder[system32.size()] == L'\\')) {
            folder = wow64 + folder.substr(system32.size());
        }
    }
    return folders;
}

enum class Image { None, X86, Foreign, Other };

// What lies at `path`: nothing LoadLibrary would take, a 32-bit x86 image (the machine field of
// its PE header), an image for another machine, or a file that is no image at all.
Image image_at(const std::wstring& path) noexcept {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Image::None;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return Image::Other;
    }
    unsigned char dos[64] = {};
    unsigned char pe[6] = {};
    DWORD got = 0;
    bool image = ReadFile(file, dos, sizeof dos, &got, nullptr) && got == sizeof dos &&
                 dos[0] == 'M' && dos[1] == 'Z';
    if (image) {
        LONG at = static_cast<LONG>(dos[60] | dos[61] << 8 | dos[62] << 16 |
                                    static_cast<unsigned>(dos[63]) << 24);
        image = SetFilePointer(file, at, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                ReadFile(file, pe, sizeof pe, &got, nullptr) && got == sizeof pe &&
                std::memcmp(pe, "PE\0\0", 4) == 0;
    }
    CloseHandle(file);
    return !image                                            ? Image::Other
           : (pe[4] | pe[5] << 8) == IMAGE_FILE_MACHINE_I386 ? Image::X86
                                                             : Image::Foreign;
}

std::string utf8(const std::wstring& text) noexcept {
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(length > 0 ? static_cast<std::size_t>(length) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], length, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}

} // namespace

bool find_32bit_library(const char* file_name, std::string& path, LoadError& why) noexcept {
    const std::wstring name = wide(file_name);
    std::string searched;
    std::string skipped;
    for (const Folder& folder : search_folders()) {
        if (folder.empty()) {
            continue;
        }
        const std::wstring candidate = folder + L"\\" + name;
        // The first image of that name for its machine is the one LoadLibraryA takes: one for
        // another machine (a vendor's x64 folder on PATH before its x86 one) it passes over, and
        // any other file ends its search.
        switch (image_at(candidate)) {
        case Image::X86: {
            // Whole, as the host loads it: PATH may name a folder relative to the current one.
            wchar_t full[MAX_PATH * 4];
            const DWORD length = GetFullPathNameW(candidate.c_str(), MAX_PATH * 4, full, nullptr);
            path =
                utf8(length > 0 && length < MAX_PATH * 4 ? std::wstring(full, length) : candidate);
            return true;
        }
        case Image::Other:
            std::snprintf(why.text, sizeof why.text,
                          "%s, which a 32-bit process finds first, is not a library",
                          utf8(candidate).c_str());
            return false;
        case Image::Foreign:
            skipped += (skipped.empty() ? "" : ", ") + utf8(candidate);
            break;
        case Image::None:
            break;
        }
        searched += (searched.empty() ? "" : "; ") + utf8(folder);
    }
    // What was skipped first: a long PATH may not fit.
    if (skipped.empty()) {
        std::snprintf(why.text, sizeof why.text,
                      "no %s in the folders a 32-bit process searches: %s", file_name,
                      searched.c_str());
    } else {
        std::snprintf(why.text, sizeof why.text,
                      "no 32-bit %s in the folders a 32-bit process searches; skipped, not "
                      "32-bit: %s; searched: %s",
                      file_name, skipped.c_str(), searched.c_str());
    }
    return false;
}
#endif

} // namespace morlane
