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
