// The row loops with AVX2: eight pixels per step.  Everything after the
// target pragma is AVX2 code private to this file.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "bw/weighted_sum_rows.hpp"

#pragma GCC target("avx2,fma")

#include "simd/lanes_avx2.hpp"
#include "bw/weighted_sum_lanes.hpp"

namespace velkor {

const WeightedSumRows kAvx2WeightedSumRows = weighted_sum_lanes::rows_of<simd::Avx2>();

}  // namespace velkor
