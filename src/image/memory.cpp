#include "image/memory.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
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
//    same-sized images, a benchmark) then reuses its memory.  They must not
//    outlive that work: every kernel call names the size of its image, and
//    the first call on another size, a tiny one included, gives them all
//    back; and together they never hold more than an eighth of the physical
//    memory.
namespace velkor::memory {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;  // x86-64's
constexpr std::size_t kKept = std::size_t{4} << 20;       // worth huge pages and keeping
constexpr std::size_t kFreshMapping = std::size_t{32} << 20;
constexpr std::size_t kSlots = 8;  // local_contrast frees five or six per call
constexpr std::size_t kUnset = static_cast<std::size_t>(-1);

constexpr std::size_t round_up(std::size_t bytes, std::size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

// Slots are only ever exchanged atomically: a block in a slot belongs to no
// thread, and one taken out belongs to the thread that took it.  No lock,
// so none that a fork could leave held.
std::atomic<void*> kept[kSlots];
// Usable bytes of the blocks in the slots (and of those on their way in).
std::atomic<std::size_t> kept_bytes{0};
std::atomic<std::size_t> limit{kUnset};
std::atomic<std::size_t> current_call_pixels{kUnset};

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

std::size_t physical_memory_eighth() {
#if defined(_SC_PHYS_PAGES)
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page > 0) return static_cast<std::size_t>(pages) / 8 * static_cast<std::size_t>(page);
#endif
    return 0;  // unknown: keep nothing
}

// Frees a block taken out of a slot.
void drop(void* block) {
    kept_bytes.fetch_sub(usable_size(block), std::memory_order_relaxed);
    std::free(block);
}

void put_back(std::atomic<void*>& slot, void* block) {
    void* empty = nullptr;
    if (!slot.compare_exchange_strong(empty, block, std::memory_order_acq_rel)) drop(block);
}

// A kept block for `bytes`, or nullptr.  The blocks that do not fit stay.
void* take_kept(std::size_t bytes) {
    for (std::atomic<void*>& slot : kept) {
        void* block = slot.exchange(nullptr, std::memory_order_acq_rel);
        if (block == nullptr) continue;
        if (fits(block, bytes)) {
            kept_bytes.fetch_sub(usable_size(block), std::memory_order_relaxed);
            return block;
        }
        put_back(slot, block);
    }
    return nullptr;
}

void release_kept() {
    for (std::atomic<void*>& slot : kept) {
        if (void* block = slot.exchange(nullptr, std::memory_order_acq_rel)) drop(block);
    }
}

void keep(void* block) {
    const std::size_t size = usable_size(block);
    const std::size_t most = kept_limit();
    if (size > most) {
        std::free(block);
        return;
    }
    // Counted before it is placed, so that concurrent keeps see each other;
    // older blocks make room for it.
    std::size_t total = kept_bytes.fetch_add(size, std::memory_order_relaxed) + size;
    for (std::size_t k = 0; total > most && k < kSlots; ++k) {
        if (void* older = kept[k].exchange(nullptr, std::memory_order_acq_rel)) {
            const std::size_t older_size = usable_size(older);
            std::free(older);
            total = kept_bytes.fetch_sub(older_size, std::memory_order_relaxed) - older_size;
        }
    }
    if (total > most) {
        drop(block);
        return;
    }
    for (std::atomic<void*>& slot : kept) {
        void* empty = nullptr;
        if (slot.compare_exchange_strong(empty, block, std::memory_order_acq_rel)) return;
    }
    // All full: the newest block takes the place of one of the others.
    static std::atomic<std::size_t> next{0};
    std::size_t k = next.fetch_add(1, std::memory_order_relaxed) % kSlots;
    if (void* displaced = kept[k].exchange(block, std::memory_order_acq_rel)) drop(displaced);
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

void begin_call(std::size_t pixels) {
    if (current_call_pixels.exchange(pixels, std::memory_order_relaxed) != pixels) release_kept();
}

std::size_t kept_limit() {
    std::size_t value = limit.load(std::memory_order_relaxed);
    if (value != kUnset) return value;
    const std::size_t computed = physical_memory_eighth();
    // Racing first callers compute the same value; the first one stays.
    return limit.compare_exchange_strong(value, computed, std::memory_order_relaxed) ? computed : value;
}

void set_kept_limit(std::size_t bytes) {
    limit.store(bytes, std::memory_order_relaxed);
    release_kept();
}

}  // namespace velkor::memory
