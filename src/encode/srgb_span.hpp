#pragma once
// The sRGB encoding over arrays, every element with exactly the bits of
// encode_reference (srgb.hpp) evaluated with the process's libm.
//
// On glibc the work is done by vector code (srgb_lanes.hpp) at the widest
// instruction set allowed (simd/level.hpp) that passes a self-test at first
// use; anywhere that cannot be trusted, by the scalar formula.
#include <cstddef>

#include "simd/choose.hpp"

namespace velkor::srgb {

using Span = void (*)(const float* in, float* out, std::size_t n);

// out[i] = encode_reference(in[i]).  `in` and `out` may be the same array;
// otherwise they must not overlap.
void encode_span(const float* in, float* out, std::size_t n);

// The instruction set encode_span runs: "scalar", "avx2" or "avx512".
const char* encode_level();

// Every implementation, for benchmarks.
simd::Implementations<Span> encode_implementations();

// Each instruction set's file defines its pair, indexed by fused_libm().
extern const Span kAvx2Encode[2];
extern const Span kAvx512Encode[2];

}  // namespace velkor::srgb
