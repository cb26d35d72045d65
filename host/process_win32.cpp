// Starting and ending a host on Windows. It inherits no handle at all, so no other child of the
// JVM (a ProcessBuilder inherits every inheritable handle) can hold an end of its channel: a named
// pipe that the host opens by its name, talked on once the process connected is checked to be the
// host. Its job object, whose only handle this process holds, kills it when the JVM ends however
// abruptly. No window and no standard handles: nothing it prints reaches the JVM's output.
#include "host/process.h"

#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace morlane::hosted {
namespace {

// "`what` `path`: error `code`: the system's text for it", as UTF-8.
bool fail_with(LoadError& why, const char* what, const std::wstring& path, DWORD code) noexcept {
    char where[LoadError::kTextBytes / 2] = {};
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, where, sizeof where - 1, nullptr, nullptr);
    wchar_t message[160] = {};
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       message, static_cast<DWORD>(sizeof message / sizeof message[0]), nullptr);
    while (length > 0 && std::wcschr(L"\r\n .", message[length - 1]) != nullptr) {
        --length;
    }
    message[length] = L'\0';
    char text[LoadError::kTextBytes / 2] = {};
    WideCharToMultiByte(CP_UTF8, 0, message, -1, text, sizeof text - 1, nullptr, nullptr);
    return fail(why, "%s %s: error %lu%s%s", what, where, static_cast<unsigned long>(code),
                text[0] != '\0' ? ": " : "", text);
}

// Waits until `host` has opened `pipe` and checks that it is the process connected; false if the
// host ended first or another process connected.
bool connected(HANDLE pipe, HANDLE host) noexcept {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return false;
    }
    bool done =
        ConnectNamedPipe(pipe, &overlapped) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        const HANDLE either[2] = {overlapped.hEvent, host};
        if (WaitForMultipleObjects(2, either, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
        }
        DWORD unused = 0;
        done = GetOverlappedResult(pipe, &overlapped, &unused, TRUE) != FALSE;
    }
    CloseHandle(overlapped.hEvent);
    ULONG client = 0;
    return done && GetNamedPipeClientProcessId(pipe, &client) && client == GetProcessId(host);
}

// A folder a call fills in (up to the longest path Windows knows), or "" when it fails.
template <typename Get> std::wstring filled(Get get) {
    std::wstring text(32768, L'\0');
    const DWORD length = get(&text[0], static_cast<DWORD>(text.size()));
    text.resize(length < text.size() ? length : 0);
    return text;
}

// The JVM's environment, with java.exe's folder and the JVM's SetDllDirectory folder, if any, at
// the front of PATH: the library's own loads by bare name find there what they would in a 32-bit
// JVM, whose search has both, while the host's program folder is the cache. SetDllDirectory in
// the host would take the current folder off its search, and AddDllDirectory counts only with
// LOAD_LIBRARY_SEARCH_* flags, which take PATH off: PATH keeps the rest of the search as it is.
std::wstring host_environment() {
    const std::wstring program =
        filled([](wchar_t* b, DWORD n) { return GetModuleFileNameW(nullptr, b, n); });
    const std::wstring directory =
        filled([](wchar_t* b, DWORD n) { return GetDllDirectoryW(n, b); });
    std::wstring front = program.substr(0, program.find_last_of(L"\\/"));
    front += directory.empty() ? L"" : L";" + directory;
    std::wstring block;
    bool path = false;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* at = strings; at != nullptr && *at != L'\0'; at += std::wcslen(at) + 1) {
        const bool this_path = _wcsnicmp(at, L"PATH=", 5) == 0;
        block += this_path ? std::wstring(at, 5) + front + L";" + (at + 5) : std::wstring(at);
        block.push_back(L'\0');
        path = path || this_path;
    }
    FreeEnvironmentStringsW(strings);
    block += path ? L"" : L"PATH=" + front + std::wstring(1, L'\0');
    block.push_back(L'\0');
    return block;
}

// Full access for this process's user alone, nothing inherited: no other user or session can
// open the pipe, and so none can take its one instance before the host. nullptr when the token
// cannot be read; LocalFree it.
PSECURITY_DESCRIPTOR user_only() noexcept {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t* sid = nullptr;
    const bool named = GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                       ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
    CloseHandle(token);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (named) {
        const std::wstring sddl = L"D:P(A;;GA;;;" + std::wstring(sid) + L")";
        LocalFree(sid);
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                             &descriptor, nullptr);
    }
    return descriptor;
}

// nullptr when Windows refuses a job (a JVM inside a job that forbids nesting, before Windows 8):
// the host then still ends when its control channel closes.
HANDLE host_job(HANDLE process) noexcept {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // A crash ends the host at once, without a dialog; what the library starts stays outside, as
    // it would outlive the JVM in process.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                              JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION |
                                              JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (job != nullptr &&
        (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
         !AssignProcessToJobObject(job, process))) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

} // namespace

bool spawn_host_process(const char* file_name, Process& process, LoadError& why) noexcept {
    // Whatever the load here failed with, a host is worth starting only for a file a 32-bit JVM
    // would load.
    std::string found;
    if (std::strpbrk(file_name, "\\/:") != nullptr) { // in a folder the program chose
        found = file_name;
    } else if (!find_32bit_library(file_name, found, why)) {
        return false;
    }
    HMODULE self = nullptr;
    std::wstring path(32768, L'\0'); // the longest path Windows knows
    const DWORD length = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                            reinterpret_cast<LPCWSTR>(&watch_of), &self)
                             ? GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()))
                             : 0;
    if (length == 0 || length >= path.size()) {
        return fail(why, "the bridge cannot find its own folder");
    }
    path.resize(length);
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"morlane-host32.exe";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return fail_with(why, "not found:", path, GetLastError());
    }
    // A name no other process can guess in time to take it first.
    static std::atomic<unsigned long> count{0};
    unsigned long long random = 0;
    RtlGenRandom(&random, sizeof random);
    wchar_t name[96];
    std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\morlane-%lu-%lu-%016llx",
                  GetCurrentProcessId(), ++count, random);
    // Neither a path nor a pipe name can hold a quotation mark, so plain quoting is enough.
    std::wstring library(found.size() + 1, L'\0');
    const int units = MultiByteToWideChar(CP_UTF8, 0, found.c_str(), -1, &library[0],
                                          static_cast<int>(library.size()));
    library.resize(units > 0 ? static_cast<std::size_t>(units) - 1 : 0);
    std::wstring line = L"\"" + path + L"\" \"" + library + L"\" " + name;
    SECURITY_ATTRIBUTES security{sizeof security, user_only(), FALSE};
    HANDLE pipe =
        security.lpSecurityDescriptor == nullptr
            ? INVALID_HANDLE_VALUE
            : CreateNamedPipeW(
                  name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                  65536, 65536, 0, &security);
    const DWORD made = GetLastError();
    LocalFree(security.lpSecurityDescriptor);
    if (pipe == INVALID_HANDLE_VALUE) {
        return fail_with(why, "could not start", path, made);
    }
    // Standard handles given, all null: the host has none, rather than the JVM's.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION started{};
    // Suspended until it is in its job; the environment (but for PATH's front) and the current
    // directory are the JVM's, as its library would find them in process.
    std::wstring environment = host_environment();
    if (!CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                        &environment[0], nullptr, &startup, &started)) {
        const DWORD error = GetLastError();
        CloseHandle(pipe);
        return fail_with(why, "could not start", path, error);
    }
    process.job = reinterpret_cast<std::intptr_t>(host_job(started.hProcess));
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    process.id = reinterpret_cast<std::intptr_t>(started.hProcess);
    process.control = Channel{pipe, started.hProcess};
    if (!connected(pipe, started.hProcess)) {
        close_channel(process.control);
        kill_host(process);
        WaitForSingleObject(started.hProcess, INFINITE);
        reap_host(process);
        return fail(why, "morlane-host32 ended before it connected to its channel");
    }
    return true;
}

std::intptr_t watch_of(const Process& process) noexcept {
    // A handle of the warden's own, which it may wait on while the process handle is closed.
    HANDLE copy = nullptr;
    return DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(process.id),
                           GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0)
               ? reinterpret_cast<std::intptr_t>(copy)
               : -1;
}

std::intptr_t this_thread_watch() noexcept {
    HANDLE thread = nullptr;
    return DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                           SYNCHRONIZE, FALSE, 0)
               ? reinterpret_cast<std::intptr_t>(thread)
               : -1; // its mailbox is then closed with its host
}

bool signalled(std::intptr_t watch) noexcept {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(watch), 0) == WAIT_OBJECT_0;
}

bool exited(const Process& process) noexcept {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(process.id), 0) == WAIT_OBJECT_0;
}

void close_watch(std::intptr_t watch) noexcept {
    CloseHandle(reinterpret_cast<HANDLE>(watch));
}

std::intptr_t make_wakeup() noexcept {
    // Made for the warden, whose thread runs this module's code until the process ends: pinned,
    // the module stays mapped under it even when the class loader that loaded it is collected.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&make_wakeup), &self);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event != nullptr ? reinterpret_cast<std::intptr_t>(event) : -1;
}

void wakeup(std::intptr_t wake) noexcept {
    SetEvent(reinterpret_cast<HANDLE>(wake));
}

void wait_any(std::intptr_t wake, const std::intptr_t* watches, int count,
              std::chrono::milliseconds timeout) noexcept {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD used = 0;
    for (int i = -1; i < count && used < MAXIMUM_WAIT_OBJECTS; ++i) {
        const std::intptr_t handle = i < 0 ? wake : watches[i];
        if (handle != -1) {
            handles[used++] = reinterpret_cast<HANDLE>(handle);
        }
    }
    WaitForMultipleObjects(used, handles, FALSE,
                           timeout.count() < 0 ? INFINITE : static_cast<DWORD>(timeout.count()));
}

void kill_host(const Process& process) noexcept {
    if (process.id != 0) {
        TerminateProcess(reinterpret_cast<HANDLE>(process.id), 9);
    }
}

bool reap_host(Process& process) noexcept {
    const HANDLE host = reinterpret_cast<HANDLE>(process.id);
    if (host != nullptr && WaitForSingleObject(host, 0) == WAIT_TIMEOUT) {
        return false;
    }
    // The job kills whatever is left in it when its handle closes; the host has exited by now.
    for (const std::intptr_t handle : {process.id, process.job}) {
        if (handle != 0) {
            CloseHandle(reinterpret_cast<HANDLE>(handle));
        }
    }
    process.id = 0;
    process.job = 0;
    return true;
}

} // namespace morlane::hosted
