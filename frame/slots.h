// The bridge's only state: one slot per outside library, process-wide, shared by every Java
// thread. Operations read a slot without locking; start and finish serialize among themselves.
#pragma once

#include "frame/loader.h"

#include <atomic>
#include <mutex>

namespace morlane {

class LibrarySlot {
  public:
    explicit LibrarySlot(const char* file_name) noexcept : file_name_(file_name) {}
    LibrarySlot(const LibrarySlot&) = delete;
    LibrarySlot& operator=(const LibrarySlot&) = delete;

    // The loaded library, or nullptr. Operations call this once per call.
    ModuleHandle handle() const noexcept { return handle_.load(std::memory_order_acquire); }

    // Takes one more load of the library. A failed load is silent and leaves the slot as it was.
    void start() noexcept;

    // Gives back one load; the slot empties with the last one, so a later operation reports
    // "DLL not found" instead of calling into a library that may be gone. No-op when empty.
    void finish() noexcept;

    const char* file_name() const noexcept { return file_name_; }

  private:
    const char* file_name_;
    std::atomic<ModuleHandle> handle_{nullptr};
    int loads_ = 0; // guarded by mutex_
    std::mutex mutex_;
};

LibrarySlot& link_slot() noexcept;
LibrarySlot& corvane_slot() noexcept;

} // namespace morlane
