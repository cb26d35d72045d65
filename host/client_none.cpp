// Builds that load every library they can use in process (a 32-bit bridge) start no host.
#include "host/client.h"

namespace morlane::hosted {

Host* start_host(const char*, LoadError&) noexcept {
    return nullptr;
}

Reach call(Host&, Entry, Call&, int&, std::chrono::milliseconds) noexcept {
    return Reach::Lost;
}

Reach lookup(Host&, Entry, std::chrono::milliseconds) noexcept {
    return Reach::Lost;
}

std::uint32_t text_code_page(const Host&) noexcept {
    return 0;
}

void stop_host(Host*) noexcept {}

} // namespace morlane::hosted
