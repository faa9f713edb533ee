#include "tone/zone_curve.hpp"

#include <cmath>

namespace velkor::zone_curve {

float zone_curve_reference(float x, const float* zone_a, const float* zone_b, std::size_t zones) {
    if (zones == 0) return x;
    // log of zero or a negative value has no zone; clamp to a tiny positive.
    // A NaN x fails the comparison and takes the floor too.
    float m = x > kFloor ? x : kFloor;
    float z = ::logf(m) / kLn2;
    z = z + kFive;
    z = z + kMiddleGreyOffset;
    float s = 0.0f;
    for (std::size_t i = 0; i < zones; ++i) {
        float d = z - zone_a[i];
        float q = (d * d) / kNegTwiceVariance;
        float w = ::expf(q);
        float bw = zone_b[i] * w;
        s = s + bw;
    }
    return x * ::exp2f(s);
}

}  // namespace velkor::zone_curve
