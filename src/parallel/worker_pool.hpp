#pragma once
// A fixed set of worker threads that carries out the data-parallel loops.
//
// Contract of the pool:
//  - A task is one contiguous piece of one loop: a block of a rows x cols
//    grid (a range [begin, end) is the block of one row).  A worker that holds
//    a piece may cut it in half, keep the first half and offer the second to
//    the other workers; otherwise it runs the loop's body over the whole piece.
//  - A piece's split budget bounds how often it may still be cut.  It starts
//    at the worker count N for each loop and is halved at every cut; a piece
//    taken over by another worker than the one that offered it renews it to
//    max(N, budget / 2).  A spent budget, or a piece of one element, runs as
//    it is.
//  - What runs concurrently: pieces of the same loop and of different loops
//    (several threads may submit loops at once; their pieces interleave).
//    Each worker runs one piece at a time, to its end.
//  - The submitting thread is not a worker: it hands the loop over and waits
//    (polling briefly, then asleep on a mutex and condition variable of its
//    own) until the last piece has finished, then rethrows the first
//    exception a body threw, if any.  A body that throws loses only the rest
//    of its own piece.  The one exception: a loop of fewer than a handful of
//    elements runs on the submitting thread, where handing it over would cost
//    far more than the work; nothing a body may observe differs.
//  - Forbidden: a body that starts another loop or waits for one (a loop
//    submitted from a worker runs inline, serially, to avoid deadlock, but
//    that is a safety net, not a feature); a body that touches Python.
//  - Workers live as long as the pool; they sleep when there is no work.
//  - A pool asked for more workers than the system lets the process start
//    runs with those it could start: the count is what was started.
#include <cstddef>
#include <memory>

#include "parallel/parallel.hpp"

namespace velkor::parallel {

class WorkerPool {
public:
    // Starts up to `threads` workers (at least 1), stopping at the first
    // that the system refuses.  Throws std::system_error if not even one can
    // be started.
    explicit WorkerPool(std::size_t threads);
    // Stops and joins the workers; no loop may be running.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t thread_count() const;

    void for_range(std::size_t n, RangeBody body);
    void for_blocks(std::size_t rows, std::size_t cols, BlockBody body);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velkor::parallel
