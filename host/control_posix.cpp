// The host's control channel on POSIX: fd 3, set up by the bridge before the host started;
// mailboxes (memfds) arrive over it as SCM_RIGHTS messages.
#include "host/protocol.h"
#include "host/serve.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace morlane::hosted {

bool receive_control(Fd control, ControlMessageIn& message) noexcept {
    wire::ControlMessage raw{};
    iovec data{&raw, sizeof raw};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = space;
    header.msg_controllen = sizeof space;
    ssize_t got;
    do {
        got = recvmsg(static_cast<int>(control), &header, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    message.kind = raw.kind;
    message.channel = kNoFd;
    // Every descriptor that arrived is this process's now: one alone is the channel, any other
    // (more in one message, or with a short message) is closed rather than left open for good.
    // The space above holds two on a 64-bit build.
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len >= CMSG_LEN(0)) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
                if (count == 1 && message.channel == kNoFd) {
                    message.channel = fd;
                } else {
                    close_fd(fd);
                }
            }
        }
    }
    if (got != static_cast<ssize_t>(sizeof raw)) {
        close_handover(message);
        return false;
    }
    message.event = 0;
    message.bytes = raw.bytes;
    return true;
}

void close_handover(ControlMessageIn& message) noexcept {
    close_fd(message.channel);
    message.channel = kNoFd;
}

} // namespace morlane::hosted
