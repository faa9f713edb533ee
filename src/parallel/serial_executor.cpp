// Runs every loop on the calling thread: the executor until the worker pool
// takes over these entry points.
#include "parallel/parallel.hpp"

namespace velkor::parallel {

void for_range(std::size_t n, RangeBody body) {
    if (n != 0) body(0, n);
}

void for_blocks(std::size_t rows, std::size_t cols, Layout, BlockBody body) {
    if (rows != 0 && cols != 0) body(Block{0, rows, 0, cols});
}

std::size_t thread_count() { return 1; }

}  // namespace velkor::parallel
