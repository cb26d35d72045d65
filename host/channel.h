// One end of the control channel between the bridge and a host (calls go through mailboxes): a
// socket on POSIX, a pipe pair's handle on Windows. Reads and writes move whole buffers or fail;
// a failure means the other side is gone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morlane::hosted {

using Fd = std::intptr_t;
constexpr Fd kNoFd = -1;

bool write_all(Fd fd, const void* data, std::size_t size) noexcept;
bool read_all(Fd fd, void* data, std::size_t size) noexcept;
void close_fd(Fd fd) noexcept;

#if !defined(_WIN32)
// One message of `size` bytes carrying `descriptor` with it (SCM_RIGHTS), as a mailbox is handed
// to a host.
bool send_with_descriptor(Fd channel, const void* data, std::size_t size, int descriptor) noexcept;
// Receives one such message: up to `size` bytes, and in `descriptor` the one descriptor that came
// with them, or kNoFd. Every descriptor that came is this process's, so any other (more than one
// in a message) is closed rather than left open for good. The bytes received, or -1.
long receive_with_descriptor(Fd channel, void* data, std::size_t size, Fd& descriptor) noexcept;
#endif

// Gathers what one message is made of and writes it in as few writes as its size allows: a short
// call then costs one write on each side, which is most of its time.
class Sender {
  public:
    explicit Sender(Fd fd) noexcept : fd_(fd) {}
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    bool add(const void* data, std::size_t size) noexcept;
    bool flush() noexcept;

  private:
    Fd fd_;
    std::size_t used_ = 0;
    char buffer_[8192];
};

} // namespace morlane::hosted
