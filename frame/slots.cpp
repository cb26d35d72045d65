#include "frame/slots.h"

#include "host/client.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace morlane {
namespace {

// The folder set_library_folder chose; empty for the platform's search by bare name.
struct Folder {
    std::mutex mutex;
    char name[4000] = {};
};

Folder& library_folder() noexcept {
    static Folder& folder = []() -> Folder& {
        Folder& chosen = *new Folder;
        const char* variable = std::getenv("MORLANE_LIBRARY_DIR");
        if (variable != nullptr && std::strlen(variable) < sizeof chosen.name) {
            std::snprintf(chosen.name, sizeof chosen.name, "%s", variable);
        }
        return chosen;
    }();
    return folder;
}

// The file a load of `file_name` opens: the name alone, or its path in the chosen folder.
void library_path(const char* file_name, char* path, std::size_t size) noexcept {
    Folder& folder = library_folder();
    const std::lock_guard<std::mutex> lock(folder.mutex);
#if defined(_WIN32)
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    if (folder.name[0] == '\0') {
        std::snprintf(path, size, "%s", file_name);
    } else {
        std::snprintf(path, size, "%s%c%s", folder.name, separator, file_name);
    }
}

} // namespace

// Outside every lock: ending a host hands it to the warden, and releasing a library in process
// runs its own code.
void LibrarySlot::release(Library* library) noexcept {
    if (library->module != nullptr) {
        release_module(library->module);
    }
    if (library->host != nullptr) {
        hosted::stop_host(library->host);
    }
    library->module = nullptr;
    library->host = nullptr;
    const std::lock_guard<std::mutex> lock(spares_mutex_);
    library->spare = spares_;
    spares_ = library;
}

Library* LibrarySlot::hold() noexcept {
    for (;;) {
        Library* library = current_.load(std::memory_order_acquire);
        if (library == nullptr) {
            return nullptr;
        }
        // Only into a library something still holds: at 0 it is being released, or spare.
        int holds = library->holds.load(std::memory_order_relaxed);
        while (holds > 0 &&
               !library->holds.compare_exchange_weak(holds, holds + 1, std::memory_order_acq_rel)) {
        }
        if (holds > 0 && current_.load(std::memory_order_acquire) == library) {
            return library;
        }
        if (holds > 0) {
            let_go(library); // emptied meanwhile: look again
        }
    }
}

void LibrarySlot::let_go(Library* library) noexcept {
    if (library != nullptr && library->holds.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        release(library);
    }
}

Library* LibrarySlot::retire() noexcept {
    Library* library = current_.exchange(nullptr, std::memory_order_acq_rel);
    loads_ = 0;
    return library->holds.fetch_sub(1, std::memory_order_acq_rel) == 1 ? library : nullptr;
}

Library* LibrarySlot::load() noexcept {
    Library* fresh = nullptr;
    {
        const std::lock_guard<std::mutex> lock(spares_mutex_);
        fresh = spares_;
        spares_ = fresh != nullptr ? fresh->spare : nullptr;
    }
    fresh = fresh != nullptr ? fresh : new (std::nothrow) Library();
    if (fresh == nullptr) {
        std::snprintf(reason_, sizeof reason_, "no memory");
        return nullptr;
    }
    library_path(file_name_, path_, sizeof path_);
    LoadError in_process;
    fresh->module = load_module(path_, &in_process);
    if (fresh->module != nullptr) {
        return fresh;
    }
    // Most often the library is built for the other architecture (a 32-bit DLL seen from a
    // 64-bit JVM): a host process of the library's own kind can load it instead.
    LoadError hosted;
    fresh->host = hosted::start_host(path_, deadline(), hosted);
    if (fresh->host != nullptr) {
        return fresh;
    }
    release(fresh);
    if (hosted.text[0] == '\0') {
        std::snprintf(reason_, sizeof reason_, "%s", in_process.text);
    } else {
        std::snprintf(reason_, sizeof reason_, "in process: %s; hosted: %s", in_process.text,
                      hosted.text);
    }
    return nullptr;
}

bool LibrarySlot::start() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    reason_[0] = '\0';
    if (loads_ > 0) {
        // One more load of the same library. In this process the platform counts it too, so the
        // library stays loaded until every load is given back; a host counts nothing itself.
        if (current_.load()->module != nullptr) {
            LoadError error;
            if (load_module(path_, &error) == nullptr) {
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
    fresh->holds.store(1, std::memory_order_relaxed); // the slot's
    current_.store(fresh, std::memory_order_release);
    loads_ = 1;
    return true;
}

void LibrarySlot::explain_failure(const char* text) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t used = std::strlen(reason_);
    if (used > 0) {
        std::snprintf(reason_ + used, sizeof reason_ - used, "; %s", text);
    }
}

void LibrarySlot::finish() noexcept {
    Library* idle = nullptr;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (loads_ > 1) {
            --loads_;
            if (current_.load()->module != nullptr) {
                release_module(current_.load()->module); // the library stays: other loads remain
            }
        } else if (loads_ == 1) {
            idle = retire();
        }
    }
    if (idle != nullptr) {
        release(idle);
    }
}

void LibrarySlot::drop(const Library* library) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    // Else dropped already, by another call that saw the host die. The caller still holds it, so
    // retire never hands it back: it is released as the caller leaves.
    if (loads_ > 0 && current_.load() == library) {
        retire();
    }
}

Mode LibrarySlot::mode() noexcept {
    const SlotUse use(*this);
    return use.library() == nullptr         ? Mode::NotLoaded
           : use.library()->host != nullptr ? Mode::Hosted
                                            : Mode::InProcess;
}

bool LibrarySlot::load_failure(char* text, std::size_t size) noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (reason_[0] == '\0' || size == 0) {
        return false;
    }
    std::snprintf(text, size, "%s", reason_);
    return true;
}

// Never destroyed: operations on other threads may still run while the process exits.
LibrarySlot& link_slot() noexcept {
    static LibrarySlot& slot = *new LibrarySlot("CVDLL1RZ1.dll");
    return slot;
}

LibrarySlot& corvane_slot() noexcept {
    static LibrarySlot& slot = *new LibrarySlot("CVDAlib.dll");
    return slot;
}

bool set_library_folder(const char* folder) noexcept {
    Folder& chosen = library_folder();
    const std::size_t length = folder != nullptr ? std::strlen(folder) : 0;
    if (length >= sizeof chosen.name) {
        return false;
    }
    const std::lock_guard<std::mutex> lock(chosen.mutex);
    std::memcpy(chosen.name, length > 0 ? folder : "", length + 1);
    return true;
}

} // namespace morlane
