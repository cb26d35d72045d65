#include "host/channel.h"

#include <cerrno>
#include <cstring>
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

namespace {

// A message's header with room for the descriptors it may carry: one to send; two to receive on a
// 64-bit build (the space is rounded up), so that a second one is seen and closed.
struct FdMessage {
    iovec data;
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};

    FdMessage(void* bytes, std::size_t size) noexcept : data{bytes, size} {
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = space;
        header.msg_controllen = sizeof space;
    }
};

} // namespace

bool send_with_descriptor(Fd channel, const void* data, std::size_t size, int descriptor) noexcept {
    FdMessage message(const_cast<void*>(data), size);
    cmsghdr* rights = CMSG_FIRSTHDR(&message.header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &descriptor, sizeof descriptor);
    ssize_t sent;
    do {
        sent = sendmsg(static_cast<int>(channel), &message.header, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

long receive_with_descriptor(Fd channel, void* data, std::size_t size, Fd& descriptor) noexcept {
    FdMessage message(data, size);
    ssize_t got;
    do {
        got = recvmsg(static_cast<int>(channel), &message.header, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    descriptor = kNoFd;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message.header); c != nullptr;
         c = CMSG_NXTHDR(&message.header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len >= CMSG_LEN(0)) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
                if (count == 1 && descriptor == kNoFd) {
                    descriptor = fd;
                } else {
                    close_fd(fd);
                }
            }
        }
    }
    return static_cast<long>(got);
}

} // namespace morlane::hosted
