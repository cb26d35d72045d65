// morlane-host32.exe: started by the bridge as
//   morlane-host32.exe "<library's full path>" <control pipe's name>
// inheriting no handle. Mailboxes arrive over the control channel as handle values (a section and
// two events) already duplicated into this process.
#include "host/serve.h"

#include <string>
#include <windows.h>

namespace {

// A crash inside the library ends this process at once: no error dialog, no debugger, nothing
// that would keep it alive with the bridge's call waiting for an answer that never comes.
LONG WINAPI end_at_once(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

extern "C" int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(end_at_once);
    if (argc != 3) {
        return 2;
    }
    // Identification only: whoever serves the pipe cannot act as this process.
    HANDLE pipe = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    // The path as the loader takes a full path: UTF-8.
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, nullptr, 0, nullptr, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || bytes <= 1) {
        return 2;
    }
    std::string path(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, &path[0], bytes, nullptr, nullptr);
    const int code = morlane::hosted::run_host(path.c_str(), morlane::hosted::Channel{pipe});
    // Threads may still be inside the library: leave without running any of its detach code.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
