// Mailboxes on Linux: a memfd, sealed so that the host can trust its size, and a shared futex on
// the turn word; the control channel is a socket, mailboxes travel over it as SCM_RIGHTS.
#include "host/mailbox.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <linux/futex.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace morlane::hosted {

bool make_mailbox(std::uint32_t bytes, Mailbox& mailbox) noexcept {
    const int fd = memfd_create("morlane-mailbox", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return false;
    }
    void* base = MAP_FAILED;
    if (ftruncate(fd, bytes) == 0 &&
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0) {
        base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (base == MAP_FAILED) {
        close(fd);
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.header->turn.store(turn::kBridge, std::memory_order_relaxed);
    mailbox.bytes = bytes;
    mailbox.handle = fd;
    return true;
}

bool map_mailbox(std::intptr_t handle, const std::intptr_t*, std::uint32_t bytes,
                 Mailbox& mailbox) noexcept {
    const int fd = static_cast<int>(handle);
    struct stat status {};
    const int seals = fcntl(fd, F_GET_SEALS);
    // A file that could shrink below what is mapped would fault on the first access past its end.
    const bool sound = bytes >= kDataOffset && bytes <= kMostMailboxBytes &&
                       fstat(fd, &status) == 0 && status.st_size == static_cast<off_t>(bytes) &&
                       seals >= 0 && (seals & F_SEAL_SHRINK) != 0;
    void* base =
        sound ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (base == MAP_FAILED) {
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.bytes = bytes;
    mailbox.handle = -1;
    return true;
}

void unmap_mailbox(Mailbox& mailbox) noexcept {
    if (mailbox.header != nullptr) {
        munmap(mailbox.header, mailbox.bytes);
    }
    if (mailbox.handle >= 0) {
        close(static_cast<int>(mailbox.handle));
    }
    mailbox = Mailbox{};
}

void sleep_on(const Mailbox& mailbox, Side, std::uint32_t seen,
              std::chrono::microseconds timeout) noexcept {
    const timespec wait{static_cast<time_t>(timeout.count() / 1000000),
                        static_cast<long>(timeout.count() % 1000000) * 1000};
    // Returns at once (EAGAIN) if the word no longer reads `seen`: the check and the sleep are
    // one step in the kernel.
    syscall(SYS_futex, &mailbox.header->turn, FUTEX_WAIT, seen,
            timeout.count() >= 0 ? &wait : nullptr, nullptr, 0);
}

void wake(const Mailbox& mailbox, Side) noexcept {
    syscall(SYS_futex, &mailbox.header->turn, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

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
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    if (sending) {
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &descriptor, sizeof descriptor);
    }
    ssize_t moved;
    do {
        // Never blocks: a host that has not taken a socket's worth of messages is not reading.
        moved = sending ? sendmsg(channel.fd, &header, MSG_NOSIGNAL | MSG_DONTWAIT)
                        : recvmsg(channel.fd, &header, MSG_CMSG_CLOEXEC);
    } while (moved < 0 && errno == EINTR);
    if (sending) {
        return moved;
    }
    descriptor = -1;
    for (c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        // Every descriptor that came is this process's: all but a single one are closed.
        const bool rights =
            c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len >= CMSG_LEN(0);
        const std::size_t count = rights ? (c->cmsg_len - CMSG_LEN(0)) / sizeof(int) : 0;
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

} // namespace

bool move_all(const Channel& channel, bool writing, char* data, std::size_t size,
              Until until) noexcept {
    const short ready = writing ? POLLOUT : POLLIN;
    while (size > 0) {
        // What the channel holds is taken before the peer's end is looked at: a host may answer
        // and then exit.
        pollfd waits[2] = {{channel.fd, ready, 0}, {channel.peer, POLLIN, 0}};
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        const int timeout = until == Until::max()    ? -1
                            : left.count() <= 0      ? 0
                            : left.count() < INT_MAX ? static_cast<int>(left.count())
                                                     : INT_MAX;
        const int seen = poll(waits, channel.peer >= 0 ? 2 : 1, timeout);
        if (seen < 0 && errno == EINTR) {
            continue;
        }
        if (seen <= 0 || (waits[0].revents == 0 && waits[1].revents != 0)) {
            return false; // the time passed, or the peer ended with nothing left to read
        }
        // MSG_NOSIGNAL: a peer that died must show as a failed call, not as SIGPIPE in the JVM.
        const ssize_t n = writing ? send(channel.fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT)
                                  : recv(channel.fd, data, size, MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            return false; // end of file: the other side is gone
        }
    }
    return true;
}

void close_channel(Channel& channel) noexcept {
    for (int fd : {channel.fd, channel.peer}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    channel = Channel{};
}

bool send_with_descriptor(const Channel& channel, const void* data, std::size_t size,
                          int descriptor) noexcept {
    return transfer(channel, true, const_cast<void*>(data), size, descriptor) ==
           static_cast<ssize_t>(size);
}

Sent send_mailbox(const Channel& control, Mailbox& mailbox, std::uint32_t kind,
                  std::uint32_t sequence, Until) noexcept {
    const wire::ControlMessage message{kind, sequence, mailbox.bytes};
    const bool sent =
        send_with_descriptor(control, &message, sizeof message, static_cast<int>(mailbox.handle));
    close(static_cast<int>(mailbox.handle)); // the mapping stays
    mailbox.handle = -1;
    return sent ? Sent::Yes : Sent::Broken;
}

std::uint32_t receive_control(const Channel& control, Mailbox& box,
                              std::uint32_t& sequence) noexcept {
    wire::ControlMessage message{};
    int descriptor = -1;
    const bool whole = transfer(control, false, &message, sizeof message, descriptor) ==
                       static_cast<ssize_t>(sizeof message);
    if (whole && (message.kind == wire::kNewMailbox || message.kind == wire::kExtension) &&
        descriptor != -1) {
        map_mailbox(descriptor, nullptr, message.bytes, box);
    } else if (descriptor != -1) {
        close(descriptor);
    }
    sequence = message.sequence;
    return whole ? message.kind : 0;
}

} // namespace morlane::hosted
