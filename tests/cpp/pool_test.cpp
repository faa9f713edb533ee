// The worker pool: the worker count from the environment; every index or
// position of a loop visited exactly once by non-empty pieces that each walk
// one contiguous stretch of memory; a throwing body; many submitters at
// once.  Kernels after fork() are checked from Python (test_fork.py).
#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "check.hpp"
#include "parallel/parallel.hpp"
#include "parallel/thread_count.hpp"
#include "parallel/worker_pool.hpp"

using namespace velkor::parallel;

namespace {

using Text = std::optional<std::string_view>;

void thread_counts() {
    const std::pair<std::string_view, std::optional<std::uint64_t>> parses[] = {
        {"4", 4}, {"+4", 4}, {"0", 0}, {"+0", 0}, {"007", 7}, {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", {}}, {"", {}}, {"+", {}}, {"++4", {}}, {" 4", {}}, {"4 ", {}}, {"-4", {}},
        {"-0", {}}, {"4.0", {}}, {"0x10", {}}, {"4\n", {}}};
    for (auto [text, expected] : parses) EXPECT(parse_thread_count(text) == expected, "parse '%s'", text.data());
    struct Choice { Text num_threads, rs_num_cpus; std::size_t available, expected; };
    const Choice choices[] = {
        {{}, {}, 6, 6}, {"3", "5", 6, 3}, {"0", "5", 6, 6},  // 0 asks for the default and ends the search
        {"abc", "5", 6, 5}, {"-4", {}, 6, 6}, {"", "2", 6, 2}, {{}, "0", 6, 6}, {{}, "x", 6, 6},
        {"70000", {}, 6, 65535}, {{}, {}, 100000, 65535}, {{}, {}, 0, 1}, {"0", {}, 0, 1}};  // 0: processors unknown
    for (const Choice& c : choices) {
        std::size_t got = choose_thread_count(c.num_threads, c.rs_num_cpus, c.available);
        EXPECT(got == c.expected, "choose(%s, %s, %zu) = %zu", c.num_threads.value_or("-").data(),
               c.rs_num_cpus.value_or("-").data(), c.available, got);
    }
    EXPECT(available_processors() >= 1, "available processors");
}

void ranges_visit_each_index_once(WorkerPool& pool) {
    for (std::size_t n : {0, 1, 2, 3, 7, 8, 9, 17, 100, 1001, 65539}) {
        std::vector<std::atomic<int>> visits(n);
        std::atomic<int> bad_pieces{0};
        pool.for_range(n, [&](std::size_t begin, std::size_t end) {
            if (begin >= end || end > n) ++bad_pieces;
            for (std::size_t i = begin; i < end && i < n; ++i) visits[i].fetch_add(1);
        });
        bool once = bad_pieces == 0;
        for (auto& v : visits) once = once && v == 1;
        EXPECT(once, "N=%zu n=%zu", pool.thread_count(), n);
    }
}

// A piece that spans several rows must span whole rows.
void blocks_visit_each_position_once(WorkerPool& pool) {
    for (std::size_t rows : {0, 1, 2, 5, 64})
        for (std::size_t cols : {0, 1, 3, 33, 200}) {
            std::vector<std::atomic<int>> visits(rows * cols);
            std::atomic<int> bad_pieces{0};
            pool.for_blocks(rows, cols, [&](const Block& b) {
                bool inside = b.row_begin < b.row_end && b.row_end <= rows && b.col_begin < b.col_end &&
                              b.col_end <= cols;
                bool whole = b.row_end - b.row_begin == 1 || (b.col_begin == 0 && b.col_end == cols);
                if (!inside || !whole) return void(++bad_pieces);
                for (std::size_t y = b.row_begin; y < b.row_end; ++y)
                    for (std::size_t x = b.col_begin; x < b.col_end; ++x) visits[y * cols + x].fetch_add(1);
            });
            bool once = bad_pieces == 0;
            for (auto& v : visits) once = once && v == 1;
            EXPECT(once, "N=%zu %zux%zu", pool.thread_count(), rows, cols);
        }
}

// A throwing body loses only the rest of its own piece, one exception
// reaches the submitter, and the pool goes on working.
void a_throwing_body_loses_only_its_piece(WorkerPool& pool) {
    constexpr std::size_t n = 10000;
    for (std::size_t failing : {std::size_t{0}, std::size_t{4999}, n - 1}) {
        std::vector<std::atomic<int>> visits(n);
        std::atomic<std::size_t> piece_end{0};
        std::string message;
        try {
            pool.for_range(n, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    if (i == failing) {
                        piece_end = end;
                        throw std::runtime_error("index " + std::to_string(i));
                    }
                    visits[i].fetch_add(1);
                }
            });
        } catch (const std::runtime_error& error) {
            message = error.what();
        }
        bool right = message == "index " + std::to_string(failing);
        for (std::size_t i = 0; i < n; ++i) right = right && visits[i] == (i >= failing && i < piece_end ? 0 : 1);
        EXPECT(right, "N=%zu failing at %zu: '%s'", pool.thread_count(), failing, message.c_str());
    }
    std::atomic<std::size_t> covered{0};
    int caught = 0;
    try {
        pool.for_blocks(300, 200, [&](const Block& b) {
            covered += (b.row_end - b.row_begin) * (b.col_end - b.col_begin);
            throw std::logic_error("piece");
        });
    } catch (const std::logic_error&) {
        ++caught;
    }
    EXPECT(caught == 1 && covered == 300 * 200, "N=%zu every piece throwing", pool.thread_count());
    ranges_visit_each_index_once(pool);
}

// Submitters that each write their own id into their own output, as kernels do.
void many_submitters(const char* what, auto run_range) {
    std::atomic<int> broken{0};
    std::vector<std::thread> submitters;
    for (int id = 0; id < 8; ++id) {
        submitters.emplace_back([&, id] {
            for (int loop = 0; loop < 150; ++loop) {
                std::vector<int> out(static_cast<std::size_t>((loop * 7919 + id * 31) % 5000), -1);
                run_range(out.size(), [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i) out[i] = out[i] == -1 ? id : -2;
                });
                for (int value : out) broken += value != id;
            }
        });
    }
    for (std::thread& t : submitters) t.join();
    EXPECT(broken == 0, "%s: %d wrong outputs", what, broken.load());
}

}  // namespace

int main() {
    thread_counts();
    for (std::size_t workers : {1, 2, 3, 7}) {
        WorkerPool pool(workers);
        ranges_visit_each_index_once(pool);
        blocks_visit_each_position_once(pool);
        a_throwing_body_loses_only_its_piece(pool);
    }
    // The process-wide pool, first made by racing submitters.
    many_submitters("global pool", [](std::size_t n, RangeBody body) { for_range(n, body); });
    return finish("pool_test");
}
