// The process-wide pool behind for_range, for_blocks and thread_count.
//
// It is made on the first call that needs it, not at import, with the worker
// count the environment asks for at that moment, and then lives until the
// process exits: it is never destroyed, so no worker can outlive the code it
// runs during interpreter shutdown.  A pool runs with the workers the system
// let it start; only when not one could be started does the call fail, and
// the next call tries again (the limit may have been lifted meanwhile).
//
// After fork() the child has only the forking thread; the parent's workers
// do not exist there.  The child therefore forgets the parent's pool (its
// memory is simply left behind) and makes its own on first use.  The fork
// handlers that do this are registered when the library is loaded: glibc
// runs only the handlers registered before a fork() began, so registering
// them when the pool is first made would miss a fork() racing that first
// call.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <string>
#include <system_error>

#include "error/internal_failure.hpp"
#include "parallel/parallel.hpp"
#include "parallel/thread_count.hpp"
#include "parallel/worker_pool.hpp"

namespace velkor::parallel {
namespace {

constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

std::atomic<WorkerPool*> global{nullptr};
// Guards the creation; held across fork() so that the child never inherits
// it half-way through a creation.
std::mutex creation_mutex;

void lock_for_fork() { creation_mutex.lock(); }
void unlock_after_fork() { creation_mutex.unlock(); }

void forget_pool_in_child() {
    global.store(nullptr, std::memory_order_relaxed);
    creation_mutex.unlock();
}

// Registered once, while the library is loaded.  Should registration fail
// (no memory), a fork() racing the first kernel call could hang the child,
// nothing else.
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(lock_for_fork, unlock_after_fork, forget_pool_in_child);

[[noreturn]] void fail_creation(const std::string& cause) {
    internal_failure(std::string(kNotInitialized) + ": " + cause);
}

WorkerPool& create_pool() {
    std::unique_lock lock(creation_mutex);
    if (WorkerPool* pool = global.load(std::memory_order_acquire)) return *pool;
    std::size_t threads = thread_count_from_environment();
    try {
        WorkerPool* pool = new WorkerPool(threads);
        global.store(pool, std::memory_order_release);
        return *pool;
    } catch (const std::system_error& error) {
        lock.unlock();
        fail_creation("could not start any of " + std::to_string(threads) +
                      " worker threads: " + error.what());
    }
}

WorkerPool& pool() {
    if (WorkerPool* existing = global.load(std::memory_order_acquire)) return *existing;
    return create_pool();
}

}  // namespace

std::size_t thread_count() { return pool().thread_count(); }

void for_range(std::size_t n, RangeBody body) { pool().for_range(n, body); }

void for_blocks(std::size_t rows, std::size_t cols, BlockBody body) {
    pool().for_blocks(rows, cols, body);
}

}  // namespace velkor::parallel
