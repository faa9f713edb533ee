// A body that throws loses only the rest of its own piece; every other piece
// runs to its end; one exception reaches the submitting thread; the pool
// goes on working.
#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/worker_pool.hpp"
#include "pool_check.hpp"

using namespace velkor::parallel;

namespace {

constexpr std::size_t kLength = 10000;

void check_one_failing_index(WorkerPool& pool, std::size_t failing) {
    std::vector<std::atomic<int>> visits(kLength);
    std::atomic<std::size_t> failed_piece_end{0};
    std::string message;
    try {
        pool.for_range(kLength, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i == failing) {
                    failed_piece_end = end;
                    throw std::runtime_error("index " + std::to_string(i));
                }
                visits[i].fetch_add(1);
            }
        });
    } catch (const std::runtime_error& error) {
        message = error.what();
    }
    POOL_CHECK(message == "index " + std::to_string(failing), "N=%zu: rethrown '%s'",
               pool.thread_count(), message.c_str());
    // Exactly the tail of the failing piece is missing.
    for (std::size_t i = 0; i < kLength; ++i) {
        bool lost = i >= failing && i < failed_piece_end;
        POOL_CHECK(visits[i] == (lost ? 0 : 1), "N=%zu fail at %zu: index %zu visited %d times",
                   pool.thread_count(), failing, i, visits[i].load());
    }
}

// Every piece throws: one of the exceptions arrives, and no piece was
// skipped (each reached its start).
void check_every_piece_failing(WorkerPool& pool) {
    std::atomic<std::size_t> covered{0};
    int caught = 0;
    try {
        pool.for_blocks(300, 200, Layout::ColumnMajor, [&](const Block& b) {
            covered += (b.row_end - b.row_begin) * (b.col_end - b.col_begin);
            throw std::logic_error("piece");
        });
    } catch (const std::logic_error&) {
        ++caught;
    }
    POOL_CHECK(caught == 1, "N=%zu: caught %d", pool.thread_count(), caught);
    POOL_CHECK(covered == 300 * 200, "N=%zu: pieces cover %zu positions", pool.thread_count(),
               covered.load());
}

void check_still_usable(WorkerPool& pool) {
    std::atomic<std::size_t> sum{0};
    pool.for_range(kLength, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) sum += i;
    });
    POOL_CHECK(sum == kLength * (kLength - 1) / 2, "N=%zu: pool broken after failures",
               pool.thread_count());
}

void check_small_loop_failure(WorkerPool& pool) {
    bool caught = false;
    try {
        pool.for_range(1, [](std::size_t, std::size_t) { throw std::out_of_range("one"); });
    } catch (const std::out_of_range&) {
        caught = true;
    }
    POOL_CHECK(caught, "N=%zu: a one-element loop's exception is lost", pool.thread_count());
}

}  // namespace

int main() {
    for (std::size_t workers : {1, 2, 4, 7}) {
        WorkerPool pool(workers);
        for (std::size_t failing : {std::size_t{0}, std::size_t{4999}, kLength - 1}) {
            check_one_failing_index(pool, failing);
        }
        check_every_piece_failing(pool);
        check_small_loop_failure(pool);
        check_still_usable(pool);
    }
    return pool_test::finish("pool_exceptions");
}
