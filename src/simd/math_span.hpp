#pragma once
// The two operations built on single-precision expf, exp2f, logf and powf,
// over arrays, returning for every element exactly the bits of the scalar
// formula evaluated with the process's libm.
//
// On glibc the work is done by vector code that repeats libm's own
// algorithms operation for operation; anywhere that cannot be trusted (a
// different libm, an unexpected build of it, a CPU without AVX2) the same
// calls fall back to the scalar formulas.  Elements that need libm's special-case
// handling (NaN, infinities, overflow, subnormal inputs ...) are always
// computed by libm itself, so NaN payloads and errno match as well.
//
// `in` and `out` may be the same array; otherwise they must not overlap.
#include <cstddef>

namespace velkor::simd {

// out[i] = srgb::encode_reference(in[i]) (encode/srgb.hpp).
void encode_srgb_span(const float* in, float* out, std::size_t n);
// out[i] = zone_curve::zone_curve_reference(in[i], zone_a, zone_b, zones)
// (tone/zone_curve.hpp).
void zone_curve_span(const float* in, float* out, std::size_t n, const float* zone_a,
                     const float* zone_b, std::size_t zones);

// The instruction set the span functions use in this process: "scalar",
// "avx2" or "avx512".  Chosen once, at the first call of any function here,
// from the CPU, the libm build that is active and a self-test against it.
// The environment variable VELKOR_SIMD=scalar|avx2|avx512 (read once, for
// tests) lowers the choice; it never raises it above what the CPU offers.
const char* active_level();

// Which of glibc's two x86-64 builds of these functions the process runs:
// "fma" (picked on CPUs with FMA and AVX2), "sse2", or "unknown" for any
// other libm.
const char* libm_build();

}  // namespace velkor::simd
