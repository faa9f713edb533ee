#include "tone/zone_curve.hpp"

#include <math.h>

#include "simd/zone_curve.hpp"

namespace velkor::zone_curve {

float zone_of(float x) {
    // maxNum: a NaN x fails the comparison and takes the floor.
    float m = x > kLogFloor ? x : kLogFloor;
    float stops = ::logf(m) / kLn2;
    return (stops + kMiddleZone) + kGreyLog2;
}

float curve_value(float x, const float* zone_a, const float* zone_b, std::size_t zones) {
    float z = zone_of(x);
    float s = 0.0f;
    for (std::size_t k = 0; k < zones; ++k) {
        float d = z - zone_a[k];
        // Dividing by the negated width equals negating the quotient exactly,
        // and keeps the operation count of the definition.
        float q = (d * d) / -kWidth;
        s += zone_b[k] * ::expf(q);
    }
    return x * ::exp2f(s);
}

void zone_curve_span(const float* in, float* out, std::size_t n, const float* zone_a, const float* zone_b,
                     std::size_t zones) {
    simd::zone_curve_span(in, out, n, zone_a, zone_b, zones);
}

}  // namespace velkor::zone_curve
