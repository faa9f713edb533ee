#pragma once
// The two data-parallel loops every kernel uses.
//
// Contract (what kernels may rely on, and what they must respect):
//  1. Every index (or position) is visited exactly once.  Work is handed out
//     as contiguous pieces; within a piece indices run in increasing order
//     (for 2-D blocks: rows, then columns, the memory order of row-major
//     views).
//     Pieces may run at the same time on different threads, in any order.
//  2. A body writes only the output elements of its own indices and reads
//     only data no body of the same loop writes.  Under that discipline the
//     result is bit-identical for any thread count and any split.
//  3. The loop returns after every piece has finished; their writes are then
//     visible to the caller.  The caller blocks meanwhile, without the
//     interpreter lock; bodies never call into Python.
//  4. Loops do not nest: a body never starts another loop.
//  5. A body that throws abandons the rest of its piece; every piece already
//     handed out still runs to its end, then one of the exceptions is
//     rethrown on the calling thread.
#include <cstddef>

#include "parallel/function_ref.hpp"

namespace velkor::parallel {

// Runs body(begin, end) over pieces that together cover [0, n) once.
using RangeBody = FunctionRef<void(std::size_t begin, std::size_t end)>;
void for_range(std::size_t n, RangeBody body);

// A rectangle of a rows x cols grid: rows [row_begin, row_end), columns
// [col_begin, col_end).
struct Block {
    std::size_t row_begin, row_end, col_begin, col_end;
};

// Runs body(block) over blocks that together cover the grid once.  Blocks
// are cut along rows while they span several, so a piece of row-major views
// (every kernel writes a row-major output) stays contiguous.
using BlockBody = FunctionRef<void(const Block& block)>;
void for_blocks(std::size_t rows, std::size_t cols, BlockBody body);

// Runs body(begin, end) over [0, n) as for_range does, and beside it two
// jobs, first() and last(), each once, each on one thread.
//  - The jobs may run at the same time as each other and as any piece of the
//    range; nothing orders them: each may read only what neither the other
//    job nor the body writes.  All three have finished when this returns.
//  - With two threads or more, the jobs start on different threads: they are
//    the first and the last index of the loop the pool runs, and the pool's
//    first cut of a loop separates those two.  first() starts before any
//    piece that shares its thread, last() after.
//  - A throwing job or body abandons the rest of its piece (the other job
//    included, if it shares the piece), as in for_range.
using Job = FunctionRef<void()>;
void for_range_with_jobs(std::size_t n, RangeBody body, Job first, Job last);

// The worker count N of the process-wide pool, creating the pool first.
std::size_t thread_count();

}  // namespace velkor::parallel
