// Every index or position of a loop is visited exactly once, for many sizes,
// both loops, both layouts and several worker counts, by non-empty pieces
// that each walk one contiguous stretch of memory.
#include <atomic>
#include <cstddef>
#include <vector>

#include "parallel/worker_pool.hpp"
#include "pool_check.hpp"

using namespace velkor::parallel;

namespace {

const std::size_t kLengths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 100, 1001, 65539};
const std::size_t kWorkerCounts[] = {1, 2, 3, 7, 8};

void check_range(WorkerPool& pool, std::size_t n) {
    std::vector<std::atomic<int>> visits(n);
    std::atomic<int> bad_pieces{0};
    pool.for_range(n, [&](std::size_t begin, std::size_t end) {
        if (begin >= end || end > n) ++bad_pieces;
        for (std::size_t i = begin; i < end && i < n; ++i) visits[i].fetch_add(1);
    });
    POOL_CHECK(bad_pieces == 0, "N=%zu n=%zu: empty or out-of-range piece", pool.thread_count(), n);
    for (std::size_t i = 0; i < n; ++i) {
        POOL_CHECK(visits[i] == 1, "N=%zu n=%zu: index %zu visited %d times",
                   pool.thread_count(), n, i, visits[i].load());
    }
}

// A row-major piece that spans several rows must span whole rows, and a
// column-major piece that spans several columns whole columns: otherwise a
// body would not walk one contiguous stretch of memory.
bool contiguous(const Block& b, std::size_t rows, std::size_t cols, Layout layout) {
    if (layout == Layout::RowMajor) {
        return b.row_end - b.row_begin == 1 || (b.col_begin == 0 && b.col_end == cols);
    }
    return b.col_end - b.col_begin == 1 || (b.row_begin == 0 && b.row_end == rows);
}

void check_blocks(WorkerPool& pool, std::size_t rows, std::size_t cols, Layout layout) {
    std::vector<std::atomic<int>> visits(rows * cols);
    std::atomic<int> bad_pieces{0};
    pool.for_blocks(rows, cols, layout, [&](const Block& b) {
        bool inside = b.row_begin < b.row_end && b.row_end <= rows && b.col_begin < b.col_end &&
                      b.col_end <= cols;
        if (!inside || !contiguous(b, rows, cols, layout)) {
            ++bad_pieces;
            return;
        }
        for (std::size_t y = b.row_begin; y < b.row_end; ++y)
            for (std::size_t x = b.col_begin; x < b.col_end; ++x) visits[y * cols + x].fetch_add(1);
    });
    const char* name = layout == Layout::RowMajor ? "row-major" : "column-major";
    POOL_CHECK(bad_pieces == 0, "N=%zu %zux%zu %s: bad piece", pool.thread_count(), rows, cols, name);
    for (std::size_t i = 0; i < rows * cols; ++i) {
        POOL_CHECK(visits[i] == 1, "N=%zu %zux%zu %s: position %zu visited %d times",
                   pool.thread_count(), rows, cols, name, i, visits[i].load());
    }
}

}  // namespace

int main() {
    for (std::size_t workers : kWorkerCounts) {
        WorkerPool pool(workers);
        for (std::size_t n : kLengths) check_range(pool, n);
        for (std::size_t rows : {0, 1, 2, 5, 64}) {
            for (std::size_t cols : {0, 1, 3, 33, 200}) {
                check_blocks(pool, rows, cols, Layout::RowMajor);
                check_blocks(pool, rows, cols, Layout::ColumnMajor);
            }
        }
    }
    return pool_test::finish("pool_memento");
}
