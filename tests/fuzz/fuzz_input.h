// An input of a fuzz target, read front to back: running out of bytes ends nothing, a missing
// byte reads as 0.
#pragma once

#include <cstddef>
#include <cstdint>

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return pos_ < size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Four bytes, least significant first.
    std::uint32_t u32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<std::uint32_t>(byte()) << (8 * i);
        }
        return value;
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    // Up to `n` bytes as they stand in the input (fewer at its end).
    const std::uint8_t* bytes(std::size_t n, std::size_t& got) {
        got = n < size_ - pos_ ? n : size_ - pos_;
        const std::uint8_t* p = data_ + pos_;
        pos_ += got;
        return p;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};
