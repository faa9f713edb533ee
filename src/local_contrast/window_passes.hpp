#pragma once
// The guided filter's two per-pixel passes over one run of a row, given the
// window sums of that row.
#include <cstddef>

#include "local_contrast/row_windows.hpp"

namespace velkor {

// a and b of the linear model q = a * L + b of L in the windows of columns
// [begin, end) of one row, from the sums of L and of L*L, in double
// precision and in this order:
//   mean = s1 / n;  variance = s2 / n - mean * mean;
//   a = variance / (eps + variance), or 0 when eps + variance is not > 0;
//   b = mean * (1 - a);
// both stored rounded to single precision; a_row and b_row point at column
// `begin`.
void fit_row(const RowWindows& windows, std::size_t begin, std::size_t end, double eps, float* a_row,
             float* b_row);

// q = (ta / n) * L + (tb / n) over the windows of columns [begin, end) of one
// row, from the sums of a and of b, L read with its column step and widened
// exactly; stored rounded to single precision.  l_row and q_row point at
// column `begin`.
void apply_row(const RowWindows& windows, std::size_t begin, std::size_t end, const float* l_row,
               std::ptrdiff_t l_step, float* q_row);

}  // namespace velkor
