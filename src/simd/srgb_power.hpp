#pragma once
// The sRGB encoding without repeating powf step by step.
//
// glibc's powf evaluates x^y in double precision and rounds the double to
// float once.  For the sRGB exponent that double is within about 2^-33 of
// the true power (relative), far closer than the float spacing.  So any
// other evaluation that is at least as accurate rounds to the same float,
// unless the true value lies so near the midpoint between two floats that
// the two small errors can fall on opposite sides of it.  We evaluate the
// power more cheaply than powf does, to about 2^-39, and measure how far our
// double lies from the nearest midpoint: outside a guard band the rounding
// cannot differ, and the few lanes inside it (under 1 %) are handed to libm.
// bench/verify_libm.cpp checks every float above the threshold this way.
//
// Valid only in the default rounding mode: a directed mode moves the
// rounding boundaries from the midpoints to the floats themselves.
#include <cstddef>

namespace velkor::simd {

// out[i] = encode_srgb_reference(in[i]); needs AVX2 and FMA, and rounding
// to nearest.  `in` and `out` may be the same array; otherwise they must
// not overlap.
void encode_srgb_avx2_nearest(const float* in, float* out, std::size_t n);

}  // namespace velkor::simd
