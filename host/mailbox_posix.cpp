// Mailboxes on Linux: a memfd, sealed against shrinking so that the host can trust its size, and
// a futex on the turn word (a shared one: the word is in memory two processes map).
#include "host/mailbox.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
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
    // Only a memfd that can no longer shrink below what is mapped is safe to touch: a shorter
    // file would fault on the first access past its end.
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
        mailbox.header = nullptr;
    }
    if (mailbox.handle >= 0) {
        close(static_cast<int>(mailbox.handle));
        mailbox.handle = -1;
    }
}

void sleep_on(const Mailbox& mailbox, Side, std::uint32_t seen,
              std::chrono::microseconds timeout) noexcept {
    timespec wait{};
    if (timeout.count() >= 0) {
        wait.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
        wait.tv_nsec = static_cast<long>(timeout.count() % 1000000) * 1000;
    }
    // Returns at once (EAGAIN) if the word no longer reads `seen`: the check and the sleep are
    // one step in the kernel.
    syscall(SYS_futex, &mailbox.header->turn, FUTEX_WAIT, seen,
            timeout.count() >= 0 ? &wait : nullptr, nullptr, 0);
}

void wake(const Mailbox& mailbox, Side) noexcept {
    syscall(SYS_futex, &mailbox.header->turn, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace morlane::hosted
