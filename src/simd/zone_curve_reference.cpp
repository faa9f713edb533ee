#include <bit>
#include <cmath>
#include <cstdint>

#include "simd/zone_curve.hpp"
#include "simd/zone_curve_constants.hpp"

namespace velkor::simd {

float zone_curve_reference(float x, const float* zone_a, const float* zone_b,
                           std::size_t zones) {
    if (zones == 0) return x;
    // log of zero or a negative value has no zone; clamp to a tiny positive.
    float m = x > zone::kFloor ? x : zone::kFloor;
    float z = ::logf(m) / zone::kLn2;
    z = z + zone::kFive;
    z = z + zone::kMiddleGreyOffset;
    float s = 0.0f;
    for (std::size_t i = 0; i < zones; ++i) {
        float d = z - zone_a[i];
        float q = (d * d) / zone::kNegTwiceVariance;
        float w = ::expf(q);
        float bw = zone_b[i] * w;
        s = s + bw;
    }
    return x * ::exp2f(s);
}

}  // namespace velkor::simd
