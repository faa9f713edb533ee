#include "parallel/thread_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace velkor::parallel {
namespace {

std::optional<std::string_view> environment_text(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

std::size_t capped(std::uint64_t count) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxThreads));
}

// Affinity masks can be larger than the fixed cpu_set_t on big machines, so
// the mask grows until the kernel accepts its size.
std::size_t affinity_count() {
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        int status = sched_getaffinity(0, size, set);
        int count = status == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (status == 0) return static_cast<std::size_t>(count);
        if (errno != EINVAL) return 0;
    }
    return 0;
}

}  // namespace

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (kMax - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t choose_thread_count(std::optional<std::string_view> rayon_num_threads,
                                std::optional<std::string_view> rayon_rs_num_cpus,
                                std::size_t available) {
    std::size_t fallback = capped(std::max<std::size_t>(available, 1));
    for (auto text : {rayon_num_threads, rayon_rs_num_cpus}) {
        if (!text) continue;
        std::optional<std::uint64_t> count = parse_thread_count(*text);
        if (!count) continue;
        return *count == 0 ? fallback : capped(*count);
    }
    return fallback;
}

// The affinity mask alone, so the rule reads the same from Python
// (len(os.sched_getaffinity(0))): a process pinned to one CPU by taskset
// starts one worker, whatever the machine has.
std::size_t available_processors() {
    std::size_t count = affinity_count();
    return count > 0 ? count : 1;
}

std::size_t thread_count_from_environment() {
    return choose_thread_count(environment_text("RAYON_NUM_THREADS"),
                               environment_text("RAYON_RS_NUM_CPUS"), available_processors());
}

}  // namespace velkor::parallel
