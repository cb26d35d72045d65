// Per-call scratch storage: on the stack for short blocks, on the heap beyond, freed on every
// path. Short register calls are the common case and should not pay for an allocation.
#pragma once

#include <cstddef>
#include <new>

namespace morlane {

template <typename T, std::size_t InlineCount> class Scratch {
  public:
    enum class Fill { Zero, None };

    // A buffer of `count` elements, zero-filled unless the caller overwrites every element
    // itself (Fill::None); empty (data() == nullptr) if count is negative or the heap cannot
    // supply it.
    explicit Scratch(long count, Fill fill = Fill::Zero) noexcept {
        if (count < 0) {
            return;
        }
        const std::size_t n = static_cast<std::size_t>(count);
        if (n <= InlineCount) {
            data_ = inline_;
        } else {
            heap_ = new (std::nothrow) T[n];
            data_ = heap_;
        }
        if (data_ != nullptr && fill == Fill::Zero) {
            for (std::size_t i = 0; i < n; ++i) {
                data_[i] = T();
            }
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { delete[] heap_; }

    T* data() const noexcept { return data_; }

  private:
    T inline_[InlineCount];
    T* heap_ = nullptr;
    T* data_ = nullptr;
};

} // namespace morlane
