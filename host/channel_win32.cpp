#include "host/channel_win32.h"

#include <new>

namespace morlane::hosted {
namespace {

struct Pipes {
    HANDLE read_end;
    HANDLE write_end;
};

Pipes& pipes(Fd fd) noexcept {
    return *reinterpret_cast<Pipes*>(fd);
}

// ReadFile and WriteFile count in DWORDs.
constexpr std::size_t kMostPerCall = std::size_t{1} << 30;

DWORD chunk(std::size_t size) noexcept {
    return static_cast<DWORD>(size < kMostPerCall ? size : kMostPerCall);
}

} // namespace

Fd make_channel(HANDLE read_end, HANDLE write_end) noexcept {
    Pipes* made = new (std::nothrow) Pipes{read_end, write_end};
    if (made == nullptr) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        return kNoFd;
    }
    return reinterpret_cast<Fd>(made);
}

bool write_all(Fd fd, const void* data, std::size_t size) noexcept {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        // Fails (ERROR_NO_DATA, ERROR_BROKEN_PIPE) once the reading side has closed its end,
        // which is how a host that died shows up here.
        if (!WriteFile(pipes(fd).write_end, p, chunk(size), &written, nullptr) || written == 0) {
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

bool read_all(Fd fd, void* data, std::size_t size) noexcept {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        DWORD got = 0;
        // ERROR_BROKEN_PIPE is the end of file: every write end is closed, the other side is gone.
        if (!ReadFile(pipes(fd).read_end, p, chunk(size), &got, nullptr) || got == 0) {
            return false;
        }
        p += got;
        size -= got;
    }
    return true;
}

void close_fd(Fd fd) noexcept {
    if (fd == kNoFd) {
        return;
    }
    Pipes* closing = &pipes(fd);
    CloseHandle(closing->read_end);
    CloseHandle(closing->write_end);
    delete closing;
}

} // namespace morlane::hosted
