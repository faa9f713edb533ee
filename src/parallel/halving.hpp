#pragma once
// How the pool cuts a piece of work in two.  Halves stay contiguous in the
// memory order of the views a loop walks, so every body runs over
// sequential addresses.
#include <optional>
#include <utility>

#include "parallel/parallel.hpp"

namespace velkor::parallel {

// Cuts a block at half the length of the first axis longer than 1 (rows
// first), rounded down: the order of row-major views, the only layout the
// kernels' outputs have.  A block of one element cannot be cut.  The first
// half is the one nearer the origin.
std::optional<std::pair<Block, Block>> halve(const Block& block);

}  // namespace velkor::parallel
