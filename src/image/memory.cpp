#include "image/memory.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

// glibc's malloc keeps freed blocks below 32 MiB in its heap and hands them
// out again, but maps every block from 32 MiB on afresh (the ceiling of its
// dynamic mmap threshold, mallopt(3)) and unmaps it when freed.  A fresh
// mapping is faulted in and zeroed by the kernel page by page: about 8 ms
// for a 24-megapixel plane, a third of a monochrome conversion.  So large
// blocks get two policies of their own:
//  - they start and end on a huge-page boundary and ask for transparent huge
//    pages (as NumPy does for its large arrays), 512 times fewer faults;
//  - the most recently released one is kept and handed out again for the
//    next request of the same size, as the heap does for smaller blocks.  A
//    pipeline over same-sized images then reuses its planes instead of
//    faulting new ones.  At most one block is held; it is freed when a
//    request of another size comes or another block takes its place.
namespace velkor::memory {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;  // x86-64's
constexpr std::size_t kLarge = std::size_t{32} << 20;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kWorthHugePages = std::size_t{4} << 20;  // as NumPy

constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

// One slot, exchanged atomically: no lock that a fork could leave held.
std::atomic<void*> kept_block{nullptr};

std::size_t usable_size([[maybe_unused]] void* block) {
#if defined(__GLIBC__)
    return ::malloc_usable_size(block);
#else
    return 0;  // never large: no reuse where the size cannot be read back
#endif
}

// The kept block, if it was allocated for `bytes` (a whole number of huge
// pages: blocks of one request size all have the same usable size, and a
// larger request never fits a smaller block).
void* take_kept(std::size_t bytes) {
    void* block = kept_block.exchange(nullptr, std::memory_order_acquire);
    if (block == nullptr) return nullptr;
    std::size_t usable = usable_size(block);
    if (usable >= bytes && usable < bytes + kHugePage) return block;
    std::free(block);
    return nullptr;
}

// Only advice: a refusal costs speed, nothing else.  The advice covers whole
// pages inside the block, never a neighbour's.
void advise_huge_pages([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (block == nullptr || bytes < kWorthHugePages) return;
    auto start = reinterpret_cast<std::uintptr_t>(block);
    std::uintptr_t first_page = round_up(start, kPage);
    ::madvise(reinterpret_cast<void*>(first_page), start + bytes - first_page, MADV_HUGEPAGE);
#endif
}

void* allocate_large(std::size_t bytes) {
    bytes = round_up(bytes, kHugePage);
    if (void* block = take_kept(bytes)) return block;
    void* block = std::aligned_alloc(kHugePage, bytes);
    advise_huge_pages(block, bytes);
    return block;
}

}  // namespace

void* allocate(std::size_t bytes) {
    if (bytes >= kLarge) return allocate_large(bytes);
    // Smaller blocks keep the plain alignment: more would push some requests
    // over glibc's threshold and out of its heap.
    bytes = round_up(bytes == 0 ? 1 : bytes, kAlignment);
    void* block = std::aligned_alloc(kAlignment, bytes);
    advise_huge_pages(block, bytes);
    return block;
}

void release(void* block) {
    if (block == nullptr) return;
    if (usable_size(block) < kLarge) {
        std::free(block);
        return;
    }
    void* previous = kept_block.exchange(block, std::memory_order_acq_rel);
    if (previous != nullptr) std::free(previous);
}

}  // namespace velkor::memory
