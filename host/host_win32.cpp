// morlane-host32.exe: started by the bridge as
//   morlane-host32.exe "<library file name>" <control read handle> <control write handle>
// with those two pipe ends as its only inherited handles. Mailboxes arrive over the control
// channel as handle values (a section and an event) already duplicated into this process.
#include "host/channel_win32.h"
#include "host/protocol.h"
#include "host/serve.h"

#include <cwchar>
#include <string>

namespace morlane::hosted {

bool receive_control(Fd control, ControlMessageIn& message) noexcept {
    wire::ControlMessage raw{};
    if (!read_all(control, &raw, sizeof raw)) {
        return false;
    }
    message.kind = raw.kind;
    message.channel = kNoFd;
    message.events[0] = message.events[1] = 0;
    message.bytes = raw.bytes;
    if (raw.kind == wire::kNewChannel && raw.handle != 0 && raw.events[0] != 0 &&
        raw.events[1] != 0) {
        message.channel = reinterpret_cast<std::intptr_t>(handle_from(raw.handle));
        for (int side = 0; side < 2; ++side) {
            message.events[side] = reinterpret_cast<std::intptr_t>(handle_from(raw.events[side]));
        }
    }
    return true;
}

void close_handover(ControlMessageIn& message) noexcept {
    for (std::intptr_t handle : {message.channel, message.events[0], message.events[1]}) {
        if (handle != kNoFd && handle != 0) {
            CloseHandle(reinterpret_cast<HANDLE>(handle));
        }
    }
    message.channel = kNoFd;
    message.events[0] = message.events[1] = 0;
}

} // namespace morlane::hosted

namespace {

// A crash inside the library ends this process at once: no error dialog, no debugger, nothing
// that would keep it alive with the bridge's call waiting for an answer that never comes.
LONG WINAPI end_at_once(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

bool parse_handle(const wchar_t* text, HANDLE& handle) {
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text, &end, 10);
    if (end == text || *end != L'\0' || value == 0) {
        return false;
    }
    handle = morlane::hosted::handle_from(static_cast<std::uint32_t>(value));
    // Kept from anything the library may start in its turn.
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0) != FALSE;
}

} // namespace

extern "C" int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(end_at_once);
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (argc != 4 || !parse_handle(argv[2], read_end) || !parse_handle(argv[3], write_end)) {
        return 2;
    }
    // Back to the ANSI code page it came from, for LoadLibraryA.
    const int bytes = WideCharToMultiByte(CP_ACP, 0, argv[1], -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return 2;
    }
    std::string file_name(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, argv[1], -1, &file_name[0], bytes, nullptr, nullptr);
    const morlane::hosted::Fd control = morlane::hosted::make_channel(read_end, write_end);
    if (control == morlane::hosted::kNoFd) {
        return 1;
    }
    const int code = morlane::hosted::run_host(file_name.c_str(), control);
    // Threads may still be inside the library: leave without running any of its detach code.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
