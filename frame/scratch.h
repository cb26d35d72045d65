// Per-call scratch storage: on the stack for short blocks, on the heap beyond, freed on every
// path. Short register calls are the common case and should not pay for an allocation.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace morlane {

template <typename T, std::size_t InlineCount = 256> class Scratch {
  public:
    // `count` elements, not initialised; empty (data() == nullptr) if count is negative or the
    // heap cannot supply them.
    explicit Scratch(long count) noexcept {
        if (count < 0) {
            return;
        }
        if (static_cast<std::size_t>(count) <= InlineCount) {
            data_ = inline_;
        } else {
            heap_.reset(new (std::nothrow) T[static_cast<std::size_t>(count)]);
            data_ = heap_.get();
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* data() const noexcept { return data_; }

  private:
    T inline_[InlineCount];
    std::unique_ptr<T[]> heap_;
    T* data_ = nullptr;
};

} // namespace morlane
