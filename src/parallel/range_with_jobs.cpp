#include "parallel/parallel.hpp"

namespace velkor::parallel {

// Loop index 0 is first(), index n + 1 is last(); indices 1 to n are the
// range, shifted by one.
void for_range_with_jobs(std::size_t n, RangeBody body, Job first, Job last) {
    const std::size_t total = n + 2;
    for_range(total, [&](std::size_t begin, std::size_t end) {
        if (begin == 0) {
            first();
            ++begin;
        }
        const bool has_last = end == total;
        if (has_last) --end;
        if (begin < end) body(begin - 1, end - 1);
        if (has_last) last();
    });
}

}  // namespace velkor::parallel
