#include "host/channel.h"
#include "host/protocol.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace morlane::hosted {
namespace {

// One sendmsg or recvmsg of a whole message with room for descriptors: one to send; two to
// receive on a 64-bit build (the space is rounded up), so that a second one is seen and closed.
ssize_t transfer(const Channel& channel, bool sending, void* data, std::size_t size,
                 int& descriptor) noexcept {
    iovec bytes{data, size};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &bytes;
    header.msg_iovlen = 1;
    header.msg_control = space;
    header.msg_controllen = sizeof space;
    if (sending) {
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &descriptor, sizeof descriptor);
    }
    ssize_t moved;
    do {
        // MSG_NOSIGNAL: a host that died must show as a failed call, not as SIGPIPE in the JVM.
        moved = sending ? sendmsg(channel.fd, &header, MSG_NOSIGNAL)
                        : recvmsg(channel.fd, &header, MSG_CMSG_CLOEXEC);
    } while (moved < 0 && errno == EINTR);
    if (sending) {
        return moved;
    }
    descriptor = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS ||
            c->cmsg_len < CMSG_LEN(0)) {
            continue;
        }
        // Every descriptor that came is this process's: all but a single one are closed.
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
            if (count == 1 && descriptor == -1) {
                descriptor = fd;
            } else {
                close(fd);
            }
        }
    }
    return moved;
}

bool move_all(const Channel& channel, bool writing, char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t n =
            writing ? send(channel.fd, data, size, MSG_NOSIGNAL) : recv(channel.fd, data, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false; // end of file: the other side is gone
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool write_all(const Channel& channel, const void* data, std::size_t size) noexcept {
    return move_all(channel, true, static_cast<char*>(const_cast<void*>(data)), size);
}

bool read_all(const Channel& channel, void* data, std::size_t size) noexcept {
    return move_all(channel, false, static_cast<char*>(data), size);
}

void close_channel(Channel& channel) noexcept {
    if (channel.fd >= 0) {
        close(channel.fd);
    }
    channel.fd = -1;
}

bool send_with_descriptor(const Channel& channel, const void* data, std::size_t size,
                          int descriptor) noexcept {
    return transfer(channel, true, const_cast<void*>(data), size, descriptor) ==
           static_cast<ssize_t>(size);
}

bool receive_control(const Channel& channel, Handover& message) noexcept {
    wire::ControlMessage raw{};
    int descriptor = -1;
    const ssize_t got = transfer(channel, false, &raw, sizeof raw, descriptor);
    message = Handover{raw.kind, descriptor, {-1, -1}, raw.bytes};
    if (got != static_cast<ssize_t>(sizeof raw)) {
        close_handover(message);
        return false;
    }
    return true;
}

void close_handover(Handover& message) noexcept {
    if (message.handle >= 0) {
        close(static_cast<int>(message.handle));
    }
    message.handle = -1;
}

} // namespace morlane::hosted
