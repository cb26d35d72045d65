#include "host/channel.h"

#include <cstring>

namespace morlane::hosted {

bool Sender::add(const void* data, std::size_t size) noexcept {
    if (used_ + size > sizeof buffer_) {
        if (!flush()) {
            return false;
        }
        if (size > sizeof buffer_) {
            return write_all(fd_, data, size);
        }
    }
    std::memcpy(buffer_ + used_, data, size);
    used_ += size;
    return true;
}

bool Sender::flush() noexcept {
    const std::size_t size = used_;
    used_ = 0;
    return size == 0 || write_all(fd_, buffer_, size);
}

} // namespace morlane::hosted
