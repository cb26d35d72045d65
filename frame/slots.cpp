#include "frame/slots.h"

namespace morlane {

void LibrarySlot::start() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    ModuleHandle module = load_module(file_name_);
    if (module == nullptr) {
        return;
    }
    ++loads_;
    handle_.store(module, std::memory_order_release);
}

void LibrarySlot::finish() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loads_ == 0) {
        return;
    }
    ModuleHandle module = handle_.load(std::memory_order_relaxed);
    if (--loads_ == 0) {
        // Empty the slot before the library can go, so no operation picks up a dying handle.
        handle_.store(nullptr, std::memory_order_release);
    }
    release_module(module);
}

LibrarySlot& link_slot() noexcept {
    static LibrarySlot slot("CVDLL1RZ1.dll");
    return slot;
}

LibrarySlot& corvane_slot() noexcept {
    static LibrarySlot slot("CVDAlib.dll");
    return slot;
}

} // namespace morlane
