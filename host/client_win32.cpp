// Starting and ending a host on Windows.
//
// - The host is morlane-host32.exe in the folder of this DLL, found through GetModuleFileNameW and
//   started with CreateProcessW, so a path with any characters works.
// - Its control channel (two anonymous pipes) is made before it starts. The host's two ends are
//   the only handles it inherits: they are named in PROC_THREAD_ATTRIBUTE_HANDLE_LIST, so none of
//   the JVM's other inheritable handles reaches it. They are inheritable only from just before
//   CreateProcessW until just after it. Call channels are never inheritable: their far ends are
//   duplicated straight into the host.
// - The host runs in a job object of its own with JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE. Only this
//   process holds the job's handle, so when the JVM ends, however abruptly, Windows closes it and
//   the host is killed with it. The host also ends by itself at the end of file on its control
//   channel.
// - CREATE_NO_WINDOW and no standard handles: no console appears, and nothing the host or its
//   library prints can reach the JVM's output.
#include "host/channel_win32.h"
#include "host/process.h"
#include "host/protocol.h"

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>

namespace morlane::hosted {
namespace {

// The system's text for `code`, after `what`, as UTF-8.
void describe(LoadError& why, const char* what, const std::wstring& path, DWORD code) noexcept {
    char where[LoadError::kTextBytes / 2] = {};
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, where, sizeof where - 1, nullptr, nullptr);
    wchar_t message[160] = {};
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       message, static_cast<DWORD>(sizeof message / sizeof message[0]), nullptr);
    while (length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n' ||
                          message[length - 1] == L' ' || message[length - 1] == L'.')) {
        --length;
    }
    message[length] = L'\0';
    char text[LoadError::kTextBytes / 2] = {};
    WideCharToMultiByte(CP_UTF8, 0, message, -1, text, sizeof text - 1, nullptr, nullptr);
    std::snprintf(why.text, sizeof why.text, "%s %s: error %lu%s%s", what, where,
                  static_cast<unsigned long>(code), text[0] != '\0' ? ": " : "", text);
}

// morlane-host32.exe beside the module this code is part of; false, with the reason, when it is
// not there to be started.
bool host_path(std::wstring& path, LoadError& why) noexcept {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&watch_of), &self)) {
        std::snprintf(why.text, sizeof why.text, "the bridge cannot find its own folder");
        return false;
    }
    std::wstring module(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(self, &module[0], static_cast<DWORD>(module.size()));
        if (length == 0) {
            std::snprintf(why.text, sizeof why.text, "the bridge cannot find its own folder");
            return false;
        }
        if (length < module.size()) {
            module.resize(length);
            break;
        }
        if (module.size() >= 32768) { // the longest path Windows knows
            std::snprintf(why.text, sizeof why.text, "the bridge cannot find its own folder");
            return false;
        }
        module.resize(module.size() * 2); // cut short: try again with more room
    }
    const std::size_t slash = module.find_last_of(L"\\/");
    path = (slash == std::wstring::npos ? std::wstring() : module.substr(0, slash + 1)) +
           L"morlane-host32.exe";
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        describe(why, "not found:", path, GetLastError());
        return false;
    }
    return true;
}

// "<host>" <library> <control read handle> <control write handle>, as the host's wmain reads it.
bool command_line(const std::wstring& path, const char* file_name, HANDLE read_end,
                  HANDLE write_end, std::wstring& line) noexcept {
    // The library's file name is the bare name the bridge loads; it crosses in the ANSI code page
    // that the host's LoadLibraryA takes it back in.
    const int wide = MultiByteToWideChar(CP_ACP, 0, file_name, -1, nullptr, 0);
    if (wide <= 1) {
        return false;
    }
    std::wstring name(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, file_name, -1, &name[0], wide);
    name.resize(static_cast<std::size_t>(wide) - 1);
    // Neither a path nor a file name can hold a quotation mark, so plain quoting is enough.
    line = L"\"" + path + L"\" \"" + name + L"\" " + std::to_wstring(handle_value(read_end)) +
           L" " + std::to_wstring(handle_value(write_end));
    return true;
}

void close_all(std::initializer_list<HANDLE> handles) noexcept {
    for (HANDLE h : handles) {
        if (h != nullptr) {
            CloseHandle(h);
        }
    }
}

// A job that kills the host when the last handle to it closes, which at the latest is when this
// process ends. nullptr when Windows refuses one (a JVM inside a job that forbids nesting, before
// Windows 8): the host then still ends at the end of file on its control channel.
HANDLE host_job(HANDLE process) noexcept {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    // A crash in the library ends the host at once, without an error dialog that would keep it
    // alive and the call waiting.
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, process)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

} // namespace

bool spawn_host_process(const char* file_name, const LoadError& in_process, Process& process,
                        LoadError& why) noexcept {
    // Only a library built for the other architecture (ERROR_BAD_EXE_FORMAT: a 32-bit DLL seen
    // from a 64-bit process) is the host's to load; a library that is missing or fails in its own
    // way would fail there as well.
    if (in_process.code != ERROR_BAD_EXE_FORMAT) {
        return false;
    }
    std::wstring path;
    if (!host_path(path, why)) {
        return false;
    }
    // to_host: the bridge writes, the host reads; from_host: the other way.
    HANDLE to_host_read = nullptr, to_host_write = nullptr;
    HANDLE from_host_read = nullptr, from_host_write = nullptr;
    if (!CreatePipe(&to_host_read, &to_host_write, nullptr, 0)) {
        describe(why, "could not start", path, GetLastError());
        return false;
    }
    if (!CreatePipe(&from_host_read, &from_host_write, nullptr, 0)) {
        describe(why, "could not start", path, GetLastError());
        close_all({to_host_read, to_host_write});
        return false;
    }
    std::wstring line;
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::unique_ptr<char[]> list_memory(new (std::nothrow) char[list_size]);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.get());
    HANDLE inherited[2] = {to_host_read, from_host_write};
    bool ready = list != nullptr &&
                 command_line(path, file_name, to_host_read, from_host_write, line) &&
                 InitializeProcThreadAttributeList(list, 1, 0, &list_size);
    const bool list_made = ready;
    ready = ready &&
            UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                      sizeof inherited, nullptr, nullptr) &&
            SetHandleInformation(to_host_read, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) &&
            SetHandleInformation(from_host_write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    PROCESS_INFORMATION started{};
    bool running = false;
    DWORD error = ready ? 0 : GetLastError();
    if (ready) {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        // Standard handles given, all null: the host has none, rather than the JVM's.
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.lpAttributeList = list;
        // Suspended until it is in its job; the environment and the current directory are the
        // JVM's, so that the library search starts from the same place.
        running = CreateProcessW(path.c_str(), &line[0], nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr, nullptr, &startup.StartupInfo, &started) != FALSE;
        error = running ? 0 : GetLastError();
    }
    if (list_made) {
        DeleteProcThreadAttributeList(list);
    }
    // The host has its own copies now; ours would keep its end of file from ever coming.
    close_all({to_host_read, from_host_write});
    if (!running) {
        close_all({to_host_write, from_host_read});
        describe(why, "could not start", path, error);
        return false;
    }
    const HANDLE job = host_job(started.hProcess);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);

    process.id = reinterpret_cast<std::intptr_t>(started.hProcess);
    process.job = reinterpret_cast<std::intptr_t>(job);
    process.control = make_channel(from_host_read, to_host_write);
    if (process.control == kNoFd) {
        // Without a control channel the host sees the end of file and exits.
        kill_host(process);
        while (!reap_host(process)) {
            Sleep(1);
        }
        std::snprintf(why.text, sizeof why.text, "no memory for the host's channel");
        return false;
    }
    return true;
}

bool hand_over_mailbox(Process& process, Mailbox& mailbox, std::uint32_t& answer) noexcept {
    // Copies of the section and both events move into the host; the section's handle is ours no
    // longer (the view stays), the events' we keep, to wake and sleep on.
    const HANDLE host = reinterpret_cast<HANDLE>(process.id);
    const HANDLE self = GetCurrentProcess();
    HANDLE theirs[3] = {};
    const std::intptr_t ours[3] = {mailbox.handle, mailbox.events[0], mailbox.events[1]};
    bool moved = true;
    for (int i = 0; i < 3; ++i) {
        // Once one failed, the rest is not tried: whatever was copied is the host's to close
        // when it ends, since nothing reaches it that would name them.
        moved =
            moved &&
            DuplicateHandle(self, reinterpret_cast<HANDLE>(ours[i]), host, &theirs[i], 0, FALSE,
                            DUPLICATE_SAME_ACCESS | (i == 0 ? DUPLICATE_CLOSE_SOURCE : 0)) != FALSE;
    }
    mailbox.handle = -1;
    if (!moved) {
        // Nothing reached the host that it would answer for: only this call fails.
        answer = wire::kRefused;
        return true;
    }
    const wire::ControlMessage message{wire::kNewChannel,
                                       handle_value(theirs[0]),
                                       {handle_value(theirs[1]), handle_value(theirs[2])},
                                       mailbox.bytes};
    return write_all(process.control, &message, sizeof message) &&
           read_all(process.control, &answer, sizeof answer);
}

std::intptr_t watch_of(const Process& process) noexcept {
    // A handle of the warden's own, which it may wait on while the process handle is closed.
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(process.id),
                         GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0)) {
        return -1;
    }
    return reinterpret_cast<std::intptr_t>(copy);
}

void close_watch(std::intptr_t watch) noexcept {
    CloseHandle(reinterpret_cast<HANDLE>(watch));
}

bool signalled(std::intptr_t watch) noexcept {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(watch), 0) == WAIT_OBJECT_0;
}

std::intptr_t make_wakeup() noexcept {
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
    handles[used++] = reinterpret_cast<HANDLE>(wake);
    for (int i = 0; i < count && used < MAXIMUM_WAIT_OBJECTS; ++i) {
        handles[used++] = reinterpret_cast<HANDLE>(watches[i]);
    }
    WaitForMultipleObjects(used, handles, FALSE,
                           timeout.count() < 0 ? INFINITE : static_cast<DWORD>(timeout.count()));
}

bool await_exit(const Process& process, std::chrono::milliseconds limit) noexcept {
    return process.id != 0 &&
           WaitForSingleObject(reinterpret_cast<HANDLE>(process.id),
                               static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
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
    if (host != nullptr) {
        CloseHandle(host);
    }
    // The job kills whatever is left in it when its handle closes; the host has exited by now.
    if (process.job != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(process.job));
    }
    process.id = 0;
    process.job = 0;
    return true;
}

} // namespace morlane::hosted
