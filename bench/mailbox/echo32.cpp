// The 32-bit side of the benchmark's floor mechanism (floor.cpp): serves each mailbox whose memfd
// it inherits, named by number on its command line, on a thread of its own, as morlane-host32
// serves its mailboxes; a call is a copy of the 64-byte message into the reply area.
#include "host/mailbox.h"
#include "host/thread.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace morlane::hosted;

constexpr std::uint32_t kMessageBytes = 64;

void serve(void* argument) {
    const Mailbox box = *static_cast<Mailbox*>(argument);
    delete static_cast<Mailbox*>(argument);
    for (;;) {
        const std::uint32_t now = await_turn(
            box, Side::Host, [](std::uint32_t t) { return t != turn::kBridge; },
            std::chrono::steady_clock::time_point::max());
        if (now != turn::kHost) {
            _exit(0);
        }
        std::memcpy(box.at(kDataOffset + kMessageBytes), box.at(kDataOffset), kMessageBytes);
        hand_over(box, turn::kBridge);
    }
}

} // namespace

int main(int argc, char** argv) {
    // Nobody closes the mailboxes at the benchmark's end: the echo ends with the JVM.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int i = 1; i < argc; ++i) {
        Mailbox* box = new Mailbox();
        if (!map_mailbox(std::atoi(argv[i]), 0, kMailboxBytes, *box) ||
            !start_thread(serve, box, wire::kServingStackBytes)) {
            return 1;
        }
    }
    for (;;) {
        pause();
    }
}
