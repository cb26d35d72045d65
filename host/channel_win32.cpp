// The control channel on Windows: one duplex named pipe, which the bridge makes as the only
// instance its name may ever have and its host opens by that name, so nothing is inherited and no
// handle of it crosses processes. Mailboxes' handles are duplicated straight into the host and
// travel as values.
#include "host/channel.h"
#include "host/protocol.h"

#include <initializer_list>
#include <windows.h>

namespace morlane::hosted {
namespace {

// One read or write of at most `size` bytes: the bytes moved, 0 once the other side is gone.
DWORD transfer(const Channel& c, bool writing, char* data, std::size_t size) noexcept {
    const DWORD most = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    DWORD moved = 0;
    if (c.peer == nullptr) {
        // Fails (ERROR_BROKEN_PIPE, ERROR_NO_DATA) once the other side has closed its end.
        const BOOL done = writing ? WriteFile(c.pipe, data, most, &moved, nullptr)
                                  : ReadFile(c.pipe, data, most, &moved, nullptr);
        return done ? moved : 0;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return 0;
    }
    BOOL done = writing ? WriteFile(c.pipe, data, most, nullptr, &overlapped)
                        : ReadFile(c.pipe, data, most, nullptr, &overlapped);
    if (done || GetLastError() == ERROR_IO_PENDING) {
        // Whatever else holds the host's end, the host's death ends the wait; the operation is
        // then cancelled, and waited for, before `overlapped` goes.
        const HANDLE either[2] = {overlapped.hEvent, c.peer};
        if (!done && WaitForMultipleObjects(2, either, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(c.pipe, &overlapped);
        }
        done = GetOverlappedResult(c.pipe, &overlapped, &moved, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return done ? moved : 0;
}

bool move_all(const Channel& channel, bool writing, char* data, std::size_t size) noexcept {
    while (size > 0) {
        const DWORD moved = transfer(channel, writing, data, size);
        if (moved == 0) {
            return false;
        }
        data += moved;
        size -= moved;
    }
    return true;
}

std::intptr_t handle_from(std::uint32_t value) noexcept {
    return value != 0 ? static_cast<std::intptr_t>(value) : -1;
}

} // namespace

bool write_all(const Channel& channel, const void* data, std::size_t size) noexcept {
    return move_all(channel, true, static_cast<char*>(const_cast<void*>(data)), size);
}

bool read_all(const Channel& channel, void* data, std::size_t size) noexcept {
    return move_all(channel, false, static_cast<char*>(data), size);
}

void close_channel(Channel& channel) noexcept {
    if (channel.pipe != nullptr) {
        CloseHandle(channel.pipe);
    }
    channel.pipe = nullptr;
}

bool receive_control(const Channel& channel, Handover& message) noexcept {
    wire::ControlMessage raw{};
    if (!read_all(channel, &raw, sizeof raw)) {
        return false;
    }
    message = Handover{raw.kind, -1, {-1, -1}, raw.bytes};
    if (raw.kind == wire::kNewMailbox && raw.handle != 0 && raw.events[0] != 0 &&
        raw.events[1] != 0) {
        message.handle = handle_from(raw.handle);
        message.events[0] = handle_from(raw.events[0]);
        message.events[1] = handle_from(raw.events[1]);
    }
    return true;
}

void close_handover(Handover& message) noexcept {
    for (std::intptr_t* handle : {&message.handle, &message.events[0], &message.events[1]}) {
        if (*handle != -1) {
            CloseHandle(reinterpret_cast<HANDLE>(*handle));
        }
        *handle = -1;
    }
}

} // namespace morlane::hosted
