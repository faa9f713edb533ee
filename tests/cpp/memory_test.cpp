// The block allocator: alignment, kept large blocks (handed out again only
// for a request of the same size, given back on a call of another size and
// beyond the limit), and release from many threads at once (run under
// ThreadSanitizer and AddressSanitizer in CI).
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>

#include "image/buffer.hpp"
#include "image/memory.hpp"
#include "check.hpp"

namespace {

namespace memory = velkor::memory;

constexpr std::size_t kMiB = std::size_t{1} << 20;

void check(bool ok, const std::string& what) { EXPECT(ok, "%s", what.c_str()); }

bool aligned(void* p, std::size_t unit) { return reinterpret_cast<std::uintptr_t>(p) % unit == 0; }

void alignment() {
    for (std::size_t bytes : {std::size_t{0}, std::size_t{1}, std::size_t{100}, 5 * kMiB, 40 * kMiB}) {
        void* p = memory::allocate(bytes);
        check(p != nullptr, "allocate(" + std::to_string(bytes) + ") returned null");
        check(aligned(p, bytes >= 32 * kMiB ? 2 * kMiB : 64), "alignment of " + std::to_string(bytes));
        if (bytes != 0) std::memset(p, 0xab, bytes);  // the whole block is ours
        memory::release(p);
    }
    memory::release(nullptr);
}

// A block fresh from the kernel reads back zero; a kept one keeps its mark.
bool marked(void* block, std::size_t bytes) {
    auto* bytes_of = static_cast<unsigned char*>(block);
    return bytes_of[0] == 0x5a && bytes_of[bytes - 1] == 0x5a;
}

void mark(void* block, std::size_t bytes) {
    static_cast<unsigned char*>(block)[0] = static_cast<unsigned char>(0x5a);
    static_cast<unsigned char*>(block)[bytes - 1] = static_cast<unsigned char>(0x5a);
}

void reuse() {
#if defined(__GLIBC__)
    memory::begin_call(1);
    void* first = memory::allocate(40 * kMiB);
    memory::release(first);
    void* again = memory::allocate(40 * kMiB);
    check(again == first, "a released large block is handed out again for the same size");
    void* other = memory::allocate(40 * kMiB);
    check(other != again, "one block is never handed out twice");
    void* larger = memory::allocate(44 * kMiB);
    check(larger != again && larger != other, "a larger request never gets a smaller block");

    // Wherever the block's mapping lands (and so wherever inside it malloc
    // puts the aligned block), the same request finds it again.  Mappings
    // of other sizes in between move each new one by a different amount.
    for (std::size_t i = 1; i <= 16; ++i) {
        void* spacer = ::mmap(nullptr, i * 128 * 1024, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        memory::begin_call(100 + i);  // another size: nothing stays kept
        void* block = memory::allocate(40 * kMiB);
        mark(block, 40 * kMiB);
        memory::release(block);
        void* again_here = memory::allocate(40 * kMiB);
        check(again_here == block && marked(again_here, 40 * kMiB),
              "reuse with the mapping moved by " + std::to_string(i) + " x 128 KiB");
        memory::release(again_here);
        ::munmap(spacer, i * 128 * 1024);
    }

    // Several sizes are kept side by side, as one call's working blocks are,
    // through any number of calls on images of one size.
    memory::begin_call(7);
    void* medium = memory::allocate(8 * kMiB);
    memory::release(again);
    memory::release(medium);
    memory::release(larger);
    memory::begin_call(7);
    check(memory::allocate(8 * kMiB) == medium, "a kept heap-sized block comes back");
    check(memory::allocate(40 * kMiB) == again, "a hit leaves the other kept blocks in place");
    check(memory::allocate(44 * kMiB) == larger, "every kept size comes back");

    // A call on another size, however small, gives every kept block back:
    // the next 40 MiB come fresh from the kernel, not marked.
    mark(again, 40 * kMiB);
    memory::release(medium);
    memory::release(again);
    memory::begin_call(1);
    void* fresh = memory::allocate(40 * kMiB);
    check(!marked(fresh, 40 * kMiB), "a call on another size releases the kept blocks");
    memory::release(fresh);

    // Kept blocks never hold more than the limit together: the older one
    // makes room for the newer.
    const std::size_t limit = memory::kept_limit();
    memory::set_kept_limit(60 * kMiB);
    void* old_block = memory::allocate(40 * kMiB);
    mark(old_block, 40 * kMiB);
    memory::release(old_block);
    memory::release(larger);
    void* after = memory::allocate(40 * kMiB);
    check(!marked(after, 40 * kMiB), "the limit gives back the older block");
    check(memory::allocate(44 * kMiB) == larger, "the newer block stays under the limit");
    memory::release(after);
    memory::release(larger);
    memory::release(other);
    memory::set_kept_limit(limit);
#endif
}

// A reused block must still give zeros when asked for them.
void zeroed_after_reuse() {
    constexpr std::size_t count = 40 * kMiB / sizeof(float);
    {
        auto dirty = velkor::Buffer<float>::uninitialized(count);
        std::memset(dirty.data(), 0xff, count * sizeof(float));
    }
    auto clean = velkor::Buffer<float>::zeroed(count);
    bool all_zero = true;
    for (std::size_t i = 0; i < count; i += 4099) all_zero = all_zero && clean[i] == 0.0f;
    check(all_zero && clean[count - 1] == 0.0f, "zeroed buffer over a reused block");
}

void many_threads() {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 20; ++i) {
                std::size_t bytes = (33 + (t + i) % 3) * kMiB;
                auto* p = static_cast<unsigned char*>(memory::allocate(bytes));
                p[0] = p[bytes - 1] = static_cast<unsigned char>(t);
                memory::release(p);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

int main() {
    alignment();
    reuse();
    zeroed_after_reuse();
    many_threads();
    return finish("memory_test");
}
