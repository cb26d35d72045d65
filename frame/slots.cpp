#include "frame/slots.h"

#include "host/client.h"

#include <new>
#include <utility>

namespace morlane {
namespace {

void release(Library* library) noexcept {
    while (library != nullptr) {
        Library* next = library->next_retired;
        if (library->module != nullptr) {
            release_module(library->module);
        }
        if (library->host != nullptr) {
            hosted::stop_host(library->host);
        }
        delete library;
        library = next;
    }
}

} // namespace

void LibrarySlot::start() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Library* loaded = current_.load()) {
        // One more load of the same library. In this process the platform counts it too, so the
        // library stays loaded until every load is given back; a host counts nothing itself.
        if (loaded->module != nullptr && load_module(file_name_) == nullptr) {
            return;
        }
        ++loads_;
        return;
    }
    Library* fresh = new (std::nothrow) Library();
    if (fresh == nullptr) {
        return;
    }
    fresh->module = load_module(file_name_);
    if (fresh->module == nullptr) {
        // Most often the library is built for the other architecture (a 32-bit DLL seen from a
        // 64-bit JVM): a host process of the library's own kind can load it instead.
        fresh->host = hosted::start_host(file_name_);
    }
    if (fresh->module == nullptr && fresh->host == nullptr) {
        delete fresh;
        return;
    }
    loads_ = 1;
    current_.store(fresh);
}

void LibrarySlot::finish() noexcept {
    Library* done = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loads_ == 0) {
            return;
        }
        Library* loaded = current_.load();
        if (--loads_ > 0) {
            if (loaded->module != nullptr) {
                release_module(loaded->module); // the library stays: other loads remain
            }
            return;
        }
        current_.store(nullptr);
        retire(loaded);
#if defined(MORLANE_UNGUARDED)
        done = std::exchange(retired_, nullptr);
#else
        std::uint32_t idle = kReclaim;
        if (users_.compare_exchange_strong(idle, 0)) {
            done = std::exchange(retired_, nullptr);
        }
#endif
    }
    release(done);
}

void LibrarySlot::drop(const Library* library) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    Library* loaded = current_.load();
    if (loaded != library) {
        return; // already dropped by another call that saw the host die
    }
    current_.store(nullptr);
    loads_ = 0;
    retire(loaded);
}

Mode LibrarySlot::mode() noexcept {
    SlotUse use(*this);
    const Library* library = use.library();
    if (library == nullptr) {
        return Mode::NotLoaded;
    }
    return library->host != nullptr ? Mode::Hosted : Mode::InProcess;
}

void LibrarySlot::retire(Library* library) noexcept {
    library->next_retired = retired_;
    retired_ = library;
    // From here the operation that leaves last releases what is retired (see reclaim).
    users_.fetch_or(kReclaim);
}

void LibrarySlot::reclaim() noexcept {
    Library* done = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Only when no operation is inside any more: one that entered since then holds at most
        // the current library, never a retired one, and reclaims in its turn when it leaves.
        std::uint32_t idle = kReclaim;
        if (!users_.compare_exchange_strong(idle, 0)) {
            return;
        }
        done = std::exchange(retired_, nullptr);
    }
    release(done);
}

LibrarySlot the_link_slot("CVDLL1RZ1.dll");
LibrarySlot the_corvane_slot("CVDAlib.dll");

} // namespace morlane
