#pragma once
// An owned, 64-byte aligned array of plain values.  Kernels allocate their
// outputs and working planes with it; a failed allocation throws
// std::bad_alloc, which the call frame raises as MemoryError.
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "image/memory.hpp"

namespace velkor {

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;

    static Buffer zeroed(std::size_t count) {
        Buffer buffer = uninitialized(count);
        if (count != 0) std::memset(buffer.data(), 0, count * sizeof(T));
        return buffer;
    }

    // Every element must be written before it is read.
    static Buffer uninitialized(std::size_t count) {
        Buffer buffer;
        if (count > max_bytes / sizeof(T)) throw std::bad_alloc();
        // Never null, even when empty, so an empty result still has an address.
        void* block = memory::allocate(count * sizeof(T));
        if (block == nullptr) throw std::bad_alloc();
        buffer.data_.reset(static_cast<T*>(block));
        buffer.size_ = count;
        return buffer;
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

    // Hands the memory to a new owner, who must give it back with
    // memory::release.
    T* release() {
        size_ = 0;
        return data_.release();
    }

private:
    static constexpr std::size_t max_bytes = std::size_t{1} << 62;

    struct Free {
        void operator()(T* p) const { memory::release(p); }
    };
    std::unique_ptr<T[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace velkor
