// The process-wide pool is remade in a fork() child, which has none of the
// parent's workers.  How the environment sets its size, and a failed
// creation, are checked from Python (test_pool.py).
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "parallel/parallel.hpp"
#include "pool_check.hpp"

using namespace velkor::parallel;

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
// They reserve address space a limit would break, and may start threads of
// their own, so thread counts are not checked.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

long status_field(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// The operating system's count of this process's threads.
long os_threads() { return status_field("Threads"); }

// Whether exactly `started` threads have been added to the `before` count.
bool threads_started(long before, long started) {
    return kSanitized || os_threads() - before == started;
}

// Runs `test` in a child process that must finish within five seconds (a
// deadlock after fork shows up as a timeout) and returns its exit code.
template <class Test>
int in_child(Test test) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(5);
        std::_Exit(test() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool loop_covers(std::size_t n) {
    std::vector<std::atomic<int>> visits(n);
    for_range(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) visits[i].fetch_add(1);
    });
    for (auto& v : visits)
        if (v != 1) return false;
    return true;
}

// Forks while another thread keeps the parent's pool busy, so the fork may
// land while pool locks are held.
void check_loops_after_fork() {
    setenv("RAYON_NUM_THREADS", "2", 1);
    POOL_CHECK(loop_covers(5000), "parent loop");
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) loop_covers(20000);
    });
    for (int round = 0; round < 20; ++round) {
        int code = in_child([] {
            // Only the forking thread exists in the child until its pool starts.
            bool alone = kSanitized || os_threads() == 1;
            bool ok = loop_covers(20000) && thread_count() == 2;
            return ok && alone && threads_started(1, 2);
        });
        POOL_CHECK(code == 0, "fork round %d: child exit %d", round, code);
        if (code != 0) break;
    }
    stop = true;
    busy.join();
    POOL_CHECK(loop_covers(5000), "parent loop after forks");
}

}  // namespace

int main() {
    check_loops_after_fork();
    return pool_test::finish("pool_fork");
}
