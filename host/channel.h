// The control channel between the bridge and one host: a socket on POSIX, a named pipe on
// Windows. Reads and writes move whole buffers or fail; a failure means the other side is gone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morlane::hosted {

#if defined(_WIN32)
// On the bridge's side `peer` is the host's process (not owned), whose end also ends every wait
// on the pipe, opened for overlapped I/O; in the host it is null and I/O is synchronous.
struct Channel {
    void* pipe = nullptr;
    void* peer = nullptr;
};
#else
struct Channel {
    int fd = -1;
};
#endif

bool write_all(const Channel& channel, const void* data, std::size_t size) noexcept;
bool read_all(const Channel& channel, void* data, std::size_t size) noexcept;
void close_channel(Channel& channel) noexcept;

// The host's side: the next control message and, with a new mailbox, what came with it (POSIX:
// the memfd; Windows: the section and both events, already this process's; -1 when none came).
// False at end of file or on any error.
struct Handover {
    std::uint32_t kind;
    std::intptr_t handle;
    std::intptr_t events[2];
    std::uint32_t bytes;
};
bool receive_control(const Channel& channel, Handover& message) noexcept;
// Closes what arrived with a message that is not taken up.
void close_handover(Handover& message) noexcept;

#if !defined(_WIN32)
// One message carrying `descriptor` with it (SCM_RIGHTS), as a mailbox is handed to a host.
bool send_with_descriptor(const Channel& channel, const void* data, std::size_t size,
                          int descriptor) noexcept;
#endif

} // namespace morlane::hosted
