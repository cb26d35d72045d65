#include "host/channel_win32.h"

#include <initializer_list>
#include <new>

namespace morlane::hosted {
namespace {

struct Channel {
    HANDLE pipe;
    HANDLE peer;      // the host's process, or nullptr: synchronous I/O
    HANDLE events[2]; // overlapped reads' and writes' own, so that one of each may be under way
};

Channel& channel(Fd fd) noexcept {
    return *reinterpret_cast<Channel*>(fd);
}

// ReadFile and WriteFile count in DWORDs.
constexpr std::size_t kMostPerCall = std::size_t{1} << 30;

DWORD chunk(std::size_t size) noexcept {
    return static_cast<DWORD>(size < kMostPerCall ? size : kMostPerCall);
}

// One read or write of at most `size` bytes; the bytes moved, 0 once the other side is gone.
DWORD transfer(Channel& c, bool writing, char* data, std::size_t size) noexcept {
    DWORD moved = 0;
    if (c.peer == nullptr) {
        // Fails (ERROR_BROKEN_PIPE, ERROR_NO_DATA) once the other side has closed its end.
        const BOOL done = writing ? WriteFile(c.pipe, data, chunk(size), &moved, nullptr)
                                  : ReadFile(c.pipe, data, chunk(size), &moved, nullptr);
        return done ? moved : 0;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = c.events[writing ? 1 : 0];
    const BOOL done = writing ? WriteFile(c.pipe, data, chunk(size), nullptr, &overlapped)
                              : ReadFile(c.pipe, data, chunk(size), nullptr, &overlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    if (!done) {
        // Whatever holds the host's end besides the host, its death ends the wait; the operation
        // is then cancelled, and waited for, before `overlapped` goes.
        const HANDLE either[2] = {overlapped.hEvent, c.peer};
        if (WaitForMultipleObjects(2, either, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(c.pipe, &overlapped);
        }
    }
    return GetOverlappedResult(c.pipe, &overlapped, &moved, TRUE) ? moved : 0;
}

bool move_all(Fd fd, bool writing, char* data, std::size_t size) noexcept {
    while (size > 0) {
        const DWORD moved = transfer(channel(fd), writing, data, size);
        if (moved == 0) {
            return false;
        }
        data += moved;
        size -= moved;
    }
    return true;
}

} // namespace

Fd make_channel(HANDLE pipe, HANDLE peer) noexcept {
    Channel* made = new (std::nothrow) Channel{pipe, nullptr, {nullptr, nullptr}};
    bool ready = made != nullptr;
    if (ready && peer != nullptr) {
        ready = DuplicateHandle(GetCurrentProcess(), peer, GetCurrentProcess(), &made->peer,
                                SYNCHRONIZE, FALSE, 0) != FALSE;
        for (HANDLE& event : made->events) {
            event = ready ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
            ready = ready && event != nullptr;
        }
    }
    if (!ready) {
        if (made != nullptr) {
            close_fd(reinterpret_cast<Fd>(made));
        } else {
            CloseHandle(pipe);
        }
        return kNoFd;
    }
    return reinterpret_cast<Fd>(made);
}

bool write_all(Fd fd, const void* data, std::size_t size) noexcept {
    return move_all(fd, true, static_cast<char*>(const_cast<void*>(data)), size);
}

bool read_all(Fd fd, void* data, std::size_t size) noexcept {
    return move_all(fd, false, static_cast<char*>(data), size);
}

void close_fd(Fd fd) noexcept {
    if (fd == kNoFd) {
        return;
    }
    Channel* closing = &channel(fd);
    for (HANDLE handle : {closing->pipe, closing->peer, closing->events[0], closing->events[1]}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    delete closing;
}

} // namespace morlane::hosted
