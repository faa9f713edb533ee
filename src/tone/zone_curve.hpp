#pragma once
// The Zone System tone curve on a run of values: each value is placed on a
// scale of zones (one per stop, middle grey 0.18 at Zone V) and multiplied by
// 2^S, where S sums every table zone's offset weighted by a Gaussian of the
// distance in zones.  Every step is one single-precision operation rounded to
// nearest, in a fixed order, so results are reproducible bit for bit.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace velkor::zone_curve {

// Bit patterns, so no decimal-to-binary conversion can shift a constant.
inline constexpr float kLogFloor = std::bit_cast<float>(std::uint32_t{0x2EDBE6FF});   // 1e-10
inline constexpr float kLn2 = std::bit_cast<float>(std::uint32_t{0x3F317218});        // 0.6931472
inline constexpr float kMiddleZone = std::bit_cast<float>(std::uint32_t{0x40A00000}); // 5
inline constexpr float kGreyLog2 = std::bit_cast<float>(std::uint32_t{0x401E54E3});   // -log2(0.18)
// 2 x 0.8 x 0.8 as the single-precision product gives it, one unit in the
// last place above 1.28 itself.
inline constexpr float kWidth = std::bit_cast<float>(std::uint32_t{0x3FA3D70B});      // 1.2800001

// Zone position of x: log2(x / 0.18) + 5 up to rounding, unclamped.  Values
// below the floor (zero, negatives, NaN) all sit at the floor's zone.
float zone_of(float x);

// The toned value of x for a table of `zones` entries: zone_a[k] is a zone
// index as a float, zone_b[k] its offset in stops.  Entries are added in
// table order; the weights are not normalised.
float curve_value(float x, const float* zone_a, const float* zone_b, std::size_t zones);

// out[i] = curve_value(in[i], ...) for i in [0, n).  This is the unit a
// vectorised version replaces, so it keeps exactly this signature and must
// agree with curve_value bit for bit.  With no zones the result would be
// x * 1, which quiets a signalling NaN; the kernel copies instead of calling.
void zone_curve_span(const float* in, float* out, std::size_t n, const float* zone_a, const float* zone_b,
                     std::size_t zones);

}  // namespace velkor::zone_curve
