// The kernel sets for AVX-512: sixteen floats per step.  The headers of
// general use come first, compiled for any x86-64; everything after the
// target pragma is AVX-512 code private to this file.  Checked on an AVX-512
// machine against every one of the 2^32 floats with both glibc builds
// (bench/verify_libm.cpp), with no difference; even so it is trusted on a CPU
// only after the dispatcher's self-test has compared it with libm.
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

#pragma GCC target("avx512f,avx2,fma")

#include "simd/lanes_avx512.hpp"
#include "simd/lane_kernels.hpp"

namespace velkor::simd {

const KernelSet kAvx512KernelsForFmaLibm = lane_kernels<Avx512, true>();
const KernelSet kAvx512KernelsForSse2Libm = lane_kernels<Avx512, false>();

}  // namespace velkor::simd
