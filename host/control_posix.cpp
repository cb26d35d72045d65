// The host's control channel on POSIX: fd 3, set up by the bridge before the host started; call
// channels arrive over it as SCM_RIGHTS messages.
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
    if (got != static_cast<ssize_t>(sizeof raw)) {
        return false;
    }
    message.kind = raw.kind;
    message.channel = kNoFd;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len == CMSG_LEN(sizeof(int))) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
            message.channel = fd;
        }
    }
    return true;
}

} // namespace morlane::hosted
