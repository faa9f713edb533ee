// The zone curve with AVX-512: sixteen floats per step.  Trusted on a CPU
// only after its self-test (zone_curve_span.cpp).  The headers of general
// use come first, compiled for any x86-64; everything after the target
// pragma is AVX-512 code private to this file.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "simd/libm_tables.hpp"
#include "tone/zone_curve.hpp"
#include "tone/zone_curve_span.hpp"

#pragma GCC target("avx512f,avx2,fma")

#include "simd/lanes_avx512.hpp"
#include "simd/libm_lanes.hpp"
#include "tone/zone_curve_lanes.hpp"

namespace velkor::zone_curve {

const Span kAvx512ZoneCurve[2] = {simd::zone_curve_span_of<simd::Avx512, false>, simd::zone_curve_span_of<simd::Avx512, true>};

}  // namespace velkor::zone_curve
