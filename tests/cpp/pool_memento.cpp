// Every index or position of a loop is visited exactly once, for many sizes,
// both loops, both layouts and several worker counts; pieces keep to the
// halving rules.
#include <atomic>
#include <cstddef>
#include <vector>

#include "parallel/halving.hpp"
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

// One worker is never taken over from, so its budget of 1 allows exactly one
// cut, at len / 2 rounded down.
void check_single_worker_division() {
    WorkerPool pool(1);
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    pool.for_range(101, [&](std::size_t begin, std::size_t end) { pieces.emplace_back(begin, end); });
    POOL_CHECK(pieces.size() == 2, "one worker cut 101 into %zu pieces", pieces.size());
    if (pieces.size() == 2) {
        POOL_CHECK(pieces[0] == std::make_pair(std::size_t{0}, std::size_t{50}) &&
                       pieces[1] == std::make_pair(std::size_t{50}, std::size_t{101}),
                   "pieces [%zu,%zu) [%zu,%zu)", pieces[0].first, pieces[0].second,
                   pieces[1].first, pieces[1].second);
    }
}

void check_one_element_is_never_cut() {
    WorkerPool pool(8);
    std::atomic<int> calls{0};
    pool.for_range(1, [&](std::size_t begin, std::size_t end) {
        calls += begin == 0 && end == 1 ? 1 : 100;
    });
    pool.for_blocks(1, 1, Layout::ColumnMajor, [&](const Block& b) {
        calls += b.row_end - b.row_begin == 1 && b.col_end - b.col_begin == 1 ? 1 : 100;
    });
    POOL_CHECK(calls == 2, "single elements: %d", calls.load());
}

void check_halving_axes() {
    Block tall{0, 5, 0, 3};
    auto row_major = halve(tall, Layout::RowMajor);
    POOL_CHECK(row_major && row_major->first.row_end == 2 && row_major->second.row_begin == 2 &&
                   row_major->first.col_end == 3,
               "row-major 5x3 is cut between rows 2 and 3");
    auto column_major = halve(tall, Layout::ColumnMajor);
    POOL_CHECK(column_major && column_major->first.col_end == 1 &&
                   column_major->second.col_begin == 1 && column_major->first.row_end == 5,
               "column-major 5x3 is cut after column 1");
    auto one_row = halve(Block{4, 5, 2, 9}, Layout::RowMajor);
    POOL_CHECK(one_row && one_row->first.col_end == 5 && one_row->second.col_begin == 5,
               "a single row is cut along its columns at the half rounded down");
    POOL_CHECK(!halve(Block{3, 4, 7, 8}, Layout::RowMajor), "one element cannot be cut");
}

}  // namespace

int main() {
    check_halving_axes();
    check_single_worker_division();
    check_one_element_is_never_cut();
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
