// The kernel sets for AVX2 and FMA: eight floats per step.  The headers of
// general use come first, compiled for any x86-64; everything after the
// target pragma is AVX2 code private to this file.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "encode/srgb.hpp"
#include "encode/srgb_power_table.hpp"
#include "simd/kernel_set.hpp"
#include "simd/libm_tables.hpp"
#include "tone/zone_curve.hpp"

#pragma GCC target("avx2,fma")

#include "simd/lanes_avx2.hpp"
#include "simd/lane_kernels.hpp"

namespace velkor::simd {

const KernelSet kAvx2KernelsForFmaLibm = lane_kernels<Avx2, true>();
const KernelSet kAvx2KernelsForSse2Libm = lane_kernels<Avx2, false>();

}  // namespace velkor::simd
