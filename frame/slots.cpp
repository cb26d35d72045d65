#include "frame/slots.h"

#include "host/client.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace morlane {
namespace {

void release(Library* library) noexcept {
    if (library->module != nullptr) {
        release_module(library->module);
    }
    if (library->host != nullptr) {
        hosted::stop_host(library->host);
    }
    delete library;
}

} // namespace

Library* LibrarySlot::load() noexcept {
    Library* fresh = new (std::nothrow) Library();
    if (fresh == nullptr) {
        std::snprintf(reason_, sizeof reason_, "no memory");
        return nullptr;
    }
    LoadError in_process;
    fresh->module = load_module(file_name_, &in_process);
    if (fresh->module != nullptr) {
        reason_[0] = '\0';
        return fresh;
    }
    // Most often the library is built for the other architecture (a 32-bit DLL seen from a
    // 64-bit JVM): a host process of the library's own kind can load it instead.
    LoadError hosted;
    fresh->host = hosted::start_host(file_name_, hosted);
    if (fresh->host != nullptr) {
        reason_[0] = '\0';
        return fresh;
    }
    delete fresh;
    if (hosted.text[0] == '\0') {
        std::snprintf(reason_, sizeof reason_, "%s", in_process.text);
    } else {
        std::snprintf(reason_, sizeof reason_, "in process: %s; hosted: %s", in_process.text,
                      hosted.text);
    }
    return nullptr;
}

bool LibrarySlot::start() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Library* loaded = current_.load()) {
        // One more load of the same library. In this process the platform counts it too, so the
        // library stays loaded until every load is given back; a host counts nothing itself.
        if (loaded->module != nullptr) {
            LoadError error;
            if (load_module(file_name_, &error) == nullptr) {
                std::snprintf(reason_, sizeof reason_, "%s", error.text);
                return false;
            }
        }
        ++loads_;
        return true;
    }
    Library* fresh = load();
    if (fresh == nullptr) {
        return false;
    }
    loads_ = 1;
    current_.store(fresh);
    return true;
}

void LibrarySlot::explain_failure(const char* text) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t used = std::strlen(reason_);
    if (used > 0) {
        std::snprintf(reason_ + used, sizeof reason_ - used, "; %s", text);
    }
}

void LibrarySlot::finish() noexcept {
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
    }
    reclaim();
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
    // The operation that dropped it still holds it, and releases it when it leaves.
}

Mode LibrarySlot::mode() noexcept {
    SlotUse use(*this);
    const Library* library = use.library();
    if (library == nullptr) {
        return Mode::NotLoaded;
    }
    return library->host != nullptr ? Mode::Hosted : Mode::InProcess;
}

bool LibrarySlot::load_failure(char* text, std::size_t size) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reason_[0] == '\0' || size == 0) {
        return false;
    }
    std::snprintf(text, size, "%s", reason_);
    return true;
}

void LibrarySlot::retire(Library* library) noexcept {
    library->next_retired = retired_;
    retired_ = library;
    library->calls.fetch_or(Library::kRetired);
}

void LibrarySlot::reclaim() noexcept {
    Library* done = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Only when no operation is between reading the slot and counting itself in a library:
        // one that is may be about to count itself in a retired one. It calls back here when it
        // leaves that place, since kReclaim is set.
        entering_.fetch_or(kReclaim);
        std::uint32_t idle = kReclaim;
        if (!entering_.compare_exchange_strong(idle, 0)) {
            return;
        }
        // A retired library with calls still inside stays; its last call calls back here.
        for (Library** link = &retired_; *link != nullptr;) {
            Library* library = *link;
            if (library->calls.load() == Library::kRetired) {
                *link = library->next_retired;
                library->next_retired = done;
                done = library;
            } else {
                link = &library->next_retired;
            }
        }
    }
    // Outside the mutex: ending a host hands it to the warden, and releasing a library in
    // process runs its own code.
    while (done != nullptr) {
        Library* next = done->next_retired;
        release(done);
        done = next;
    }
}

LibrarySlot the_link_slot("CVDLL1RZ1.dll");
LibrarySlot the_corvane_slot("CVDAlib.dll");

} // namespace morlane
