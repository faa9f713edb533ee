#pragma once
// The table behind the sRGB encoding's direct power (srgb_lanes.hpp).
//
// x = 2^k z with z in [0.7, 1.4), split into 16 intervals.  For interval j
// a float f_j near 1/z is chosen, so that r = z f_j - 1 is exact in double
// (two 24-bit factors) and |r| < 0.031.  Then
//     x^a = (2^k / f_j)^a * (1 + r)^a,
// the first factor from a table indexed by the top bits of x, the second a
// short series in r.
#include <cstdint>

namespace velkor::srgb {

// Bit pattern of the lowest z; 0x3f330000 is ~0.7, so z brackets 1.
inline constexpr std::uint32_t kIntervalOrigin = 0x3f330000;
// (bits(x) - origin) >> 19 is 16 k + j: every int32 shifted so lands in
// [-4096, 4096), and the table covers all of it, so no lane can index out of
// bounds whatever it holds (NaN, negative, linear-segment lanes).
inline constexpr int kIndexShift = 19;
inline constexpr int kIndexCount = 1 << (32 - kIndexShift);
inline constexpr int kIntervals = 16;
// (1+r)^a = 1 + r (s0 + s1 r + ... + s4 r^4): the binomial series to r^6,
// with its r^6 term folded into lower ones (Chebyshev economisation over the
// range of r); everything left out stays below 2^-39.
inline constexpr int kSeriesTerms = 5;
inline constexpr int kRegisterBinades = 16;

struct PowerTable {
    alignas(64) float inverse_z[kIntervals];
    double series[kSeriesTerms];
    double scale[kIndexCount];  // (2^k / f_j)^a at index 16 k + j + kIndexCount/2
    // The same factor in two parts small enough for register lookups,
    // 2^(k a) * f_j^-a, for the binades k in [-8, 8): every value above the
    // linear segment's threshold up to 179 times diffuse white.  The extra
    // rounding costs about 2^-53, nothing against the guard band.
    alignas(64) double inverse_z_wide[kIntervals];  // f_j, exactly
    alignas(64) double interval_scale[kIntervals];  // f_j^-a
    alignas(64) double binade_scale[kRegisterBinades];  // 2^(k a) at k & 15
};

// Built on first use, then shared.
const PowerTable& power_table();

}  // namespace velkor::srgb
