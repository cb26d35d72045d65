// The bridge's only state: one slot per outside library, process-wide, shared by every Java
// thread.
//
// A slot names the library its operations use: loaded into this process, or served by a host
// process when it cannot be. Every operation holds the slot's library through a SlotUse from
// reading the slot until its outside call has returned, so a finish on another thread can never
// unload a library under a running call: the last finish empties the slot at once, and the
// library itself is released by whichever comes last, that finish or the last operation still
// inside it. Nothing ever waits for a call in flight, so a finish in a shutdown hook returns even
// while a PLC call hangs. Operations take no lock; start, finish and the release serialize on the
// slot's mutex, which no outside call ever runs under.
#pragma once

#include "frame/entry.h"
#include "frame/loader.h"

#include <atomic>
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
#if defined(MORLANE_KEEP_ENTRY)
    // Only in the benchmarks' design floor: entry addresses kept after their first lookup.
    std::atomic<void*> kept[kEntryCount] = {};
#endif
    Library* next_retired = nullptr;
};

// What a slot holds, as the per-thread record reports it.
enum class Mode : int { NotLoaded = 0, InProcess = 1, Hosted = 2 };

class LibrarySlot {
  public:
    explicit LibrarySlot(const char* file_name) noexcept : file_name_(file_name) {}
    LibrarySlot(const LibrarySlot&) = delete;
    LibrarySlot& operator=(const LibrarySlot&) = delete;

    // Takes one more load of the library. A failed load is silent and leaves the slot as it was.
    void start() noexcept;

    // Gives back one load; the slot empties with the last one, so a later operation reports
    // "DLL not found" instead of calling into a library that may be gone. No-op when empty.
    void finish() noexcept;

    // `library` can no longer serve calls (its host process died): the slot empties as at the
    // last finish, so a new start begins afresh. Called by an operation that still holds it.
    void drop(const Library* library) noexcept;

    Mode mode() noexcept;

  private:
    friend class SlotUse;
    // Set in users_ while released libraries wait for the operations still inside them.
    static constexpr std::uint32_t kReclaim = 1u << 31;

    void retire(Library* library) noexcept; // under mutex_
    void reclaim() noexcept;

    const char* file_name_;
    std::atomic<std::uint32_t> users_{0}; // operations in flight, plus kReclaim
    std::atomic<Library*> current_{nullptr};
    std::mutex mutex_;
    int loads_ = 0;              // guarded by mutex_
    Library* retired_ = nullptr; // guarded by mutex_
};

// An operation's hold on a slot's library, from reading the slot until the call has returned.
class SlotUse {
  public:
    explicit SlotUse(LibrarySlot& slot) noexcept : slot_(slot) {
#if !defined(MORLANE_UNGUARDED)
        slot_.users_.fetch_add(1);
#endif
        library_ = slot_.current_.load();
    }
    ~SlotUse() {
#if !defined(MORLANE_UNGUARDED)
        if (slot_.users_.fetch_sub(1) == (LibrarySlot::kReclaim | 1)) {
            slot_.reclaim();
        }
#endif
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
