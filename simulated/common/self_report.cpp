#include "common/self_report.h"

#include "control/simctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>

#include <tlhelp32.h> // needs windows.h first
#else
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr int kReplySize = 4096; // CVDA_REPLY_SIZE; this file serves the PLC stand-in too

// Only the release's two stand-ins claim the identity: a variant must never pass for them.
#if defined(MORLANE_STAND_IN_RELEASE)
#define IDENTITY MORLANE_STAND_IN_IDENTITY
#else
#define IDENTITY "morlane-stand-in-variant"
#endif

// The file that holds the code at `address`, as the loader mapped it.
std::string file_of(const void* address) {
#if defined(_WIN32)
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return "?";
    std::wstring wide(32768, L'\0');
    DWORD length = GetModuleFileNameW(module, &wide[0], static_cast<DWORD>(wide.size()));
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
    std::string path(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(length), &path[0], bytes,
                        nullptr, nullptr);
    return path;
#else
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return "?";
    char* real = realpath(info.dli_fname, nullptr);
    std::string path = real != nullptr ? real : info.dli_fname;
    std::free(real);
    return path;
#endif
}

const void* own_address() {
    return reinterpret_cast<const void*>(&file_of);
}

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

#if defined(_WIN32)
// The program's requested execution level, read back from its manifest resource.
std::string manifest_level() {
    HMODULE program = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL loaded = found != nullptr ? LoadResource(program, found) : nullptr;
    const char* text = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (text == nullptr)
        return "none";
    std::string manifest(text, SizeofResource(program, found));
    size_t at = manifest.find("level=\"");
    return at == std::string::npos ? "no level"
                                   : manifest.substr(at + 7, manifest.find('"', at + 7) - at - 7);
}

void append_windows(std::string& out, DWORD& ppid, int& threads) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD | TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 thread{};
        thread.dwSize = sizeof thread;
        for (BOOL more = Thread32First(snapshot, &thread); more;
             more = Thread32Next(snapshot, &thread))
            threads += thread.th32OwnerProcessID == GetCurrentProcessId();
        PROCESSENTRY32W process{};
        process.dwSize = sizeof process;
        for (BOOL more = Process32FirstW(snapshot, &process); more;
             more = Process32NextW(snapshot, &process))
            if (process.th32ProcessID == GetCurrentProcessId())
                ppid = process.th32ParentProcessID;
        CloseHandle(snapshot);
    }
    // Whether the job ends the host with the JVM shows only by killing the JVM: a check does so.
    BOOL in_job = FALSE;
    IsProcessInJob(GetCurrentProcess(), nullptr, &in_job);
    TOKEN_ELEVATION elevation{};
    DWORD virtualized = 0, size = 0;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
        GetTokenInformation(token, TokenVirtualizationEnabled, &virtualized, sizeof virtualized,
                            &size);
        CloseHandle(token);
    }
    out += "job=" + std::to_string(in_job ? 1 : 0) +
           "\nelevated=" + std::to_string(elevation.TokenIsElevated != 0 ? 1 : 0) +
           "\nvirtualized=" + std::to_string(virtualized != 0 ? 1 : 0) +
           "\nacp=" + std::to_string(GetACP()) + "\nmanifest=" + manifest_level() + "\n";
}
#endif

std::string self() {
    char thread[32];
    std::snprintf(thread, sizeof thread, "%zx",
                  std::hash<std::thread::id>{}(std::this_thread::get_id()));
    std::string path = file_of(own_address());
    std::string out =
        "stand-in=" IDENTITY "\nfile=" + base_name(path) + "\nthread=" + thread + "\n";
    int threads = 0;
#if defined(_WIN32)
    DWORD ppid = 0;
    append_windows(out, ppid, threads);
    const unsigned long pid = GetCurrentProcessId();
#else
    const long ppid = getppid();
    const unsigned long pid = static_cast<unsigned long>(getpid());
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* task = readdir(tasks))
            threads += task->d_name[0] != '.';
        closedir(tasks);
    }
#endif
    return out + "pid=" + std::to_string(pid) + "\nppid=" + std::to_string(ppid) +
           "\nthreads=" + std::to_string(threads) + "\npath=" + path +
           "\ncompanion=" + file_of(reinterpret_cast<const void*>(&simctl_record)) + "\n";
}

// "<entry>:<number>" split; false when the number is missing or not one.
bool entry_and_number(const std::string& text, std::string& entry, int& number) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    char* end = nullptr;
    long value = std::strtol(text.c_str() + colon + 1, &end, 10);
    entry = text.substr(0, colon);
    number = static_cast<int>(value);
    return *end == '\0';
}

bool script(const std::string& how) {
    std::string entry;
    int number = 0;
    if (how.rfind("delay:", 0) == 0 && entry_and_number(how.substr(6), entry, number))
        simctl_set_delay(entry.c_str(), number);
    else if (how.rfind("status:", 0) == 0 && entry_and_number(how.substr(7), entry, number))
        simctl_script_status(entry.c_str(), number);
    else if (how.rfind("crash:", 0) == 0 && how.size() > 6)
        simctl_script_crash(how.c_str() + 6);
    else if (how == "recording:0" || how == "recording:1")
        simctl_set_recording(how.back() - '0');
    else
        return false;
    return true;
}

#if defined(MORLANE_STAND_IN_RELEASE)
// Says, once per load, which file of the stand-ins this process loaded.
struct Announce {
    Announce() {
        const char* state = std::getenv("MORLANE_SIMCTL_STATE");
        if (state == nullptr || *state == '\0')
            return;
        std::string path = file_of(own_address());
#if defined(_WIN32)
        const unsigned long pid = GetCurrentProcessId();
#else
        const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
        std::string line = IDENTITY "\t" + base_name(path) + "\t" + std::to_string(pid) + "\t" +
                           path + "\t" + file_of(reinterpret_cast<const void*>(&simctl_record)) +
                           "\n";
        std::string name = std::string(state) + ".stand-ins";
#if defined(_WIN32)
        // The state file's name is the environment's ANSI text: open it as such.
        HANDLE file =
            CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(file);
        }
#else
        int file = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (file >= 0) {
            [[maybe_unused]] ssize_t written = write(file, line.data(), line.size());
            close(file);
        }
#endif
    }
} const announce;
#endif

} // namespace

namespace sim {

bool self_report(const char* topic, const char* item, char* reply) {
    if (topic == nullptr || item == nullptr || reply == nullptr || std::strcmp(topic, "sim") != 0)
        return false;
    std::string answer;
    if (std::strcmp(item, "self") == 0)
        answer = self();
    else if (std::strncmp(item, "script:", 7) == 0 && script(item + 7))
        answer = "ok";
    else
        return false;
    std::snprintf(reply, kReplySize, "%s", answer.c_str());
    return true;
}

} // namespace sim
