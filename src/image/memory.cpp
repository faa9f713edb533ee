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

// glibc's malloc maps every block from 32 MiB on afresh (the ceiling of its
// dynamic mmap threshold, mallopt(3)) and unmaps it when freed, and gives
// the top of its heap back to the kernel once more than twice that is free
// there.  Memory the kernel hands out again must be faulted in and zeroed
// page by page: about 8 ms per 96 MB, a third of a 24-megapixel monochrome
// conversion, and a quarter of a local_contrast at radius 256, whose tables
// are freed at the end of every call.  So blocks of 4 MiB and more get
// policies of their own:
//  - they ask for transparent huge pages (as NumPy does for its large
//    arrays), 512 times fewer faults; from 32 MiB on they also start and end
//    on a huge-page boundary, so that no partial huge page is left to fault
//    in 4 KiB pieces;
//  - a few of the most recently released ones are kept and handed out again
//    for requests of the same size.  Work that repeats its sizes (a batch of
//    same-sized images, a benchmark) then reuses its memory.  A request that
//    no kept block fits means the sizes have changed: it releases them all,
//    so memory stays held only while it is being reused.
namespace velkor::memory {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;  // x86-64's
constexpr std::size_t kKept = std::size_t{4} << 20;       // worth huge pages and keeping
constexpr std::size_t kFreshMapping = std::size_t{32} << 20;
constexpr std::size_t kSlots = 8;  // local_contrast frees five or six per call

constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

// Slots are only ever exchanged atomically: a block in a slot belongs to no
// thread, and one taken out belongs to the thread that took it.  No lock,
// so none that a fork could leave held.
std::atomic<void*> kept[kSlots];

std::size_t usable_size([[maybe_unused]] void* block) {
#if defined(__GLIBC__)
    return ::malloc_usable_size(block);
#else
    return 0;  // never kept: no reuse where the size cannot be read back
#endif
}

// A block serves a request it exceeds by at most 1/64 plus a huge page:
// malloc places a huge-page-aligned block anywhere in a mapping up to one
// alignment larger, so blocks made for one request size differ by up to a
// huge page in usable size, and a slightly larger request may take a
// slightly larger block.
bool fits(void* block, std::size_t bytes) {
    std::size_t usable = usable_size(block);
    return usable >= bytes && usable - bytes <= bytes / 64 + kHugePage;
}

void put_back(std::atomic<void*>& slot, void* block) {
    void* empty = nullptr;
    if (!slot.compare_exchange_strong(empty, block, std::memory_order_acq_rel)) std::free(block);
}

// A kept block for `bytes`, or nullptr.  Every slot is emptied to look at its
// block; the others go back on a hit and are released on a miss.
void* take_kept(std::size_t bytes) {
    void* found = nullptr;
    void* others[kSlots] = {};
    for (std::size_t k = 0; k < kSlots; ++k) {
        void* block = kept[k].exchange(nullptr, std::memory_order_acq_rel);
        if (block == nullptr) continue;
        if (found == nullptr && fits(block, bytes)) {
            found = block;
        } else {
            others[k] = block;
        }
    }
    for (std::size_t k = 0; k < kSlots; ++k) {
        if (others[k] == nullptr) continue;
        if (found != nullptr) {
            put_back(kept[k], others[k]);
        } else {
            std::free(others[k]);
        }
    }
    return found;
}

void keep(void* block) {
    for (std::atomic<void*>& slot : kept) {
        void* empty = nullptr;
        if (slot.compare_exchange_strong(empty, block, std::memory_order_acq_rel)) return;
    }
    // All full: the newest block takes the place of one of the others.
    static std::atomic<std::size_t> next{0};
    std::size_t k = next.fetch_add(1, std::memory_order_relaxed) % kSlots;
    if (void* displaced = kept[k].exchange(block, std::memory_order_acq_rel)) std::free(displaced);
}

// Only advice: a refusal costs speed, nothing else.  The advice covers whole
// pages inside the block, never a neighbour's.
void advise_huge_pages([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (block == nullptr) return;
    auto start = reinterpret_cast<std::uintptr_t>(block);
    std::uintptr_t first_page = round_up(start, kPage);
    ::madvise(reinterpret_cast<void*>(first_page), start + bytes - first_page, MADV_HUGEPAGE);
#endif
}

}  // namespace

void* allocate(std::size_t bytes) {
    // Below the fresh-mapping size, the plain alignment: more would push
    // some requests over glibc's threshold and out of its heap.
    const std::size_t unit = bytes >= kFreshMapping ? kHugePage : kAlignment;
    bytes = round_up(bytes == 0 ? 1 : bytes, unit);
    if (bytes < kKept) return std::aligned_alloc(unit, bytes);
    if (void* block = take_kept(bytes)) return block;
    void* block = std::aligned_alloc(unit, bytes);
    advise_huge_pages(block, bytes);
    return block;
}

void release(void* block) {
    if (block == nullptr) return;
    if (usable_size(block) < kKept) {
        std::free(block);
        return;
    }
    keep(block);
}

}  // namespace velkor::memory
