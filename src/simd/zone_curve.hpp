#pragma once
// The Zone System tone curve over arrays, bit-identical to the scalar
// formula in zone_curve_reference evaluated with the process's libm.
//
// The curve is a sum of Gaussian bumps in zone space (log2 of the value,
// shifted so that middle grey sits at zone 5):
//   z = log2(max(x, 1e-10)) + 5 + 2.4739311   (NaN x counts as 1e-10)
//   s = sum_i b_i * exp(-(z - a_i)^2 / 1.28)
//   y = x * 2^s
// evaluated strictly in float, one rounding per operation, in the order
// zone_curve_reference spells out, with logf, expf and exp2f from libm.
#include <cstddef>

namespace velkor::simd {

// One value through the curve; zone_a / zone_b hold the `zones` bump centres
// and gains, applied in that order.  No zones: y = x.
float zone_curve_reference(float x, const float* zone_a, const float* zone_b,
                           std::size_t zones);

// out[i] = zone_curve_reference(in[i], zone_a, zone_b, zones).  `in` and
// `out` may be the same array; otherwise they must not overlap.
void zone_curve_span(const float* in, float* out, std::size_t n, const float* zone_a,
                     const float* zone_b, std::size_t zones);

}  // namespace velkor::simd
