// The bridge's only state: one slot per outside library, process-wide, shared by every Java
// thread.
//
// A slot names the library its operations use: loaded into this process, or served by a host
// process when it cannot be. Every operation holds the slot's library through a SlotUse from
// reading the slot until its outside call has returned, so a finish on another thread can never
// unload a library under a running call: the last finish empties the slot at once, and the
// library itself is released by whichever comes last, that finish or the last operation still
// inside that library. Calls are counted per library, so a released host ends with its own calls
// even while the slot's next library is busy. Nothing ever waits for a call in flight, so a
// finish in a shutdown hook returns even while a PLC call hangs. Operations take no lock; start,
// finish and the release serialize on the slot's mutex, which no outside call ever runs under.
#pragma once

#include "entry/entries.h"
#include "entry/loader.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace morlane {

namespace hosted {
class Host;
}

// One load of an outside library: its module in this process, or the host process serving it.
struct Library {
    ModuleHandle module = nullptr;
    hosted::Host* host = nullptr;
    // Operations inside this load, plus kRetired once the slot no longer names it.
    std::atomic<std::uint32_t> calls{0};
    static constexpr std::uint32_t kRetired = 1u << 31;
    Library* next_retired = nullptr;
};

// What a slot holds, as the per-thread record reports it.
enum class Mode : int { NotLoaded = 0, InProcess = 1, Hosted = 2 };

class LibrarySlot {
  public:
    // The longest reason a failed load is given: this process's, the host's and the jar
    // loader's words.
    static constexpr std::size_t kReasonBytes = 3 * LoadError::kTextBytes + 64;

    explicit LibrarySlot(const char* file_name) noexcept : file_name_(file_name) {}
    LibrarySlot(const LibrarySlot&) = delete;
    LibrarySlot& operator=(const LibrarySlot&) = delete;

    // Takes one more load of the library; false when it could not. A failed load is silent and
    // leaves the slot as it was.
    bool start() noexcept;

    // Adds `text` to the reason of the latest start, when that failed.
    void explain_failure(const char* text) noexcept;

    // Gives back one load; the slot empties with the last one, so a later operation reports
    // "DLL not found" instead of calling into a library that may be gone. No-op when empty.
    void finish() noexcept;

    // `library` can no longer serve calls (its host process died): the slot empties as at the
    // last finish, so a new start begins afresh. Called by an operation that still holds it.
    void drop(const Library* library) noexcept;

    Mode mode() noexcept;

    // Why the latest start could not load the library, in the platform's words: copied into
    // `text` (NUL-terminated, cut to `size`); false, with nothing copied, when it loaded or no
    // start has failed since.
    bool load_failure(char* text, std::size_t size) noexcept;

    // The longest a hosted call may take before its host is ended as if it had crashed; zero for
    // no limit. Applies to calls that begin after it is set.
    void set_deadline(std::chrono::milliseconds deadline) noexcept {
        deadline_ms_.store(deadline.count(), std::memory_order_relaxed);
    }
    std::chrono::milliseconds deadline() const noexcept {
        return std::chrono::milliseconds(deadline_ms_.load(std::memory_order_relaxed));
    }

  private:
    friend class SlotUse;
    // Set in entering_ while released libraries wait for an operation to finish taking hold.
    static constexpr std::uint32_t kReclaim = 1u << 31;

    void retire(Library* library) noexcept; // under mutex_
    void reclaim() noexcept;
    Library* load() noexcept; // under mutex_

    const char* file_name_;
    // Operations between reading current_ and counting themselves in its library, plus kReclaim:
    // while any is there, no retired library may be released.
    std::atomic<std::uint32_t> entering_{0};
    std::atomic<Library*> current_{nullptr};
    std::atomic<std::int64_t> deadline_ms_{0};
    std::mutex mutex_;
    int loads_ = 0;                  // guarded by mutex_
    Library* retired_ = nullptr;     // guarded by mutex_
    char reason_[kReasonBytes] = {}; // guarded by mutex_
};

// An operation's hold on a slot's library, from reading the slot until the call has returned.
class SlotUse {
  public:
    explicit SlotUse(LibrarySlot& slot) noexcept : slot_(slot) {
        slot_.entering_.fetch_add(1);
        library_ = slot_.current_.load();
        if (library_ != nullptr) {
            library_->calls.fetch_add(1);
        }
        if (slot_.entering_.fetch_sub(1) == (LibrarySlot::kReclaim | 1)) {
            slot_.reclaim();
        }
    }
    ~SlotUse() {
        if (library_ != nullptr && library_->calls.fetch_sub(1) == (Library::kRetired | 1)) {
            slot_.reclaim();
        }
    }
    SlotUse(const SlotUse&) = delete;
    SlotUse& operator=(const SlotUse&) = delete;

    // The library the slot held when the operation began, or nullptr when it was empty.
    Library* library() const noexcept {
        return library_;
    }
    LibrarySlot& slot() const noexcept {
        return slot_;
    }

  private:
    LibrarySlot& slot_;
    Library* library_;
};

// Plain globals, made when the bridge is loaded, before the JVM can call into it: an operation
// reaches its slot without the check a function's static would cost on every call.
extern LibrarySlot the_link_slot;
extern LibrarySlot the_corvane_slot;

inline LibrarySlot& link_slot() noexcept {
    return the_link_slot;
}
inline LibrarySlot& corvane_slot() noexcept {
    return the_corvane_slot;
}

} // namespace morlane
