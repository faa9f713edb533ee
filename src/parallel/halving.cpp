#include "parallel/halving.hpp"

namespace velkor::parallel {
namespace {

std::pair<Block, Block> halve_rows(const Block& block) {
    std::size_t middle = block.row_begin + (block.row_end - block.row_begin) / 2;
    return {Block{block.row_begin, middle, block.col_begin, block.col_end},
            Block{middle, block.row_end, block.col_begin, block.col_end}};
}

std::pair<Block, Block> halve_cols(const Block& block) {
    std::size_t middle = block.col_begin + (block.col_end - block.col_begin) / 2;
    return {Block{block.row_begin, block.row_end, block.col_begin, middle},
            Block{block.row_begin, block.row_end, middle, block.col_end}};
}

}  // namespace

std::optional<std::pair<Block, Block>> halve(const Block& block) {
    if (block.row_end - block.row_begin > 1) return halve_rows(block);
    if (block.col_end - block.col_begin > 1) return halve_cols(block);
    return std::nullopt;
}

}  // namespace velkor::parallel
