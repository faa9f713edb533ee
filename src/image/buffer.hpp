#pragma once
// An owned, 64-byte aligned array of plain values.  Kernels allocate their
// outputs and working planes with it; a failed allocation throws
// std::bad_alloc, which the call frame raises as MemoryError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

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
        std::size_t bytes = round_up(count * sizeof(T), alignment);
        std::size_t align = alignment;
        if (bytes >= always_fresh_mapping) {
            align = huge_page;
            bytes = round_up(bytes, huge_page);
        }
        // Never null, even when empty, so an empty result still has an address.
        void* memory = std::aligned_alloc(align, bytes == 0 ? alignment : bytes);
        if (memory == nullptr) throw std::bad_alloc();
        advise_huge_pages(memory, bytes);
        buffer.data_.reset(static_cast<T*>(memory));
        buffer.size_ = count;
        return buffer;
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }

    // Hands the memory to a new owner, who must free it with std::free.
    T* release() {
        size_ = 0;
        return data_.release();
    }

private:
    static constexpr std::size_t alignment = 64;
    static constexpr std::size_t max_bytes = std::size_t{1} << 62;
    static constexpr std::size_t huge_page_threshold = std::size_t{1} << 22;  // 4 MiB, as NumPy
    static constexpr std::size_t page = 4096;
    static constexpr std::size_t huge_page = std::size_t{1} << 21;  // x86-64's 2 MiB
    // glibc's malloc recycles smaller blocks through its heap once one has
    // been freed, but maps every block from 32 MiB on afresh (the ceiling of
    // its dynamic mmap threshold, mallopt(3)).  Such a buffer is faulted in
    // on every use, so it starts and ends on a huge page boundary: otherwise
    // the partial huge pages at its ends are faulted 4 KiB at a time,
    // hundreds of faults, a tenth of the faulting time of a 96 MB buffer.
    // Smaller buffers keep their plain alignment, which lets glibc recycle
    // them (the extra alignment would push the request over its threshold).
    static constexpr std::size_t always_fresh_mapping = std::size_t{32} << 20;

    static constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) {
        return (bytes + unit - 1) / unit * unit;
    }

    // A large buffer is a fresh mapping, and faulting it in 4 KiB pages
    // costs more than the kernel that fills it.  Asking for transparent huge
    // pages (as NumPy does for its own large arrays) cuts the faults 512-fold.
    // Only advice: refusal changes nothing but speed.
    static void advise_huge_pages([[maybe_unused]] void* memory, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
        if (bytes < huge_page_threshold) return;
        auto start = reinterpret_cast<std::uintptr_t>(memory);
        std::uintptr_t first_page = (start + page - 1) / page * page;
        ::madvise(reinterpret_cast<void*>(first_page), start + bytes - first_page, MADV_HUGEPAGE);
#endif
    }

    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T[], Free> data_;
    std::size_t size_ = 0;
};

}  // namespace velkor
