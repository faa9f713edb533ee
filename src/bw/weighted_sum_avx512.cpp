// The row loops with AVX-512: sixteen pixels per step.  Everything after the
// target pragma is AVX-512 code private to this file.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "bw/weighted_sum_rows.hpp"

#pragma GCC target("avx512f,avx2,fma")

#include "simd/lanes_avx512.hpp"
#include "bw/weighted_sum_lanes.hpp"

namespace velkor {

const WeightedSumRows kAvx512WeightedSumRows = weighted_sum_lanes::rows_of<simd::Avx512>();

}  // namespace velkor
