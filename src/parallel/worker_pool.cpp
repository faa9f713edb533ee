#include "parallel/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "parallel/halving.hpp"
#include "parallel/task_queue.hpp"

namespace velkor::parallel {
namespace {

// Loops with fewer elements than this run on the submitting thread.  Handing
// a loop over and waking its caller costs several microseconds of futex
// traffic, far more than a body over a handful of pixels; a piece this small
// would never be split anyway beyond a few elements.  The results cannot
// differ: bodies are independent of the thread and of the split.
constexpr std::size_t kInlineElements = 8;

// Rounds an idle worker polls for new work before it sleeps, so loops that
// follow each other closely do not pay for a wake-up each time.
constexpr int kIdleRounds = 64;

constexpr std::size_t kNoWorker = static_cast<std::size_t>(-1);

// One loop in flight.  It lives on the submitting thread's stack, which
// sleeps until `unfinished` has dropped to zero and it has been told so.
struct Loop {
    using PieceRunner = void (*)(const void* body, const Block& piece);
    Loop(PieceRunner runner, const void* loop_body) : run_piece(runner), body(loop_body) {}

    PieceRunner run_piece;
    const void* body;
    std::atomic<std::size_t> unfinished{1};  // pieces handed out, not yet done
    std::atomic<bool> failed{false};
    std::exception_ptr failure;  // written once, by the first body to throw
    std::mutex mutex;
    std::condition_variable finished_signal;
    std::atomic<bool> finished{false};  // set under `mutex`
};

struct Task {
    Loop* loop = nullptr;
    Block piece{};
    std::size_t budget = 0;
    std::size_t offered_by = kNoWorker;
};

void run_range_piece(const void* body, const Block& piece) {
    (*static_cast<const RangeBody*>(body))(piece.col_begin, piece.col_end);
}

void run_block_piece(const void* body, const Block& piece) {
    (*static_cast<const BlockBody*>(body))(piece);
}

void run_body(Loop& loop, const Block& piece) {
    try {
        loop.run_piece(loop.body, piece);
    } catch (...) {
        if (!loop.failed.exchange(true, std::memory_order_relaxed)) {
            loop.failure = std::current_exception();
        }
    }
}

// The last piece to finish wakes the submitter.  Nothing of the loop is
// touched after the lock is released: the submitter may return at once.
void finish_piece(Loop& loop) {
    if (loop.unfinished.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    std::lock_guard lock(loop.mutex);
    loop.finished.store(true, std::memory_order_release);
    loop.finished_signal.notify_one();
}

void name_worker_thread(std::size_t index) {
#if defined(__linux__)
    char name[16];
    std::snprintf(name, sizeof name, "velkor-%zu", index);
    pthread_setname_np(pthread_self(), name);
#else
    (void)index;
#endif
}

}  // namespace

struct WorkerPool::Impl {
    // The pool the current thread works for, if any.
    static thread_local const Impl* current_pool;

    // One per worker that started.  Workers wait for `ready` before they
    // look at the queues or at size(), which are final from then on.
    std::vector<std::unique_ptr<TaskQueue<Task>>> queues;
    TaskQueue<Task> injector;  // loops from outside the pool
    std::vector<std::thread> workers;

    // Tasks sitting in any queue; may dip below zero for a moment, since a
    // task is counted only after it has been queued.
    std::atomic<std::ptrdiff_t> queued{0};
    std::atomic<std::size_t> sleepers{0};
    std::mutex sleep_mutex;
    std::condition_variable wake_signal;
    bool ready = false;     // guarded by sleep_mutex
    bool stopping = false;  // guarded by sleep_mutex

    std::size_t size() const { return queues.size(); }

    // Starting threads one by one until the system refuses one (a thread
    // limit, a limit on address space for their stacks) takes far less time
    // than starting them all only to stop them again, and leaves a pool
    // that works.
    void start(std::size_t threads) {
        queues.reserve(threads);
        workers.reserve(threads);
        std::system_error refusal(std::make_error_code(std::errc::resource_unavailable_try_again));
        for (std::size_t i = 0; i < threads; ++i) {
            queues.push_back(std::make_unique<TaskQueue<Task>>());
            try {
                workers.emplace_back([this, i] { work(i); });
            } catch (const std::system_error& error) {
                queues.pop_back();
                refusal = error;
                break;
            }
        }
        {
            std::lock_guard lock(sleep_mutex);
            ready = true;
        }
        wake_signal.notify_all();
        if (workers.empty()) throw refusal;
    }

    void stop() {
        {
            std::lock_guard lock(sleep_mutex);
            stopping = true;
        }
        wake_signal.notify_all();
        for (std::thread& worker : workers) worker.join();
        workers.clear();
    }

    void work(std::size_t self) {
        current_pool = this;
        name_worker_thread(self);
        {
            std::unique_lock lock(sleep_mutex);
            wake_signal.wait(lock, [&] { return ready || stopping; });
        }
        for (;;) {
            if (std::optional<Task> task = find_task(self)) {
                run_task(self, *task);
            } else if (!wait_for_work()) {
                return;
            }
        }
    }

    std::optional<Task> find_task(std::size_t self) {
        std::optional<Task> task = queues[self]->pop_back();
        if (!task) task = injector.pop_front();
        for (std::size_t k = 1; !task && k < size(); ++k) {
            task = queues[(self + k) % size()]->pop_front();
        }
        if (task) queued.fetch_sub(1, std::memory_order_seq_cst);
        return task;
    }

    // Cuts the piece while its budget lasts, offering each second half to the
    // other workers, then runs what is left.
    void run_task(std::size_t self, Task task) {
        Loop& loop = *task.loop;
        bool taken_over = task.offered_by != kNoWorker && task.offered_by != self;
        Block piece = task.piece;
        std::size_t budget = task.budget;
        while (std::optional<std::pair<Block, Block>> halves = halve(piece)) {
            if (taken_over) {
                budget = std::max(size(), budget / 2);
                taken_over = false;
            } else if (budget > 0) {
                budget /= 2;
            } else {
                break;
            }
            loop.unfinished.fetch_add(1, std::memory_order_relaxed);
            if (!offer(*queues[self], Task{&loop, halves->second, budget, self})) {
                loop.unfinished.fetch_sub(1, std::memory_order_relaxed);
                break;
            }
            piece = halves->first;
        }
        run_body(loop, piece);
        finish_piece(loop);
    }

    bool offer(TaskQueue<Task>& queue, const Task& task) {
        if (!queue.push_back(task)) return false;
        queued.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) > 0) {
            std::lock_guard lock(sleep_mutex);
            wake_signal.notify_one();
        }
        return true;
    }

    // Polls for a while, then sleeps until work is queued.  False when the
    // pool is stopping.  Registering as a sleeper before re-reading `queued`
    // (both sequentially consistent) means a task offered meanwhile is either
    // seen here or its offer sees the sleeper and wakes it.
    bool wait_for_work() {
        for (int round = 0; round < kIdleRounds; ++round) {
            if (queued.load(std::memory_order_relaxed) > 0) return true;
            std::this_thread::yield();
        }
        std::unique_lock lock(sleep_mutex);
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        while (queued.load(std::memory_order_seq_cst) <= 0 && !stopping) wake_signal.wait(lock);
        sleepers.fetch_sub(1, std::memory_order_seq_cst);
        return !stopping;
    }

    // Polls for a while, since short loops finish before a sleep and wake-up
    // would, then sleeps.  Either way the mutex is taken once the loop is
    // finished, so the finishing worker has let go of it before the loop's
    // memory goes away.
    static void wait_until_finished(Loop& loop) {
        for (int round = 0; round < kIdleRounds; ++round) {
            if (loop.finished.load(std::memory_order_acquire)) break;
            std::this_thread::yield();
        }
        std::unique_lock lock(loop.mutex);
        loop.finished_signal.wait(lock, [&] { return loop.finished.load(std::memory_order_relaxed); });
    }

    void run_loop(Loop& loop, const Block& whole, std::size_t elements) {
        if (elements == 0) return;
        if (elements < kInlineElements || current_pool != nullptr) {
            loop.run_piece(loop.body, whole);
            return;
        }
        if (!offer(injector, Task{&loop, whole, size(), kNoWorker})) {
            loop.run_piece(loop.body, whole);
            return;
        }
        wait_until_finished(loop);
        if (loop.failure) std::rethrow_exception(loop.failure);
    }
};

thread_local const WorkerPool::Impl* WorkerPool::Impl::current_pool = nullptr;

WorkerPool::WorkerPool(std::size_t threads) : impl_(std::make_unique<Impl>()) {
    try {
        impl_->start(std::max<std::size_t>(threads, 1));
    } catch (...) {
        impl_->stop();
        throw;
    }
}

WorkerPool::~WorkerPool() { impl_->stop(); }

std::size_t WorkerPool::thread_count() const { return impl_->size(); }

void WorkerPool::for_range(std::size_t n, RangeBody body) {
    Loop loop(run_range_piece, &body);
    impl_->run_loop(loop, Block{0, 1, 0, n}, n);
}

void WorkerPool::for_blocks(std::size_t rows, std::size_t cols, BlockBody body) {
    Loop loop(run_block_piece, &body);
    impl_->run_loop(loop, Block{0, rows, 0, cols}, rows * cols);
}

}  // namespace velkor::parallel
