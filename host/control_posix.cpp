// The host's control channel on POSIX: fd 3, set up by the bridge before the host started;
// mailboxes (memfds) arrive over it as SCM_RIGHTS messages.
#include "host/protocol.h"
#include "host/serve.h"

namespace morlane::hosted {

bool receive_control(Fd control, ControlMessageIn& message) noexcept {
    wire::ControlMessage raw{};
    const long got = receive_with_descriptor(control, &raw, sizeof raw, message.channel);
    message.kind = raw.kind;
    if (got != static_cast<long>(sizeof raw)) {
        close_handover(message);
        return false;
    }
    message.events[0] = message.events[1] = 0;
    message.bytes = raw.bytes;
    return true;
}

void close_handover(ControlMessageIn& message) noexcept {
    close_fd(message.channel);
    message.channel = kNoFd;
}

} // namespace morlane::hosted
