#pragma once
// The Zone System tone curve, one value at a time: the reference that the
// vector forms in zone_curve_lanes.hpp match bit for bit.
//
// The curve is a sum of Gaussian bumps in zone space (log2 of the value,
// shifted so that middle grey 0.18 sits at Zone V):
//   z = log2(max(x, 1e-10)) + 5 + 2.4739311   (NaN x counts as 1e-10)
//   s = sum_i b_i * exp(-(z - a_i)^2 / 1.28)
//   y = x * 2^s
// evaluated strictly in float, one rounding per operation, in the order
// zone_curve_reference spells out, with logf, expf and exp2f from libm.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace velkor::zone_curve {

// Bit patterns, so no decimal-to-binary conversion can shift a constant.
inline constexpr float kFloor = std::bit_cast<float>(std::uint32_t{0x2EDBE6FF});             // 1e-10
inline constexpr float kLn2 = std::bit_cast<float>(std::uint32_t{0x3F317218});               // 0.6931472
inline constexpr float kFive = 5.0f;
inline constexpr float kMiddleGreyOffset = std::bit_cast<float>(std::uint32_t{0x401E54E3});  // -log2(0.18)
// -(2 x 0.8 x 0.8) as the single-precision product gives it, one unit in the
// last place beyond 1.28 itself.
inline constexpr float kNegTwiceVariance = std::bit_cast<float>(std::uint32_t{0xBFA3D70B});  // -1.2800001

// One value through the curve; zone_a / zone_b hold the `zones` bump centres
// and gains, applied in that order.  No zones: y = x.
float zone_curve_reference(float x, const float* zone_a, const float* zone_b, std::size_t zones);

}  // namespace velkor::zone_curve
