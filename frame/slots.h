// The bridge's only state: one slot per outside library, process-wide, shared by every Java
// thread.
//
// A slot names the library its operations use: loaded into this process, or served by a host
// process when it cannot be. Every operation holds the slot's library through a SlotUse from
// reading the slot until its outside call has returned, so a finish on another thread can never
// unload a library under a running call: the last finish empties the slot at once, and the
// library itself is released by whichever comes last, that finish or the last operation still
// inside that library. Nothing ever waits for a call in flight, so a finish in a shutdown hook
// returns even while a PLC call hangs. An operation takes no lock: it counts itself in and out of
// the library atomically. A library's record is never freed, only kept for the next load, so an
// operation that read the slot just before it emptied counts itself into a record still there,
// then sees that the slot no longer names it and lets go.
#pragma once

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
    // One for the slot while it names the library, one per operation inside it; released at 0.
    std::atomic<int> holds{0};
    Library* spare = nullptr; // the next released record, kept for a later load
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
    Library* hold() noexcept;
    void let_go(Library* library) noexcept;
    // Empties the slot, under mutex_, and gives up its hold on the library: the library, to be
    // released outside the lock, when no operation holds it.
    Library* retire() noexcept;
    Library* load() noexcept; // under mutex_
    void release(Library* library) noexcept;

    const char* file_name_;
    char path_[4096] = {}; // what the latest load loaded: file_name_, or it in the chosen folder
    std::atomic<std::int64_t> deadline_ms_{0};
    // Starts and finishes, which may load a library or start a host, take mutex_; operations
    // none.
    std::mutex mutex_;
    int loads_ = 0;                          // guarded by mutex_
    char reason_[kReasonBytes] = {};         // guarded by mutex_
    std::atomic<Library*> current_{nullptr}; // changed under mutex_
    std::mutex spares_mutex_;
    Library* spares_ = nullptr; // guarded by spares_mutex_
};

// An operation's hold on a slot's library, from reading the slot until the call has returned.
class SlotUse {
  public:
    explicit SlotUse(LibrarySlot& slot) noexcept : slot_(slot), library_(slot.hold()) {}
    ~SlotUse() { slot_.let_go(library_); }
    SlotUse(const SlotUse&) = delete;
    SlotUse& operator=(const SlotUse&) = delete;

    // The library the slot held when the operation began, or nullptr when it was empty.
    Library* library() const noexcept { return library_; }
    LibrarySlot& slot() const noexcept { return slot_; }

  private:
    LibrarySlot& slot_;
    Library* library_;
};

LibrarySlot& link_slot() noexcept;
LibrarySlot& corvane_slot() noexcept;

// Where the loads that begin from now on find the libraries: by bare file name through the
// platform's search (nullptr or ""), or in `folder` (UTF-8 on Windows, the system's bytes
// elsewhere), in process and hosted alike. The environment variable MORLANE_LIBRARY_DIR gives
// the first choice. False, changing nothing, for a folder too long to name a file in.
bool set_library_folder(const char* folder) noexcept;

} // namespace morlane
