// Many threads submitting loops at once share the workers; every loop still
// visits each of its indices exactly once and sees only its own work.
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "parallel/parallel.hpp"
#include "parallel/worker_pool.hpp"
#include "pool_check.hpp"

using namespace velkor::parallel;

namespace {

constexpr int kSubmitters = 8;
constexpr int kLoopsEach = 150;

// Each submitter writes its own id into its own output, as kernels do.
template <class RunRange>
bool run_loops(int id, RunRange run_range) {
    bool ok = true;
    for (int loop = 0; loop < kLoopsEach; ++loop) {
        std::size_t n = static_cast<std::size_t>((loop * 7919 + id * 31) % 5000);
        std::vector<int> out(n, -1);
        run_range(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = out[i] == -1 ? id : -2;
        });
        for (int value : out) ok = ok && value == id;
    }
    return ok;
}

template <class RunRange>
void check_submitters(const char* what, RunRange run_range) {
    std::atomic<int> broken{0};
    std::vector<std::thread> submitters;
    for (int id = 0; id < kSubmitters; ++id) {
        submitters.emplace_back([&, id] {
            if (!run_loops(id, run_range)) ++broken;
        });
    }
    for (std::thread& t : submitters) t.join();
    POOL_CHECK(broken == 0, "%s: %d submitters saw wrong output", what, broken.load());
}

}  // namespace

int main() {
    {
        WorkerPool pool(3);
        check_submitters("private pool", [&](std::size_t n, RangeBody body) { pool.for_range(n, body); });
    }
    // The process-wide pool, first made by racing submitters.
    check_submitters("global pool", [](std::size_t n, RangeBody body) { for_range(n, body); });
    return pool_test::finish("pool_concurrency");
}
