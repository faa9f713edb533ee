// The zone curve with AVX2 and FMA: eight floats per step.  The headers of
// general use come first, compiled for any x86-64; everything after the
// target pragma is AVX2 code private to this file.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "simd/libm_tables.hpp"
#include "tone/zone_curve.hpp"
#include "tone/zone_curve_span.hpp"

#pragma GCC target("avx2,fma")

#include "simd/lanes_avx2.hpp"
#include "simd/libm_lanes.hpp"
#include "tone/zone_curve_lanes.hpp"

namespace velkor::zone_curve {

const Span kAvx2ZoneCurve[2] = {simd::zone_curve_span_of<simd::Avx2, false>, simd::zone_curve_span_of<simd::Avx2, true>};

}  // namespace velkor::zone_curve
