// A fixed-size, zero-filled array whose first element sits on an Alignment
// boundary.
//
// The block is over-allocated by just enough elements to round its start up
// (three floats for 16 bytes), so plain new[] serves any alignment the vector
// code wants. Allocated once; never resized, never copied.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace vxt {

template <typename T, std::size_t Alignment = 16>
class aligned_buffer {
    static_assert(Alignment % alignof(T) == 0);
    static constexpr std::size_t spare_elements = (Alignment - alignof(T)) / sizeof(T);

public:
    explicit aligned_buffer(std::size_t size) : storage_(new T[size + spare_elements]()), size_(size)
    {
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.get());
        const auto aligned = (address + Alignment - 1) & ~std::uintptr_t{Alignment - 1};
        data_ = storage_.get() + (aligned - address) / sizeof(T);
    }

    aligned_buffer(const aligned_buffer&) = delete;
    aligned_buffer& operator=(const aligned_buffer&) = delete;

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    void zero() noexcept { std::fill_n(data_, size_, T{}); }

private:
    std::unique_ptr<T[]> storage_;
    T* data_;
    std::size_t size_;
};

}  // namespace vxt
