// morlane-host32 on POSIX: its control channel is fd 3, set up by the bridge before it started.
#include "host/serve.h"

#include <csignal>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    // A bridge that went away must end a write with an error, not the host with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    const int code = morlane::hosted::run_host(argv[1], morlane::hosted::Channel{3});
    // Threads may still be inside the library: leave without running anything of it.
    _exit(code);
}
