#include "host/channel.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace morlane::hosted {

bool write_all(Fd fd, const void* data, std::size_t size) noexcept {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        // MSG_NOSIGNAL: a host that died must show as a failed call, not as SIGPIPE in the JVM.
        const ssize_t n = send(static_cast<int>(fd), p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool read_all(Fd fd, void* data, std::size_t size) noexcept {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = recv(static_cast<int>(fd), p, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false; // end of file: the other side is gone
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void close_fd(Fd fd) noexcept {
    if (fd != kNoFd) {
        close(static_cast<int>(fd));
    }
}

} // namespace morlane::hosted
