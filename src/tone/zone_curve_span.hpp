#pragma once
// The Zone System tone curve over arrays, every element with exactly the
// bits of zone_curve_reference (zone_curve.hpp) evaluated with the
// process's libm.
//
// On glibc the work is done by vector code (zone_curve_lanes.hpp) at the
// widest instruction set allowed (simd/level.hpp) that passes a self-test at
// first use; anywhere that cannot be trusted, by the scalar formula.
#include <cstddef>

#include "simd/choose.hpp"

namespace velkor::zone_curve {

using Span = void (*)(const float* in, float* out, std::size_t n, const float* zone_a, const float* zone_b,
                      std::size_t zones);

// out[i] = zone_curve_reference(in[i], zone_a, zone_b, zones).  `in` and
// `out` may be the same array; otherwise they must not overlap.
void zone_curve_span(const float* in, float* out, std::size_t n, const float* zone_a, const float* zone_b,
                     std::size_t zones);

// The instruction set zone_curve_span runs: "scalar", "avx2" or "avx512".
const char* zone_curve_level();

// Every implementation, for benchmarks.
simd::Implementations<Span> zone_curve_implementations();

// Each instruction set's file defines its pair, indexed by fused_libm().
extern const Span kAvx2ZoneCurve[2];
extern const Span kAvx512ZoneCurve[2];

}  // namespace velkor::zone_curve
