#pragma once
// How many workers the process-wide pool starts.  The choice is split into
// pure functions so its rules can be checked without touching the
// environment or starting threads.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velkor::parallel {

// The most workers a pool will start, whatever the environment asks for.
inline constexpr std::size_t kMaxThreads = 65535;

// Reads a thread-count variable's text: an optional '+' then one or more
// decimal digits, nothing else, within 64 bits.  Anything else (spaces, '-',
// a fraction, an empty string) is malformed and gives no value.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// Decides the worker count from the two variables' texts (absent when
// unset) and the processors available.  The first variable that parses
// decides: a positive value is the count, 0 asks for the default and ends the
// search.  The result is always within [1, kMaxThreads].
std::size_t choose_thread_count(std::optional<std::string_view> rayon_num_threads,
                                std::optional<std::string_view> rayon_rs_num_cpus,
                                std::size_t available_processors);

// Processors this process may run on (the count of its affinity mask), or 1
// when the mask cannot be read.
std::size_t available_processors();

// The worker count from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the
// available processors.
std::size_t thread_count_from_environment();

}  // namespace velkor::parallel
